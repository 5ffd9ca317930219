#include "host/cli/format.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

namespace ketterlin::host {
namespace {

// Terminal columns of one character: none for combining marks and other zero-width characters,
// two for East Asian wide and fullwidth characters (CJK, most emoji), one for the rest.
std::size_t columns_of(UChar32 character) {
  switch (u_charType(character)) {
    case U_NON_SPACING_MARK:
    case U_ENCLOSING_MARK:
    case U_FORMAT_CHAR:
      return 0;
    default:
      break;
  }
  switch (u_getIntPropertyValue(character, UCHAR_EAST_ASIAN_WIDTH)) {
    case U_EA_WIDE:
    case U_EA_FULLWIDTH:
      return 2;
    default:
      return 1;
  }
}

// The character that starts at byte `at` of `text` (U+FFFD for an ill-formed sequence), and moves
// `at` past it.
UChar32 next_character(std::string_view text, std::size_t& at) {
  const auto length = static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
  auto index = static_cast<int32_t>(at);
  UChar32 character = 0;
  U8_NEXT_OR_FFFD(text.data(), index, length, character);
  at = static_cast<std::size_t>(index);
  return character;
}

// The character that ends just before byte `at` of `text`, and moves `at` back to its start.
UChar32 previous_character(std::string_view text, std::size_t& at) {
  auto index = static_cast<int32_t>(at);
  UChar32 character = 0;
  U8_PREV_OR_FFFD(text.data(), 0, index, character);
  at = static_cast<std::size_t>(index);
  return character;
}

// Byte offset just after the longest start of `text` that fits in `columns` (with the zero-width
// characters that follow it, which belong to its last character).
std::size_t prefix_bytes(std::string_view text, std::size_t columns) {
  std::size_t at = 0;
  std::size_t used = 0;
  while (at < text.size()) {
    std::size_t next = at;
    const std::size_t width = columns_of(next_character(text, next));
    if (used + width > columns) break;
    used += width;
    at = next;
  }
  return at;
}

// Byte offset where the longest end of `text` that fits in `columns` begins.
std::size_t suffix_start(std::string_view text, std::size_t columns) {
  std::size_t at = text.size();
  std::size_t used = 0;
  while (at > 0) {
    std::size_t previous = at;
    const std::size_t width = columns_of(previous_character(text, previous));
    if (used + width > columns) break;
    used += width;
    at = previous;
  }
  // A mark cannot start the end: it would join the ellipsis before it.
  while (at < text.size()) {
    std::size_t next = at;
    if (columns_of(next_character(text, next)) != 0) break;
    at = next;
  }
  return at;
}

}  // namespace

std::string human_size(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr std::array<const char*, 6> kUnits = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  // Tenths of the unit, rounded half up, computed in integers so that no precision is lost.
  std::size_t unit = 0;
  unsigned __int128 divisor = 1024;
  for (;;) {
    const unsigned __int128 tenths =
        (static_cast<unsigned __int128>(bytes) * 10 + divisor / 2) / divisor;
    if (tenths < 10240 || unit + 1 == kUnits.size()) {
      const auto whole = static_cast<uint64_t>(tenths / 10);
      const auto fraction = static_cast<unsigned>(tenths % 10);
      return std::to_string(whole) + "." + std::to_string(fraction) + " " + kUnits[unit];
    }
    ++unit;
    divisor *= 1024;
  }
}

std::string group_digits(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped.push_back(',');
    grouped.push_back(digits[i]);
  }
  return grouped;
}

std::string human_duration(uint64_t millis) {
  char text[48];
  if (millis < 60'000) {
    const uint64_t tenths = (millis + 50) / 100;
    std::snprintf(text, sizeof text, "%llu.%llu s", static_cast<unsigned long long>(tenths / 10),
                  static_cast<unsigned long long>(tenths % 10));
    return text;
  }
  const uint64_t seconds = millis / 1000;
  if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
  }
  return text;
}

std::size_t text_width(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) width += columns_of(next_character(text, at));
  return width;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    const UChar32 character = next_character(text, at);
    char escape[8];
    if (character == 0xFFFD && text.substr(start, at - start) != "\xef\xbf\xbd") {
      // Bytes that are not UTF-8 (a name kept losslessly): each one as \xHH.
      for (std::size_t i = start; i < at; ++i) {
        std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[i]));
        out += escape;
      }
      continue;
    }
    const bool control = character < 0x20 || (character >= 0x7F && character < 0xA0);
    if (!control) {
      out.append(text.substr(start, at - start));
      continue;
    }
    switch (character) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        std::snprintf(escape, sizeof escape, character < 0x80 ? "\\x%02x" : "\\u%04x",
                      static_cast<unsigned>(character));
        out += escape;
    }
  }
  return out;
}

std::string cut_to_width(std::string_view text, std::size_t width) {
  return std::string(text.substr(0, prefix_bytes(text, width)));
}

std::string shorten_middle(std::string_view text, std::size_t width, std::string_view ellipsis) {
  if (text_width(text) <= width) return std::string(text);
  const std::size_t ellipsis_width = text_width(ellipsis);
  if (width <= ellipsis_width) return cut_to_width(ellipsis, width);
  const std::size_t room = width - ellipsis_width;
  // The start gets the larger half (it says where), the end what the start left unused.
  std::string result(text.substr(0, prefix_bytes(text, room - room / 2)));
  const std::size_t tail = room - text_width(result);
  result += ellipsis;
  result += text.substr(suffix_start(text, tail));
  return result;
}

std::string count_of(uint64_t count, std::string_view singular, std::string_view plural) {
  return group_digits(count) + " " + std::string(count == 1 ? singular : plural);
}

std::string progress_line(const elevation::DecodedProgress& progress, std::size_t width,
                          std::string_view ellipsis) {
  std::string line = count_of(progress.files_discovered, "name", "names") + ", " +
                     count_of(progress.folders_discovered, "folder", "folders") + ", " +
                     human_size(progress.bytes_measured);
  if (progress.inaccessible_item_count > 0) {
    line += ", " + group_digits(progress.inaccessible_item_count) + " restricted";
  }
  line += ", " + human_duration(progress.elapsed_millis);
  if (progress.elapsed_millis >= 1000) {
    const auto rate = static_cast<uint64_t>(static_cast<long double>(progress.files_discovered) *
                                            1000 / progress.elapsed_millis);
    line += " (" + group_digits(rate) + "/s)";
  }
  const std::size_t used = text_width(line);
  if (used + 2 >= width) return cut_to_width(line, width);
  return line + "  " + shorten_middle(printable(progress.current_path), width - used - 2, ellipsis);
}

}  // namespace ketterlin::host
