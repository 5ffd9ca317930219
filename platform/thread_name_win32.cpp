#include <windows.h>

#include "platform/os_string.h"
#include "platform/thread_name.h"

// mingw-w64 10 lacks these prototypes although kernel32 exports both functions.
extern "C" {
WINBASEAPI HRESULT WINAPI SetThreadDescription(HANDLE thread, PCWSTR description);
WINBASEAPI HRESULT WINAPI GetThreadDescription(HANDLE thread, PWSTR* description);
}

namespace ketterlin::platform {

bool set_current_thread_name(std::string_view name) {
  const OsString wide = from_utf8(name);
  // Wine answers a success code other than S_OK.
  return SUCCEEDED(SetThreadDescription(GetCurrentThread(), wide.c_str()));
}

std::string current_thread_name() {
  wchar_t* description = nullptr;
  if (FAILED(GetThreadDescription(GetCurrentThread(), &description)) || description == nullptr) {
    return {};
  }
  std::string name = to_utf8_lossy(description);
  LocalFree(description);
  return name;
}

}  // namespace ketterlin::platform
