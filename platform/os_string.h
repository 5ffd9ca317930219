// Operating-system strings: paths exactly as the system gives them (bytes on POSIX, UTF-16 with
// any unpaired surrogates on Windows), and their conversions to and from UTF-8 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "native_char.h"  // OsChar and kPathSeparator of the platform being built

namespace ketterlin::platform {

using OsString = std::basic_string<OsChar>;
using OsStringView = std::basic_string_view<OsChar>;

// Strict conversion to UTF-8: nullopt when `s` is not valid Unicode (invalid UTF-8 on POSIX, an
// unpaired surrogate on Windows).
std::optional<std::string> to_utf8(OsStringView s);

// Lossy conversion to UTF-8: every part that is not valid Unicode becomes U+FFFD.
std::string to_utf8_lossy(OsStringView s);

// UTF-8 text to an OS string. Lossless for valid UTF-8 on both platforms; on POSIX any bytes are
// kept as they are, on Windows ill-formed UTF-8 becomes U+FFFD.
OsString from_utf8(std::string_view utf8);

// `directory` joined with `name` by append_path's rule (path_style.h) in the platform's own
// style: one kPathSeparator, unless `directory` is empty or already ends with a separator of the
// platform ('/' on POSIX; '\' or '/' on Windows).
OsString join_path(OsStringView directory, OsStringView name);

}  // namespace ketterlin::platform
