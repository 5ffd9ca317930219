// Portable Unicode text helpers: UTF-8 validation and UTF-8/UTF-16 transcoding, strict (fails on
// ill-formed input) or lossy (ill-formed sequences become U+FFFD). Pure functions of their input.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ketterlin::platform {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// `text` with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

// UTF-16 to UTF-8; nullopt when `text` holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view text);

// UTF-16 to UTF-8 with every unpaired surrogate replaced by U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view text);

// UTF-8 to UTF-16; ill-formed sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// Number of UTF-16 code units that the UTF-8 text `text` needs (ill-formed sequences count as
// the one U+FFFD unit that utf8_to_utf16 would give them).
std::size_t utf16_length(std::string_view text);

// `text` (UTF-8) mapped to lower case by Unicode's default full lower-case mapping: one capital
// may become several characters (U+0130 gives "i" and U+0307), and a capital sigma that ends a
// word becomes the final small sigma. Ill-formed sequences become U+FFFD first.
std::string to_lower_full(std::string_view text);

}  // namespace ketterlin::platform
