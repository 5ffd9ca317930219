#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/cli/interrupt_win32.h"
#include "host/cli/system.h"
#include "platform/file_system_kind.h"

namespace ketterlin::host {

std::optional<platform::OsString> own_executable_path() {
  std::wstring buffer(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return std::nullopt;
  buffer.resize(length);
  return buffer;
}

std::optional<platform::OsString> find_program(std::string_view name) {
  const std::wstring wide = platform::from_utf8(name);
  std::wstring buffer(32768, L'\0');
  const DWORD length = SearchPathW(nullptr, wide.c_str(), L".exe",
                                   static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (length == 0 || length >= buffer.size()) return std::nullopt;
  buffer.resize(length);
  return buffer;
}

namespace {
HANDLE handle_of(StandardStream stream) {
  return GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}
}  // namespace

bool is_terminal(StandardStream stream) {
  DWORD mode = 0;
  return GetConsoleMode(handle_of(stream), &mode) != 0;
}

std::size_t terminal_columns(StandardStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(handle_of(stream), &info)) return 0;
  return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

void prepare_terminal() {
  SetConsoleOutputCP(CP_UTF8);
  for (const StandardStream stream : {StandardStream::Output, StandardStream::Error}) {
    DWORD mode = 0;
    if (GetConsoleMode(handle_of(stream), &mode)) {
      SetConsoleMode(handle_of(stream), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
  }
}

namespace {

std::atomic<int> first_interrupt{0};
HANDLE interrupt_handle = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  int signal_number = 0;
  if (event == CTRL_C_EVENT) signal_number = 2;
  if (event == CTRL_BREAK_EVENT) signal_number = 21;
  if (event == CTRL_CLOSE_EVENT) signal_number = 1;
  if (signal_number == 0) return FALSE;
  int none = 0;
  first_interrupt.compare_exchange_strong(none, signal_number);
  SetEvent(interrupt_handle);
  return TRUE;
}

}  // namespace

void watch_interrupts() {
  if (interrupt_handle != nullptr) return;
  interrupt_handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (interrupt_handle != nullptr) SetConsoleCtrlHandler(on_console_event, TRUE);
}

int interrupt_signal() { return first_interrupt.load(); }

void* interrupt_event() { return interrupt_handle; }

bool terminal_is_dumb() {
  const char* term = std::getenv("TERM");
  return term != nullptr && std::strcmp(term, "dumb") == 0;
}

bool colors_refused() { return std::getenv("NO_COLOR") != nullptr || terminal_is_dumb(); }

bool locale_is_utf8() { return true; }

std::optional<uint64_t> folder_own_bytes(platform::OsStringView) { return std::nullopt; }

std::optional<FolderProblem> folder_problem(platform::OsStringView path) {
  const DWORD attributes = GetFileAttributesW(std::wstring(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return FolderProblem::Missing;
    if (error == ERROR_PATH_NOT_FOUND) return FolderProblem::MissingPart;
    if (error == ERROR_ACCESS_DENIED) return FolderProblem::NotReachable;
    return std::nullopt;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FolderProblem::NotFolder;
  return std::nullopt;
}

namespace {

std::wstring with_final_separator(std::wstring path) {
  if (path.empty() || (path.back() != L'\\' && path.back() != L'/')) path.push_back(L'\\');
  return path;
}

}  // namespace

std::optional<storage::ElevatedVolume> volume_facts(platform::OsStringView path) {
  const std::wstring folder = with_final_separator(std::wstring(path));
  std::wstring volume_path(32768, L'\0');
  if (!GetVolumePathNameW(folder.c_str(), volume_path.data(),
                          static_cast<DWORD>(volume_path.size()))) {
    return std::nullopt;
  }
  volume_path.resize(wcslen(volume_path.c_str()));
  if (_wcsicmp(with_final_separator(volume_path).c_str(), folder.c_str()) != 0) return std::nullopt;
  ULARGE_INTEGER total{};
  ULARGE_INTEGER free{};
  if (!GetDiskFreeSpaceExW(folder.c_str(), nullptr, &total, &free)) return std::nullopt;
  const std::optional<platform::FileSystemKind> file_system = platform::file_system_kind_of(folder);
  if (!file_system) return std::nullopt;
  return storage::ElevatedVolume{total.QuadPart - free.QuadPart, *file_system};
}

}  // namespace ketterlin::host
