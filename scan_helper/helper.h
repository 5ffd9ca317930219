// The helper's run: command line, pipe, request, scans and answers, and the single exit point.
#pragma once

#include <functional>
#include <vector>

#include "platform/os_string.h"

namespace ketterlin::helper {

// Runs the helper with the program's arguments (program name excluded) and returns the exit
// status: 0 after "complete" was sent, 1 after any error, whose display text and one line feed
// were written to standard error. The one command line besides "--pipe <name>" is "--version"
// alone, which writes "ketterlin-scan-helper", the version and a line feed to standard output and
// returns 0; nothing else is ever written to standard output. Main thread.
int run_helper(const std::vector<platform::OsString>& arguments);

// The process's fault barrier: returns what `body` returns, or 1 when a broken invariant
// (platform::ThreadPanic, whose text is already on standard error) or a failed allocation ends it
// early; "memory allocation failed" and a line feed then go to standard error. Either way the run
// ends with one of its two statuses instead of an abort.
int run_behind_fault_barrier(const std::function<int()>& body);

}  // namespace ketterlin::helper
