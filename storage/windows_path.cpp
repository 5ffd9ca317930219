#include "storage/windows_path.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/unicode.h"
#include "storage/windows_path_internal.h"

namespace ketterlin::storage {
namespace internal {
namespace {

constexpr char kSeparator = '\\';
constexpr std::string_view kUncPrefix = "\\\\";
constexpr std::string_view kVerbatimPrefix = "\\\\?\\";
constexpr std::string_view kVerbatimUncPrefix = "\\\\?\\unc\\";

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` starts with the lower-case ASCII `prefix`, ignoring ASCII case in `text`. For the
// verbatim prefixes this equals testing the Unicode lower-cased text: the only characters whose
// lower case is one of the prefix's letters are those letters' ASCII capitals.
bool starts_with_ignoring_ascii_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  return std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char p, char t) { return p == ascii_lower(t); });
}

// Calls `visit(component)` for each non-empty piece of `text` between backslashes.
template <typename Visit>
void for_each_component(std::string_view text, Visit visit) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(kSeparator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) visit(text.substr(start, end - start));
    start = end + 1;
  }
}

// The text once the verbatim prefix is gone, and whether it is a UNC path. A UNC path's leading
// backslashes may stay in `rest`: splitting drops the empty pieces they make.
struct PathBody {
  std::string_view rest;
  bool unc = false;
};

PathBody strip_prefix(std::string_view text) {
  if (starts_with_ignoring_ascii_case(text, kVerbatimUncPrefix)) {
    return {text.substr(kVerbatimUncPrefix.size()), true};
  }
  if (text.starts_with(kVerbatimPrefix)) text.remove_prefix(kVerbatimPrefix.size());
  return {text, text.starts_with(kUncPrefix)};
}

// The retained components of `rest` after dropping "." and resolving "..". The first `floor`
// retained components cannot be removed by ".."; an unresolvable ".." is kept when
// `keep_unresolved_parent` holds and dropped otherwise. A kept ".." is never cancelled by a later
// one: "..\..\b" stays as it is.
std::vector<std::string_view> resolve_components(std::string_view rest, std::size_t floor,
                                                 bool keep_unresolved_parent) {
  std::vector<std::string_view> retained;
  for_each_component(rest, [&](std::string_view component) {
    if (component == ".") return;
    if (component != "..") {
      retained.push_back(component);
    } else if (retained.size() > floor && retained.back() != "..") {
      retained.pop_back();
    } else if (keep_unresolved_parent) {
      retained.push_back(component);
    }
  });
  return retained;
}

// The number of leading components that ".." cannot remove, and whether an unresolvable ".." is
// kept: the server and share of a UNC path, the drive of a drive path; nothing for a relative path.
struct Floor {
  std::size_t components = 0;
  bool keep_unresolved_parent = true;
};

Floor floor_of(std::string_view rest, bool unc) {
  if (unc) return {2, false};
  const std::size_t start = rest.find_first_not_of(kSeparator);
  if (start != std::string_view::npos) {
    const std::string_view first = rest.substr(start, rest.find(kSeparator, start) - start);
    if (first.back() == ':') return {1, false};
  }
  return {0, true};
}

}  // namespace

bool is_plain_drive_path(std::string_view text) {
  if (text.size() < 4 || !is_ascii_letter(text[0]) || text[1] != ':' || text[2] != kSeparator) {
    return false;
  }
  if (text.find('/') != std::string_view::npos) return false;
  std::string_view rest = text.substr(3);
  for (;;) {
    const std::size_t end = rest.find(kSeparator);
    const std::string_view piece = rest.substr(0, end);
    if (piece.empty() || piece == "." || piece == "..") return false;
    if (end == std::string_view::npos) return true;
    rest.remove_prefix(end + 1);
  }
}

std::string normalize_full_steps(std::string_view text) {
  std::string slashed(text);
  std::replace(slashed.begin(), slashed.end(), '/', kSeparator);
  const PathBody body = strip_prefix(slashed);
  const Floor floor = floor_of(body.rest, body.unc);
  const std::vector<std::string_view> retained =
      resolve_components(body.rest, floor.components, floor.keep_unresolved_parent);

  std::string joined;
  joined.reserve(text.size() + kUncPrefix.size());
  if (body.unc) joined.append(kUncPrefix);
  for (std::size_t i = 0; i < retained.size(); ++i) {
    if (i > 0) joined.push_back(kSeparator);
    joined.append(retained[i]);
  }
  return to_lower_case(std::move(joined));
}

std::string to_lower_case(std::string text) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) return platform::to_lower_full(text);
  for (char& c : text) c = ascii_lower(c);
  return text;
}

}  // namespace internal

namespace {

// Shared tail of both entry points; `text` is valid UTF-8 and is reused as the result when the
// shortcut applies.
NormalizedPath normalize_valid_utf8(std::string text) {
  if (internal::is_plain_drive_path(text)) {
    return NormalizedPath(internal::to_lower_case(std::move(text)));
  }
  return NormalizedPath(internal::normalize_full_steps(text));
}

}  // namespace

NormalizedPath normalize_path(platform::OsStringView path) {
  return normalize_valid_utf8(platform::to_utf8_lossy(path));
}

NormalizedPath normalize_path_text(std::string_view text) {
  return normalize_valid_utf8(platform::utf8_lossy(text));
}

}  // namespace ketterlin::storage
