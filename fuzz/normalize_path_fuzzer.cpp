// Fuzz target: normalize_path on any bytes as a path.
//
// Oracles:
//   - the result equals a reference written here from the rules step by step (lossy conversion,
//     slashes, verbatim prefix tested on the lower-cased text, floor, walk, join, lower case), and
//     equals the full steps alone: the plain-drive shortcut never changes a result;
//   - the shortcut is taken exactly for plain drive paths (an ASCII letter, ":" and "\" first, no
//     "/", no empty, "." or ".." piece after them);
//   - the result has the normalised form: valid UTF-8, no "/", no empty or "." component, ".."
//     only at the start of a relative path, lower case (to_lower_full leaves it unchanged), and no
//     verbatim prefix;
//   - normalising the result again leaves it unchanged.
// The last two have one known exception: a UNC path whose server is "?" (such as "\\\?\x", or
// "\\?\UNC\?\x" once its own prefix is gone) normalises to "\\?\x", which reads as a verbatim
// prefix the second time and loses it then. The walk keeps a ".." that follows a kept "..": a
// relative "..\..\b" stays as it is.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/os_string.h"
#include "platform/unicode.h"
#include "storage/windows_path.h"
#include "storage/windows_path_internal.h"

namespace ketterlin::fuzz {
namespace {

constexpr std::string_view kVerbatimPrefix = "\\\\?\\";

std::vector<std::string_view> split_keeping_empty(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find('\\', start);
    pieces.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

// `text` without its first `count` characters (UTF-8).
std::string drop_characters(const std::string& text, std::size_t count) {
  std::size_t at = 0;
  for (; count > 0 && at < text.size(); --count) {
    do {
      ++at;
    } while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80);
  }
  return text.substr(at);
}

// The normalisation rules, one step after the other, without the shortcut.
std::string reference_normalize(std::string_view input) {
  std::string text = platform::utf8_lossy(input);
  std::replace(text.begin(), text.end(), '/', '\\');
  const std::string lowered = platform::to_lower_full(text);
  if (lowered.starts_with("\\\\?\\unc\\")) {
    text = "\\\\" + drop_characters(text, 8);
  } else if (lowered.starts_with(kVerbatimPrefix)) {
    text = drop_characters(text, 4);
  }
  const bool unc = text.starts_with("\\\\");
  std::vector<std::string_view> components;
  for (std::string_view piece : split_keeping_empty(text)) {
    if (!piece.empty()) components.push_back(piece);
  }
  std::size_t floor = 0;
  bool keep_unresolved = true;
  if (unc) {
    floor = 2;
    keep_unresolved = false;
  } else if (!components.empty() && components.front().ends_with(":")) {
    floor = 1;
    keep_unresolved = false;
  }
  std::vector<std::string_view> retained;
  for (std::string_view component : components) {
    if (component == ".") continue;
    if (component != "..") {
      retained.push_back(component);
    } else if (retained.size() > floor && retained.back() != "..") {
      retained.pop_back();
    } else if (keep_unresolved) {
      retained.push_back(component);
    }
  }
  std::string joined = unc ? "\\\\" : "";
  for (std::size_t i = 0; i < retained.size(); ++i) {
    if (i > 0) joined += '\\';
    joined += retained[i];
  }
  return platform::to_lower_full(joined);
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// When the shortcut may be taken: "X:\" first, no "/", and no empty, "." or ".." piece after.
bool is_shortcut_path(std::string_view text) {
  if (text.size() < 4 || !is_ascii_letter(text[0]) || text.substr(1, 2) != ":\\") return false;
  if (text.find('/') != std::string_view::npos) return false;
  const std::vector<std::string_view> pieces = split_keeping_empty(text.substr(3));
  return std::none_of(pieces.begin(), pieces.end(), [](std::string_view piece) {
    return piece.empty() || piece == "." || piece == "..";
  });
}

void check_normalized_form(std::string_view input, const std::string& result) {
  check(platform::is_valid_utf8(result), "the result is valid UTF-8", input, result);
  check(result.find('/') == std::string::npos, "the result holds no slash", input, result);
  check(platform::to_lower_full(result) == result, "the result is lower case", input, result);
  // The known exception: a UNC path whose server is "?".
  if (result.starts_with(kVerbatimPrefix)) return;
  const bool unc = result.starts_with("\\\\");
  const std::string_view body = std::string_view(result).substr(unc ? 2 : 0);
  if (body.empty()) return;
  const std::vector<std::string_view> components = split_keeping_empty(body);
  const bool relative = !unc && !components.front().ends_with(":");
  bool leading = true;  // only ".." components so far
  for (std::string_view component : components) {
    check(!component.empty(), "the result has no empty component", input, result);
    check(component != ".", "the result has no \".\" component", input, result);
    leading = leading && component == "..";
    check(component != ".." || (relative && leading),
          "\"..\" stays only at the start of a relative path", input, result);
  }
}

}  // namespace
}  // namespace ketterlin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace ketterlin;
  using fuzz::check;
  const std::string_view input = fuzz::as_text(data, size);
  // POSIX paths are bytes: the input is the path as the system would give it.
  const std::string result = storage::normalize_path(platform::OsStringView(input)).text();
  check(result == storage::normalize_path_text(input).text(),
        "the path and its bytes as text normalise alike", input, result);
  check(result == fuzz::reference_normalize(input), "the result follows the rules", input, result);

  const std::string text = platform::utf8_lossy(input);
  const bool shortcut = fuzz::is_shortcut_path(text);
  check(shortcut == storage::internal::is_plain_drive_path(text),
        "the shortcut is taken exactly for plain drive paths", input, text);
  check(storage::internal::normalize_full_steps(text) == result,
        "the shortcut and the full steps agree", input, result);
  if (shortcut) {
    check(platform::to_lower_full(text) == result, "a plain drive path is only lower-cased", input,
          result);
  }

  fuzz::check_normalized_form(input, result);
  if (!result.starts_with(fuzz::kVerbatimPrefix)) {
    check(storage::normalize_path_text(result).text() == result, "normalising twice is stable",
          input, result);
  }
  return 0;
}
