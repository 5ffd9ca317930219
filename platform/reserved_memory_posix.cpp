#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/reserved_memory.h"

namespace ketterlin::platform::reserved_memory_system {

std::size_t page_size() {
  static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

tl::expected<void*, OsError> reserve(std::size_t bytes) {
  // No access and no swap reservation: only address space until commit.
  void* base = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return tl::unexpected(last_os_error());
  return base;
}

tl::expected<void, OsError> commit(void* start, std::size_t bytes) {
  if (mprotect(start, bytes, PROT_READ | PROT_WRITE) != 0) return tl::unexpected(last_os_error());
  return {};
}

void release(void* base, std::size_t bytes) { munmap(base, bytes); }

}  // namespace ketterlin::platform::reserved_memory_system
