// Pieces of compact JSON text appended straight to a std::string: unsigned integers, strings
// with the wire's escaping, and paths in the platform's own encoding. Internal to the protocol.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/os_string.h"

namespace ketterlin::elevation {

// Appends `value` in decimal: no sign, no leading zeros.
void append_json_u64(std::string& out, uint64_t value);

// Appends `text` (UTF-8, not checked) as a JSON string between quotation marks. The quotation
// mark, the backslash, U+0008, U+0009, U+000A, U+000C and U+000D become \" \\ \b \t \n \f \r;
// other bytes below 0x20 become \u00xx in lower-case hex; every other byte is copied as it is.
void append_json_string(std::string& out, std::string_view text);

// Appends UTF-16 `text` as a JSON string in UTF-8, escaped as append_json_string does. Returns
// false when `text` holds an unpaired surrogate; `out` then holds part of the string.
[[nodiscard]] bool append_json_utf16(std::string& out, std::u16string_view text);

// Appends `path` as a JSON string in UTF-8. Returns false when the path is not valid Unicode
// (invalid UTF-8 on POSIX, an unpaired surrogate on Windows); `out` may then hold part of it.
// One implementation per platform.
[[nodiscard]] bool append_json_path(std::string& out, platform::OsStringView path);

}  // namespace ketterlin::elevation
