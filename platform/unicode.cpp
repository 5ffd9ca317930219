#include "platform/unicode.h"

#include <unicode/ucasemap.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace ketterlin::platform {
namespace {

constexpr UChar32 kReplacement = 0xFFFD;

// Calls `emit(code_point, well_formed)` for each UTF-8 sequence of `text`.
template <typename Emit>
void for_each_utf8(std::string_view text, Emit emit) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    emit(c < 0 ? kReplacement : c, c >= 0);
  }
}

// Calls `emit(code_point, well_formed)` for each UTF-16 sequence of `text`.
template <typename Emit>
void for_each_utf16(std::u16string_view text, Emit emit) {
  const char16_t* units = text.data();
  const int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U16_NEXT(units, i, length, c);
    const bool well_formed = !U_IS_SURROGATE(c);
    emit(well_formed ? c : kReplacement, well_formed);
  }
}

void append_utf8(std::string& out, UChar32 c) {
  uint8_t buffer[U8_MAX_LENGTH];
  int32_t length = 0;
  U8_APPEND_UNSAFE(buffer, length, c);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  // Paths are mostly ASCII: runs of it are skipped eight bytes at a time, and the checker starts
  // at the first eight bytes that hold another byte (always at the start of a character).
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t ascii_end = 0;
  while (text.size() - ascii_end >= sizeof(uint64_t)) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + ascii_end, sizeof word);
    if ((word & kHighBits) != 0) break;
    ascii_end += sizeof word;
  }
  bool valid = true;
  for_each_utf8(text.substr(ascii_end),
                [&](UChar32, bool well_formed) { valid = valid && well_formed; });
  return valid;
}

std::string utf8_lossy(std::string_view text) {
  if (is_valid_utf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  for_each_utf8(text, [&](UChar32 c, bool) { append_utf8(out, c); });
  return out;
}

std::optional<std::string> utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  bool valid = true;
  for_each_utf16(text, [&](UChar32 c, bool well_formed) {
    valid = valid && well_formed;
    append_utf8(out, c);
  });
  if (!valid) return std::nullopt;
  return out;
}

std::string utf16_to_utf8_lossy(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_utf16(text, [&](UChar32 c, bool) { append_utf8(out, c); });
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for_each_utf8(text, [&](UChar32 c, bool) {
    if (U_IS_BMP(c)) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  });
  return out;
}

std::size_t utf16_length(std::string_view text) {
  std::size_t units = 0;
  for_each_utf8(text, [&](UChar32 c, bool) { units += U16_LENGTH(c); });
  return units;
}

std::string to_lower_full(std::string_view text) {
  const std::string input = utf8_lossy(text);
  UErrorCode status = U_ZERO_ERROR;
  // Opened once per thread: the map only carries the (root) locale and options.
  thread_local const std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(
      ucasemap_open("", 0, &status), &ucasemap_close);
  if (map == nullptr) return input;
  std::string out(input.size(), '\0');
  for (;;) {
    status = U_ZERO_ERROR;
    const int32_t length =
        ucasemap_utf8ToLower(map.get(), out.data(), static_cast<int32_t>(out.size()), input.data(),
                             static_cast<int32_t>(input.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(static_cast<std::size_t>(length));
      continue;
    }
    if (U_FAILURE(status)) return input;
    out.resize(static_cast<std::size_t>(length));
    return out;
  }
}

}  // namespace ketterlin::platform
