#include "storage/display_path.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "platform/unicode.h"

namespace ketterlin::storage {
namespace {

constexpr std::string_view kVerbatimPrefix = "\\\\?\\";
constexpr std::size_t kMaxPlainPathBytes = 260;  // the whole path must be shorter than 261 bytes
constexpr std::size_t kMaxPathUnits = 260;
constexpr std::size_t kLongNameBytes = 256;
constexpr std::size_t kMaxNameUnits = 255;

// Device names that Win32 resolves in every folder. Besides ASCII digits, Windows takes the
// Latin-1 superscripts one to three as the digit of a COM or LPT name.
constexpr std::array<std::string_view, 28> kReservedDeviceNames = {
    "AUX",         "NUL",         "PRN",         "CON",         "COM1",        "COM2",
    "COM3",        "COM4",        "COM5",        "COM6",        "COM7",        "COM8",
    "COM9",        "LPT1",        "LPT2",        "LPT3",        "LPT4",        "LPT5",
    "LPT6",        "LPT7",        "LPT8",        "LPT9",        "COM\xC2\xB9", "COM\xC2\xB2",
    "COM\xC2\xB3", "LPT\xC2\xB9", "LPT\xC2\xB2", "LPT\xC2\xB3",
};

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equals_ignoring_ascii_case(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_upper(text[i]) != upper[i]) return false;
  }
  return true;
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_forbidden_in_name(char c) {
  if (static_cast<unsigned char>(c) < 32) return true;
  return std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos;
}

// Win32 reads a name as a device when the part before its first dot, trailing spaces removed,
// is a device name: "con.txt", "NUL.tar.gz" and "com1 .log" all designate devices.
bool is_reserved_device_name(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  if (stem.empty()) return false;
  for (std::string_view reserved : kReservedDeviceNames) {
    if (equals_ignoring_ascii_case(stem, reserved)) return true;
  }
  return false;
}

// `names` is what follows the root separator: names separated by single '\', at most one
// trailing '\'. Empty components (a doubled separator) fail: Win32 would merge them in the plain
// form while the verbatim form keeps them.
bool are_plain_names(std::string_view names) {
  if (names.empty()) return true;
  if (names.back() == '\\') names.remove_suffix(1);
  while (true) {
    const std::size_t separator = names.find('\\');
    if (!is_plain_name(names.substr(0, separator))) return false;
    if (separator == std::string_view::npos) return true;
    names.remove_prefix(separator + 1);
  }
}

// "\\?\X:\" with X an ASCII letter. A drive without its root separator ("\\?\C:") is not
// accepted: its plain form "C:" would mean the drive's current folder.
bool starts_with_verbatim_disk_root(std::string_view path) {
  return path.size() >= 7 && path.substr(0, 4) == kVerbatimPrefix && is_ascii_letter(path[4]) &&
         path[5] == ':' && path[6] == '\\';
}

bool starts_character(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }

// starts_with_verbatim_disk_root on the code units of an OS string.
bool starts_with_verbatim_disk_root_units(platform::OsStringView path) {
  const auto is = [&](std::size_t i, char c) {
    return path[i] == static_cast<platform::OsChar>(c);
  };
  const auto is_letter = [&](std::size_t i) {
    return (path[i] >= static_cast<platform::OsChar>('a') &&
            path[i] <= static_cast<platform::OsChar>('z')) ||
           (path[i] >= static_cast<platform::OsChar>('A') &&
            path[i] <= static_cast<platform::OsChar>('Z'));
  };
  return path.size() >= 7 && is(0, '\\') && is(1, '\\') && is(2, '?') && is(3, '\\') &&
         is_letter(4) && is(5, ':') && is(6, '\\');
}

}  // namespace

bool is_plain_name(std::string_view name) {
  if (name.empty()) return false;
  if (name.size() >= kLongNameBytes && platform::utf16_length(name) > kMaxNameUnits) return false;
  for (char c : name) {
    if (is_forbidden_in_name(c)) return false;
  }
  if (name.back() == ' ' || name.back() == '.') return false;
  return !is_reserved_device_name(name);
}

bool plain_form_is_safe(std::string_view path_text) {
  if (!platform::is_valid_utf8(path_text)) return false;
  // The cut itself must not split a character, whatever the other rules accept.
  if (path_text.size() > kVerbatimPrefix.size() &&
      !starts_character(path_text[kVerbatimPrefix.size()])) {
    return false;
  }
  if (path_text.size() > kMaxPlainPathBytes && platform::utf16_length(path_text) > kMaxPathUnits) {
    return false;
  }
  if (!starts_with_verbatim_disk_root(path_text)) return false;
  return are_plain_names(path_text.substr(7));
}

platform::OsString display_path(platform::OsStringView path) {
  // Only a path that starts with a verbatim disk root ("\\?\X:\", seven ASCII characters: as
  // many code units in either encoding) can lose its prefix: any other path is answered without
  // converting and checking its whole text (the progress reporter asks for every listed batch).
  if (!starts_with_verbatim_disk_root_units(path)) return platform::OsString(path);
  // Invalid Unicode (ill-formed UTF-8, an unpaired UTF-16 surrogate) fails the conversion, and
  // such a path keeps its prefix. The prefix is four ASCII characters: four code units in either
  // encoding.
  const std::optional<std::string> text = platform::to_utf8(path);
  if (!text || !plain_form_is_safe(*text)) return platform::OsString(path);
  return platform::OsString(path.substr(kVerbatimPrefix.size()));
}

}  // namespace ketterlin::storage
