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

// Appends `text` as append_json_string does when it is valid UTF-8; otherwise returns false, and
// `out` then holds part of the string.
[[nodiscard]] bool append_json_utf8(std::string& out, std::string_view text);

// Appends UTF-16 `text` as a JSON string in UTF-8, escaped as append_json_string does. An
// unpaired surrogate makes it return false (`out` then holds part of the string), or, when
// `lossless`, is written as the escape of its own unit (\ud800 to \udfff).
[[nodiscard]] bool append_json_utf16(std::string& out, std::u16string_view text,
                                     bool lossless = false);

// Appends bytes `text` as a JSON string: its valid UTF-8 as append_json_string does, and each
// byte that is not part of valid UTF-8 as the escape of the lone surrogate 0xDC00 + the byte
// (\udc80 to \udcff), so that nothing is lost.
void append_json_bytes_lossless(std::string& out, std::string_view text);

// Appends `path` as a JSON string in UTF-8. A path that is not valid Unicode (invalid UTF-8 on
// POSIX, an unpaired surrogate on Windows) makes it return false (`out` may then hold part of
// it), or, when `lossless`, is written with lone surrogate escapes as above. One implementation
// per platform.
[[nodiscard]] bool append_json_path(std::string& out, platform::OsStringView path, bool lossless);

}  // namespace ketterlin::elevation
