// The Windows directory reader's system calls as the reader makes them, for tests that run single
// calls for real (message texts, path round trips, mount-point and reparse-point lookups) on
// Windows or under Wine. Only the Windows reader and its tests include this header.
#pragma once

#include <memory>

#include "scanner/windows_listing.h"

namespace ketterlin::scanner::windows_fs {

// The system calls read_directory makes (CreateFileW, GetFileInformationByHandleEx,
// FormatMessageW and the rest). Stateless; one instance may serve many threads.
[[nodiscard]] std::unique_ptr<WindowsFileSystem> make_system_file_system();

}  // namespace ketterlin::scanner::windows_fs
