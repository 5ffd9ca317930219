// The process's own command line and standard error.
#pragma once

#include <string_view>
#include <vector>

#include "platform/os_string.h"

namespace ketterlin::platform {

// The program's arguments without the program name, as the system passed them (UTF-16 from the
// Windows command line, bytes from argv on POSIX). `argc` and `argv` are main's.
std::vector<OsString> command_line_arguments(int argc, char** argv);

// Writes `text` to standard error exactly as given (no newline translation), retrying short and
// interrupted writes. Failures are ignored: there is nowhere left to report them.
void write_standard_error(std::string_view text);

// Makes a write to a pipe or socket whose reader has gone fail with an error instead of ending the
// process with a signal (POSIX SIGPIPE; nothing to do on Windows). Call once, early in main.
void ignore_broken_pipe_signal();

}  // namespace ketterlin::platform
