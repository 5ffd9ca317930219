#include "host/format.h"

#include <array>
#include <cstdio>

namespace ketterlin::host {
namespace {

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Byte offset just after the first `count` characters of `text`.
std::size_t prefix_bytes(std::string_view text, std::size_t count) {
  std::size_t at = 0;
  for (std::size_t seen = 0; at < text.size() && seen < count; ++seen) {
    ++at;
    while (at < text.size() && is_continuation(text[at])) ++at;
  }
  return at;
}

// Byte offset where the last `count` characters of `text` begin.
std::size_t suffix_start(std::string_view text, std::size_t count) {
  std::size_t at = text.size();
  for (std::size_t seen = 0; at > 0 && seen < count; ++seen) {
    --at;
    while (at > 0 && is_continuation(text[at])) --at;
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
  for (const char byte : text) width += is_continuation(byte) ? 0 : 1;
  return width;
}

std::string cut_to_width(std::string_view text, std::size_t width) {
  return std::string(text.substr(0, prefix_bytes(text, width)));
}

std::string shorten_middle(std::string_view text, std::size_t width, std::string_view ellipsis) {
  if (text_width(text) <= width) return std::string(text);
  const std::size_t ellipsis_width = text_width(ellipsis);
  if (width <= ellipsis_width) return cut_to_width(ellipsis, width);
  const std::size_t room = width - ellipsis_width;
  const std::size_t tail = room / 2;  // the end gets the smaller half: the start says where
  const std::size_t head = room - tail;
  std::string result(text.substr(0, prefix_bytes(text, head)));
  result += ellipsis;
  result += text.substr(suffix_start(text, tail));
  return result;
}

std::string progress_line(const ProgressEvent& progress, std::size_t width,
                          std::string_view ellipsis) {
  std::string line = group_digits(progress.files_discovered) + " files, " +
                     group_digits(progress.folders_discovered) + " folders, " +
                     human_size(progress.bytes_measured);
  if (progress.inaccessible_item_count > 0) {
    line += ", " + group_digits(progress.inaccessible_item_count) + " inaccessible";
  }
  line += ", " + human_duration(progress.elapsed_millis);
  if (progress.elapsed_millis >= 1000) {
    const auto rate = static_cast<uint64_t>(static_cast<long double>(progress.files_discovered) *
                                            1000 / progress.elapsed_millis);
    line += " (" + group_digits(rate) + " files/s)";
  }
  const std::size_t used = text_width(line);
  if (used + 2 >= width) return cut_to_width(line, width);
  return line + "  " + shorten_middle(progress.current_path, width - used - 2, ellipsis);
}

}  // namespace ketterlin::host
