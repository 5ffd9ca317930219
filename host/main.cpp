// ketterlin-scan: measures a folder or a whole volume through ketterlin-scan-helper and shows the
// result. The work is in the ketterlin_host library, one folder per role (host_error, the host's
// one error type, is shared by all):
//   cli/        the command line and what people read
//     command_line        the options
//     scan_command        the run: request, pipe, helper, reading, report, exports
//     report, format      the result as text; sizes, counts and paths as people read them
//     progress_display    the live progress line
//     system_*            terminals, locale, interrupts, volume facts, what a path is
//   session/    the helper and the trees rebuilt from its lines
//     pipe_server_*       the listening socket or named pipe
//     helper_process_*    starting the helper, elevated or not, and collecting its end
//     session             splitting, decoding and checking the helper's lines
//     result_tree         rebuilding each target's tree, with hard links counted once
//     scan_result         what a finished run holds, for the report, the exports and the browser
//   exports/    the files written for programs, opened before the scan and put in place after it
//     exports             the JSON document and ncdu's format
//     html_report         the treemap page (its page sources in html/)
//     saved_document      a JSON document read back, for browsing it later
//     output_file         an export's file: opened first, committed last
//   browser/    the terminal browser (--browse): its tree, model, view, screen and deletion
#include "host/cli/scan_command.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  return ketterlin::host::run_command(ketterlin::platform::command_line_arguments(argc, argv));
}
