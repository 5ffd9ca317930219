#include <windows.h>

#include "platform/os_error.h"
#include "platform/os_string.h"

namespace ketterlin::platform {

OsError last_os_error() { return OsError{static_cast<uint32_t>(GetLastError())}; }

std::string os_error_description(OsError error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error.code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return "Unknown error";
  OsString description(text, length);
  LocalFree(text);
  while (!description.empty() && (description.back() == L'\r' || description.back() == L'\n' ||
                                  description.back() == L' ')) {
    description.pop_back();
  }
  return description.empty() ? "Unknown error" : to_utf8_lossy(description);
}

}  // namespace ketterlin::platform
