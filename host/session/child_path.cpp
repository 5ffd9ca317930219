#include "host/session/child_path.h"

#include <algorithm>

namespace ketterlin::host {

std::optional<std::string_view> child_name(std::string_view parent_path, std::string_view path,
                                           PathStyle style) {
  if (!path.starts_with(parent_path)) return std::nullopt;
  std::string_view name = path.substr(parent_path.size());
  if (parent_path.empty() || !platform::is_separator(parent_path.back(), style)) {
    if (name.empty() || name.front() != platform::preferred_separator(style)) return std::nullopt;
    name.remove_prefix(1);
  }
  if (name.empty()) return std::nullopt;
  // Names are short: one pass over them, without a search call per name.
  for (const char c : name) {
    if (platform::is_separator(c, style)) return std::nullopt;
  }
  return name;
}

}  // namespace ketterlin::host
