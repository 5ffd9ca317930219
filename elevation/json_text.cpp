#include "elevation/json_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>

#include "elevation/json_words.h"

namespace ketterlin::elevation {
namespace {

// For each byte: 0 when it is copied as it is, else the letter of its short escape, or 'u'.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  return table;
}

constexpr std::array<char, 256> kEscapes = make_escape_table();

void append_escape(std::string& out, unsigned char byte) {
  const char letter = kEscapes[byte];
  if (letter != 'u') {
    const char escape[2] = {'\\', letter};
    out.append(escape, 2);
    return;
  }
  constexpr std::string_view kHexDigits = "0123456789abcdef";
  const char escape[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
  out.append(escape, 6);
}

void append_utf8(std::string& out, char32_t code_point) {
  char bytes[4];
  std::size_t length = 0;
  if (code_point < 0x800) {
    bytes[length++] = static_cast<char>(0xC0 | (code_point >> 6));
  } else if (code_point < 0x10000) {
    bytes[length++] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[length++] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  } else {
    bytes[length++] = static_cast<char>(0xF0 | (code_point >> 18));
    bytes[length++] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    bytes[length++] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  }
  bytes[length++] = static_cast<char>(0x80 | (code_point & 0x3F));
  out.append(bytes, length);
}

void append_unit_escape(std::string& out, char16_t unit) {
  constexpr std::string_view kHexDigits = "0123456789abcdef";
  const char escape[6] = {'\\',
                          'u',
                          kHexDigits[(unit >> 12) & 0xF],
                          kHexDigits[(unit >> 8) & 0xF],
                          kHexDigits[(unit >> 4) & 0xF],
                          kHexDigits[unit & 0xF]};
  out.append(escape, 6);
}

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0 when there is none.
std::size_t utf8_sequence_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

bool is_lead_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trail_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

void append_json_u64(std::string& out, uint64_t value) {
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

namespace {

// Appends `text` between quotation marks, escaped; with `kChecked`, stops with false at the first
// byte that does not begin a well-formed UTF-8 sequence (`out` then holds part of the string).
template <bool kChecked>
bool append_escaped(std::string& out, std::string_view text) {
  out.push_back('"');
  while (!text.empty()) {
    const std::size_t run = json_words::ascii_run(text.data(), text.size());
    out.append(text.data(), run);
    text.remove_prefix(run);
    if (text.empty()) break;
    const auto byte = static_cast<unsigned char>(text.front());
    if (byte < 0x80) {
      append_escape(out, byte);
      text.remove_prefix(1);
      continue;
    }
    std::size_t length = 1;
    if constexpr (kChecked) {
      length = utf8_sequence_length(text);
      if (length == 0) return false;
    }
    out.append(text.data(), length);
    text.remove_prefix(length);
  }
  out.push_back('"');
  return true;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  append_escaped<false>(out, text);
}

bool append_json_utf8(std::string& out, std::string_view text) {
  return append_escaped<true>(out, text);
}

void append_json_bytes_lossless(std::string& out, std::string_view text) {
  out.push_back('"');
  while (!text.empty()) {
    const std::size_t length = utf8_sequence_length(text);
    const auto byte = static_cast<unsigned char>(text.front());
    if (length == 0) {
      append_unit_escape(out, static_cast<char16_t>(0xDC00 + byte));
      text.remove_prefix(1);
      continue;
    }
    if (length == 1 && kEscapes[byte] != 0) {
      append_escape(out, byte);
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  out.push_back('"');
}

bool append_json_utf16(std::string& out, std::u16string_view text, bool lossless) {
  out.push_back('"');
  for (std::size_t i = 0; i < text.size(); ++i) {
    // A run of units that are written as the one byte each of them is, narrowed in one go.
    std::size_t run_end = i;
    while (run_end < text.size() && text[run_end] < 0x80 && kEscapes[text[run_end]] == 0) {
      ++run_end;
    }
    if (run_end != i) {
      const std::size_t start = out.size();
      out.resize(start + (run_end - i));
      std::copy(text.begin() + static_cast<std::ptrdiff_t>(i),
                text.begin() + static_cast<std::ptrdiff_t>(run_end),
                out.begin() + static_cast<std::ptrdiff_t>(start));
      i = run_end;
      if (i == text.size()) break;
    }
    const char16_t unit = text[i];
    if (unit < 0x80) {
      const auto byte = static_cast<unsigned char>(unit);
      if (kEscapes[byte] != 0) {
        append_escape(out, byte);
      } else {
        out.push_back(static_cast<char>(byte));
      }
    } else if (is_lead_surrogate(unit) && i + 1 < text.size() && is_trail_surrogate(text[i + 1])) {
      const char16_t trail = text[++i];
      append_utf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{trail} - 0xDC00));
    } else if (is_lead_surrogate(unit) || is_trail_surrogate(unit)) {
      if (!lossless) return false;
      append_unit_escape(out, unit);
    } else {
      append_utf8(out, unit);
    }
  }
  out.push_back('"');
  return true;
}

}  // namespace ketterlin::elevation
