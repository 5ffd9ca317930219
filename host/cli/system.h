// What the host asks of the system besides the pipe and the helper: its own location, programs on
// PATH, terminals, and the facts about a volume that a whole-volume scan sends along.
// system_posix.cpp and system_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_string.h"
#include "storage/volume.h"

namespace ketterlin::host {

// The full path of the running executable (/proc/self/exe, GetModuleFileNameW); nullopt when the
// system does not tell.
std::optional<platform::OsString> own_executable_path();

// The full path of the executable `name` found on PATH; nullopt when there is none.
std::optional<platform::OsString> find_program(std::string_view name);

enum class StandardStream : uint8_t { Output, Error };

// Whether the stream is a terminal (a console on Windows).
bool is_terminal(StandardStream stream);

// The terminal's width in columns; 0 when the stream is no terminal or the width is unknown.
std::size_t terminal_columns(StandardStream stream);

// From this call on, an interrupt no longer ends the process at once: it is recorded, and the
// pipe's waits (PipeServer::accept, HelperConnection::read_some) return early, so that the run
// can end in order (the helper ended and reaped, the pipe removed, the terminal restored).
// POSIX: SIGINT, SIGTERM and SIGHUP, through a self-pipe polled beside the socket. Windows:
// Ctrl-C (2), Ctrl-Break (21) and the console closing (1), through SetConsoleCtrlHandler and an
// event waited on beside the pipe. Call once, on the main thread.
void watch_interrupts();

// The first interrupt recorded since watch_interrupts(): its signal number, 0 when none.
// Any thread.
int interrupt_signal();

// Whether the environment asks for no colours: NO_COLOR set (to any value) or TERM=dumb.
bool colors_refused();

// Whether TERM=dumb: a terminal that cannot take cursor movement or line clearing.
bool terminal_is_dumb();

// Whether the terminal shows UTF-8: POSIX, the locale's character set (LC_ALL, LC_CTYPE, LANG)
// is UTF-8, or, for a locale that is not installed, its name says UTF-8; Windows, always
// (prepare_terminal() sets the console's code page).
bool locale_is_utf8();

// The bytes the folder at `path` itself takes on disk (its own blocks, not its entries'), which
// the helper does not measure; nullopt when the system does not tell. POSIX: lstat's st_blocks
// times 512. Windows: always nullopt (a folder's index is not reported as its size).
std::optional<uint64_t> folder_own_bytes(platform::OsStringView path);

// Why a path is no folder the current user can scan.
enum class FolderProblem : uint8_t {
  Missing,       // nothing at the path
  MissingPart,   // a part of the path is not a folder
  NotFolder,     // something other than a folder
  NotReachable,  // a folder above it may not be searched by this user
  NotReadable,   // a folder this user may not list or enter
};

// The text shown after "unavailable, ": "does not exist", "not a folder", ...
inline const char* to_text(FolderProblem problem) {
  switch (problem) {
    case FolderProblem::Missing:
      return "does not exist";
    case FolderProblem::MissingPart:
      return "does not exist (a part of its path is not a folder)";
    case FolderProblem::NotFolder:
      return "not a folder";
    case FolderProblem::NotReachable:
      return "not reachable by this user";
    case FolderProblem::NotReadable:
      return "not readable by this user";
  }
  return "unavailable";
}

// What the host can tell about why `path` is no folder this user can scan; nullopt when it looks
// like one (or the system does not say). POSIX: stat and access(R_OK | X_OK). Windows:
// GetFileAttributesW, which cannot tell NotReadable.
std::optional<FolderProblem> folder_problem(platform::OsStringView path);

// Makes a terminal show UTF-8 text and ANSI escape sequences (Windows consoles need both turned
// on; nothing to do on POSIX).
void prepare_terminal();

// The facts for a full-root scan request when `path` (canonical) is the root of a mounted
// volume: its used bytes and file-system kind. nullopt when `path` is an ordinary folder or the
// facts cannot be read. POSIX: a root is "/" or a folder whose device differs from its parent's;
// used bytes are (f_blocks - f_bfree) * f_frsize of statvfs. Windows: a root is what
// GetVolumePathNameW gives back unchanged; used bytes are total minus free of GetDiskFreeSpaceExW.
// The kind is platform::file_system_kind_of's, the rule the helper's directory reader follows.
std::optional<storage::ElevatedVolume> volume_facts(platform::OsStringView path);

}  // namespace ketterlin::host
