// Operating-system error codes and their text, "<system description> (os error N)".
#pragma once

#include <cstdint>
#include <string>

namespace ketterlin::platform {

// An error code as the system reports it: errno on POSIX, GetLastError() on Windows.
struct OsError {
  uint32_t code = 0;

  friend bool operator==(OsError, OsError) = default;
};

// Windows error codes that portable code names: a directory listing's failure is classified by
// them on every system (the POSIX reader maps errno values onto them).
inline constexpr uint32_t kWindowsFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
inline constexpr uint32_t kWindowsPathNotFound = 3;  // ERROR_PATH_NOT_FOUND
inline constexpr uint32_t kWindowsAccessDenied = 5;  // ERROR_ACCESS_DENIED

// The calling thread's last error (errno, or GetLastError()).
OsError last_os_error();

// The system's own description of `error`, without the code; never empty.
std::string os_error_description(OsError error);

// The display text: the description, then " (os error ", the code in decimal and ")".
std::string to_string(OsError error);

}  // namespace ketterlin::platform
