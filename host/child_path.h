// How a node's path relates to its parent's: the helper writes a child's path as the parent's
// path, one separator (none when the parent's path already ends in one) and the child's name.
// The host stores only the name and rebuilds full paths on demand. Pure text functions; the
// Windows rules are tested on every platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ketterlin::host {

enum class PathStyle : uint8_t {
  Posix,    // separator '/'
  Windows,  // separator '\'; a parent path may also end in '/'
};

// The style of the platform being built.
PathStyle native_path_style();

// The name that `path` adds to `parent_path`: nullopt unless `path` is exactly `parent_path`,
// then the style's separator (left out when `parent_path` ends in a separator), then a non-empty
// name that holds no separator ('/' on POSIX; '\' or '/' on Windows).
std::optional<std::string_view> child_name(std::string_view parent_path, std::string_view path,
                                           PathStyle style);

// Appends `name` to `path` the way the helper joins them (the inverse of child_name).
void append_child(std::string& path, std::string_view name, PathStyle style);

}  // namespace ketterlin::host
