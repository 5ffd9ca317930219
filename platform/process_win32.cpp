#include <windows.h>
// shellapi.h needs the definitions of windows.h.
#include <shellapi.h>

#include "platform/process.h"

namespace ketterlin::platform {

std::vector<OsString> command_line_arguments(int, char**) {
  std::vector<OsString> arguments;
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(argv[i]);
  LocalFree(argv);
  return arguments;
}

void write_standard_error(std::string_view text) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(text.size() > 65536 ? 65536 : text.size());
    if (!WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

void ignore_broken_pipe_signal() {}

}  // namespace ketterlin::platform
