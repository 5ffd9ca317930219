// Thread names on Windows: SetThreadDescription and GetThreadDescription. Both arrived with
// Windows 10 version 1607, so they are looked up in kernel32 at run time instead of being imported:
// an import would stop older systems from loading the program at all. Where they are missing, a
// name cannot be set or read.
#include <windows.h>

#include "platform/os_string.h"
#include "platform/thread_name.h"

namespace ketterlin::platform {
namespace {

using SetDescription = HRESULT(WINAPI*)(HANDLE thread, PCWSTR description);
using GetDescription = HRESULT(WINAPI*)(HANDLE thread, PWSTR* description);

// The kernel32 export `name` as a `Function`, or null when this system lacks it.
template <typename Function>
Function kernel32_function(const char* name) {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  // The two function types differ from FARPROC only in their parameters.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel32, name)));
}

}  // namespace

bool set_current_thread_name(std::string_view name) {
  static const SetDescription set_description =
      kernel32_function<SetDescription>("SetThreadDescription");
  if (set_description == nullptr) return false;
  const OsString wide = from_utf8(name);
  // Wine answers a success code other than S_OK.
  return SUCCEEDED(set_description(GetCurrentThread(), wide.c_str()));
}

std::string held_thread_name(std::string_view name) { return std::string(name); }

std::string current_thread_name() {
  static const GetDescription get_description =
      kernel32_function<GetDescription>("GetThreadDescription");
  if (get_description == nullptr) return {};
  wchar_t* description = nullptr;
  if (FAILED(get_description(GetCurrentThread(), &description)) || description == nullptr) {
    return {};
  }
  std::string name = to_utf8_lossy(description);
  LocalFree(description);
  return name;
}

}  // namespace ketterlin::platform
