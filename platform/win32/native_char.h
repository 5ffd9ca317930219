// The Windows path code unit: paths are UTF-16, unpaired surrogates included, as the system
// gives them to the wide (W) functions.
#pragma once

namespace ketterlin::platform {

using OsChar = wchar_t;
inline constexpr OsChar kPathSeparator = L'\\';

}  // namespace ketterlin::platform
