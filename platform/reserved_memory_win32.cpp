#include <windows.h>

#include "platform/reserved_memory.h"

namespace ketterlin::platform::reserved_memory_system {

std::size_t page_size() {
  static const std::size_t size = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<std::size_t>(info.dwPageSize);
  }();
  return size;
}

tl::expected<void*, OsError> reserve(std::size_t bytes) {
  void* base = VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS);
  if (base == nullptr) return tl::unexpected(last_os_error());
  return base;
}

tl::expected<void, OsError> commit(void* start, std::size_t bytes) {
  if (VirtualAlloc(start, bytes, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    return tl::unexpected(last_os_error());
  }
  return {};
}

void release(void* base, std::size_t) { VirtualFree(base, 0, MEM_RELEASE); }

}  // namespace ketterlin::platform::reserved_memory_system
