// The two halves of path normalisation, visible to tests and benchmarks so that the plain-drive
// shortcut can be checked against the full rewrite. Everyone else calls normalize_path.
#pragma once

#include <string>
#include <string_view>

namespace ketterlin::storage::internal {

// True when `text` is a plain drive path that the shortcut may simply lower-case: at least four
// bytes, an ASCII letter, ":" and "\" first, no "/", and no empty, "." or ".." component after
// the first three bytes (so no trailing "\" either).
bool is_plain_drive_path(std::string_view text);

// The full rewrite without the shortcut: slashes to backslashes, verbatim prefix removed, empty
// and "." components dropped, ".." resolved above the floor (share of a UNC path, drive), and
// the result lower-cased by the full Unicode mapping. Precondition: `text` is valid UTF-8.
std::string normalize_full_steps(std::string_view text);

// `text` lower-cased by the full Unicode mapping; ASCII-only text is lower-cased in place without
// leaving the buffer. Precondition: `text` is valid UTF-8.
std::string to_lower_case(std::string text);

}  // namespace ketterlin::storage::internal
