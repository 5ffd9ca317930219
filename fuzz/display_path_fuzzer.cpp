// Fuzz target: storage::display_path on any bytes as a path.
//
// Oracles:
//   - the result is the input unchanged, or the input without its first four bytes, and the
//     latter only when the input starts with "\\?\", an ASCII letter and ":";
//   - a path that loses its prefix reads back as the same path under the Win32 rules: valid
//     UTF-8; the drive followed by its root separator; names that are not empty, "." or "..",
//     hold no "/" (a separator in the plain form), no control character and none of * : < > ? " |,
//     do not end in a space or a dot (Win32 strips those), are no reserved device name and fit
//     255 UTF-16 units; the whole path shorter than 261 bytes or at most 260 UTF-16 units;
//   - a plainly ordinary path (a drive root and short names of letters, digits, "-" and "_" that
//     cannot spell a device name) always loses its prefix.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/os_string.h"
#include "platform/unicode.h"
#include "storage/display_path.h"

namespace ketterlin::fuzz {
namespace {

constexpr std::string_view kVerbatimPrefix = "\\\\?\\";

constexpr std::array<std::string_view, 22> kDeviceNames = {
    "aux",  "nul",  "prn",  "con",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
    "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Win32 opens a device for a name whose part before the first dot, without trailing spaces, is
// a device name.
bool names_device(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (stem.ends_with(' ')) stem.remove_suffix(1);
  const std::string lower = ascii_lower(stem);
  return std::find(kDeviceNames.begin(), kDeviceNames.end(), lower) != kDeviceNames.end();
}

bool holds_forbidden_byte(std::string_view name) {
  return std::any_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 ||
           std::string_view("*:<>?\"|/").find(c) != std::string_view::npos;
  });
}

// Checks that the plain form of `input` (which lost its prefix) names the same object.
void check_plain_form_is_safe(std::string_view input) {
  check(platform::is_valid_utf8(input), "only valid UTF-8 loses its prefix", input);
  check(input.size() < 261 || platform::utf16_length(input) <= 260,
        "only a path of at most 260 UTF-16 units loses its prefix", input);
  const std::string_view plain = input.substr(kVerbatimPrefix.size());
  check(plain.size() >= 3 && plain[2] == '\\',
        "the drive keeps its root separator (\"C:x\" names another folder)", input);
  std::string_view names = plain.substr(3);
  if (names.ends_with('\\')) names.remove_suffix(1);  // a folder's trailing separator
  if (names.empty()) return;
  std::size_t start = 0;
  while (start <= names.size()) {
    const std::size_t end = std::min(names.find('\\', start), names.size());
    const std::string_view name = names.substr(start, end - start);
    check(!name.empty(), "no empty name (Win32 merges separators)", input);
    check(name != "." && name != "..", "no \".\" or \"..\" name (Win32 resolves them)", input);
    check(!holds_forbidden_byte(name), "no name holds a separator or a forbidden character", input);
    check(!name.ends_with(' ') && !name.ends_with('.'),
          "no name ends in a space or a dot (Win32 strips them)", input);
    check(!names_device(name), "no name is a device name", input);
    check(platform::utf16_length(name) <= 255, "every name fits 255 UTF-16 units", input);
    start = end + 1;
  }
}

// A drive root followed by short names of [A-Za-z0-9_-] whose first character cannot start a
// device name (a, c, l, n, p), the whole within 260 bytes.
bool is_plainly_ordinary(std::string_view input) {
  if (input.size() > 260 || input.size() < 7 || !input.starts_with(kVerbatimPrefix) ||
      !is_ascii_letter(input[4]) || input.substr(5, 2) != ":\\") {
    return false;
  }
  const std::string_view names = input.substr(7);
  std::size_t name_length = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const char c = names[i];
    if (c == '\\') {
      if (name_length == 0 || i + 1 == names.size()) return false;
      name_length = 0;
      continue;
    }
    const bool ordinary = is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ordinary || ++name_length > 12) return false;
    if (name_length == 1 && std::string_view("aAcClLnNpP").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace ketterlin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace ketterlin;
  using fuzz::check;
  const std::string_view input = fuzz::as_text(data, size);
  // POSIX paths are bytes: the input is the path as the system would give it.
  const platform::OsString shown = storage::display_path(platform::OsStringView(input));
  if (shown == input) {
    check(!fuzz::is_plainly_ordinary(input), "a plainly ordinary path loses its prefix", input);
    return 0;
  }
  check(input.size() >= 6 && shown == input.substr(4),
        "the result is the input or the input without four bytes", input, shown);
  check(input.starts_with(fuzz::kVerbatimPrefix) && fuzz::is_ascii_letter(input[4]) &&
            input[5] == ':',
        "only a verbatim drive path loses its prefix", input, shown);
  fuzz::check_plain_form_is_safe(input);
  return 0;
}
