// The POSIX path code unit: paths are byte strings, kept exactly as the kernel gives them.
#pragma once

namespace ketterlin::platform {

using OsChar = char;
inline constexpr OsChar kPathSeparator = '/';

}  // namespace ketterlin::platform
