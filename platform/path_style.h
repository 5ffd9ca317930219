// Path styles: how a system separates the components of its paths, whether letter case tells
// names apart, and the one rule by which a name is joined to a path. Pure text functions over any
// code unit, so that the Windows rules are tested on every platform with Windows-form strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "native_char.h"  // kPathSeparator of the platform being built

namespace ketterlin::platform {

enum class PathStyle : uint8_t {
  Posix,    // separator '/'; letter case tells names apart
  Windows,  // separator '\', and '/' is one too; letter case does not tell names apart
};

// The style of the platform being built.
constexpr PathStyle native_path_style() {
  return kPathSeparator == '/' ? PathStyle::Posix : PathStyle::Windows;
}

// The separator the style writes between a path and a name: '/' or '\'. A canonical path holds
// only this one.
constexpr char preferred_separator(PathStyle style) {
  return style == PathStyle::Windows ? '\\' : '/';
}

// Whether the code unit `c` separates components in `style`: '/' in both; '\' on Windows too.
template <class Char>
constexpr bool is_separator(Char c, PathStyle style) {
  return c == static_cast<Char>('/') ||
         (style == PathStyle::Windows && c == static_cast<Char>('\\'));
}

// Whether the style treats two names that differ only in letter case as one.
constexpr bool ignores_case(PathStyle style) { return style == PathStyle::Windows; }

// The join rule: appends to `path` the style's preferred separator, unless `path` is empty or
// already ends with a separator of the style (as a root such as "/" or "C:\" does), then `name`.
// An empty `name` leaves a final separator on a non-empty path.
template <class Char>
void append_path(std::basic_string<Char>& path,
                 std::type_identity_t<std::basic_string_view<Char>> name, PathStyle style) {
  if (!path.empty() && !is_separator(path.back(), style)) {
    path.push_back(static_cast<Char>(preferred_separator(style)));
  }
  path.append(name);
}

}  // namespace ketterlin::platform
