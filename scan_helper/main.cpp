// ketterlin-scan-helper: the elevated scanning helper. The whole run lives in run_helper
// (scan_helper/helper.cpp): the command line, the pipe to the host (scan_helper/pipe.cpp, with
// pipe_posix.cpp / pipe_win32.cpp), the request's rules (elevation/request.cpp) and the messages
// (elevation/protocol.h), then the scan flow.
#include "platform/process.h"
#include "scan_helper/helper.h"

int main(int argc, char** argv) {
  ketterlin::platform::ignore_broken_pipe_signal();
  return ketterlin::helper::run_helper(ketterlin::platform::command_line_arguments(argc, argv));
}
