// The POSIX path code unit: paths are byte strings, kept exactly as the kernel gives them.
#pragma once

namespace ketterlin::platform {

using OsChar = char;
inline constexpr OsChar kPathSeparator = '/';
// Whether the system treats two paths that differ only in letter case as one.
inline constexpr bool kPathsIgnoreCase = false;

}  // namespace ketterlin::platform
