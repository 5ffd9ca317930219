// The helper's run: command line, pipe, request, scans and answers, and the single exit point.
#pragma once

#include <vector>

#include "platform/os_string.h"

namespace ketterlin::helper {

// Runs the helper with the program's arguments (program name excluded) and returns the exit
// status: 0 after "complete" was sent, 1 after any error, whose display text and one line feed
// were written to standard error. Nothing is ever written to standard output. Main thread.
int run_helper(const std::vector<platform::OsString>& arguments);

}  // namespace ketterlin::helper
