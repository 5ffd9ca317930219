// ketterlin-scan: measures a folder or a whole volume through ketterlin-scan-helper and shows the
// result. The work is in the ketterlin_host library:
//   command_line      the options
//   scan_command      the run: request, pipe, helper, reading, report, exports
//   pipe_server_*     the listening socket or named pipe
//   helper_process_*  starting the helper, elevated or not, and collecting its end
//   session           splitting, decoding (messages) and checking the helper's lines
//   result_tree       rebuilding each target's tree, with hard links counted once
//   report, exports   the text for people, the JSON and ncdu files for programs
//   output_file       exports opened before the scan, put in place after it
//   system_*          terminals, locale, interrupts, volume facts, what a path is
#include "host/scan_command.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  return ketterlin::host::run_command(ketterlin::platform::command_line_arguments(argc, argv));
}
