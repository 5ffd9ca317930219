// Windows path normalisation: one canonical text per spelling of a path, used to compare paths,
// rate them and order hard links. Pure text rewriting; the file system is never consulted.
#pragma once

#include <compare>
#include <string>
#include <string_view>

#include "platform/os_string.h"

namespace ketterlin::storage {

// A normalised path text (UTF-8): backslashes only, lower case (full Unicode mapping), no
// verbatim prefix, no empty, "." or resolvable ".." component; a UNC path starts with "\\".
// Equal when the texts are byte for byte equal; ordered by byte-wise comparison.
class NormalizedPath {
 public:
  NormalizedPath() = default;
  // Wraps `text` as it is; the caller vouches that it is already normalised (tests, policies
  // built from normalize_path results).
  explicit NormalizedPath(std::string text) : text_(std::move(text)) {}

  const std::string& text() const { return text_; }

  friend bool operator==(const NormalizedPath&, const NormalizedPath&) = default;
  friend std::strong_ordering operator<=>(const NormalizedPath& a, const NormalizedPath& b) {
    return a.text_.compare(b.text_) <=> 0;
  }

 private:
  std::string text_;
};

// Normalises `path` (any spelling, verbatim or not). Never fails. Parts that are not valid
// Unicode become U+FFFD. ".." never climbs above a drive ("c:") or a UNC share ("\\server\share");
// a relative path keeps the ".." components it cannot resolve ("a\..\..\b" gives "..\b",
// "..\..\b" stays as it is). Allocates the result; plain drive paths ("C:\x\y") take a
// shortcut that only lower-cases them. Thread-safe.
NormalizedPath normalize_path(platform::OsStringView path);

// The same rules on UTF-8 text (ill-formed sequences become U+FFFD). normalize_path converts and
// calls this.
NormalizedPath normalize_path_text(std::string_view text);

}  // namespace ketterlin::storage
