// What the host asks of the system besides the pipe and the helper: its own location, programs on
// PATH, terminals, and the facts about a volume that a whole-volume scan sends along.
// system_posix.cpp and system_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <optional>
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

// Makes a terminal show UTF-8 text and ANSI escape sequences (Windows consoles need both turned
// on; nothing to do on POSIX).
void prepare_terminal();

// The facts for a full-root scan request when `path` (canonical) is the root of a mounted
// volume: its used bytes and file-system kind. nullopt when `path` is an ordinary folder or the
// facts cannot be read. POSIX: a root is "/" or a folder whose device differs from its parent's;
// used bytes are (f_blocks - f_bfree) * f_frsize of statvfs; the kind is read as the helper's
// directory reader reads it. Windows: a root is what GetVolumePathNameW gives back unchanged;
// used bytes are total minus free of GetDiskFreeSpaceExW; the kind comes from the name that
// GetVolumeInformationW reports.
std::optional<storage::ElevatedVolume> volume_facts(platform::OsStringView path);

}  // namespace ketterlin::host
