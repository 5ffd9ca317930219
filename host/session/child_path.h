// How a node's path relates to its parent's: the helper writes a child's path as the parent's
// path joined with the child's name by the platform's join rule (platform::append_path). The
// host stores only the name and rebuilds full paths on demand. Pure text functions; the Windows
// rules are tested on every platform.
#pragma once

#include <optional>
#include <string_view>

#include "platform/path_style.h"

namespace ketterlin::host {

// The host's trees are written in the platform's path styles.
using platform::native_path_style;
using platform::PathStyle;

// The name that `path` adds to `parent_path`: nullopt unless `path` is exactly `parent_path`,
// then the style's preferred separator (left out when `parent_path` ends in a separator), then a
// non-empty name that holds no separator ('/' on POSIX; '\' or '/' on Windows). The inverse of
// platform::append_path.
std::optional<std::string_view> child_name(std::string_view parent_path, std::string_view path,
                                           PathStyle style);

}  // namespace ketterlin::host
