#include "host/child_path.h"

#include "platform/os_string.h"

namespace ketterlin::host {
namespace {

bool ends_with_separator(std::string_view path, PathStyle style) {
  if (path.empty()) return false;
  return path.back() == '/' || (style == PathStyle::Windows && path.back() == '\\');
}

char separator(PathStyle style) { return style == PathStyle::Windows ? '\\' : '/'; }

}  // namespace

PathStyle native_path_style() {
  return platform::kPathSeparator == '/' ? PathStyle::Posix : PathStyle::Windows;
}

std::optional<std::string_view> child_name(std::string_view parent_path, std::string_view path,
                                           PathStyle style) {
  if (!path.starts_with(parent_path)) return std::nullopt;
  std::string_view name = path.substr(parent_path.size());
  if (!ends_with_separator(parent_path, style)) {
    if (name.empty() || name.front() != separator(style)) return std::nullopt;
    name.remove_prefix(1);
  }
  if (name.empty()) return std::nullopt;
  // Names are short: one pass over them, without a search call per name.
  const bool windows = style == PathStyle::Windows;
  for (const char c : name) {
    if (c == '/' || (windows && c == '\\')) return std::nullopt;
  }
  return name;
}

void append_child(std::string& path, std::string_view name, PathStyle style) {
  if (!ends_with_separator(path, style)) path.push_back(separator(style));
  path.append(name);
}

}  // namespace ketterlin::host
