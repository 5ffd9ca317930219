// Canonical paths and the facts about a folder that a scan request needs, always following links.
// file_system_posix.cpp resolves with realpath and stat; file_system_win32.cpp opens a handle with
// backup semantics and asks the system for its final path and attributes.
#pragma once

#include <cstdint>
#include <optional>

#include <tl/expected.hpp>

#include "platform/os_error.h"
#include "platform/os_string.h"

namespace ketterlin::platform {

// The canonical path of the object that `path` finally designates, after every link (and, on
// Windows, junction) on the way has been followed, in the system's own form: on POSIX the absolute
// path without ".", ".." or links; on Windows the verbatim final path beginning with `\\?\`.
// Fails with the system's error (no such file, access denied, a broken link...); a path holding a
// zero character fails with EINVAL / ERROR_INVALID_NAME instead of being cut short.
[[nodiscard]] tl::expected<OsString, OsError> canonicalize(OsStringView path);

// The canonical path of `path` when it is an available folder: the canonical path can be obtained
// and the object, links followed, is a directory (on Windows also not itself a name-surrogate
// reparse point). nullopt for anything else, file-system errors included.
[[nodiscard]] std::optional<OsString> available_folder(OsStringView path);

// The last-write time of the object `path` designates (links followed) in whole seconds since
// 1970-01-01 00:00 UTC, truncated; 0 when that time lies before 1970; nullopt when the metadata
// cannot be read.
[[nodiscard]] std::optional<uint64_t> last_write_epoch_seconds(OsStringView path);

// A Windows file time (100-nanosecond ticks since 1601-01-01 UTC) in whole seconds since 1970,
// truncated; 0 for times before 1970.
uint64_t epoch_seconds_from_file_time(uint64_t file_time);

}  // namespace ketterlin::platform
