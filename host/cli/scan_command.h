// The ketterlin-scan command from its arguments to its exit status: prepare the request, run
// the helper through the pipe while showing progress, then print the report and write the
// exports.
//
// How one run goes
//   1. The paths are canonicalised (when they exist) and checked to be Unicode; a relative top-up
//      target is taken below the root, and the helper's own rules refuse a target outside the
//      root or repeated before any helper starts (usage error). A full-root scan of a volume's
//      root carries the volume's used bytes and file-system kind. Every export is opened
//      (output_file.h) and interrupts are watched (system.h) from here on.
//   2. The pipe is created, the helper started with --pipe <name>; the host waits for its
//      connection (30 s, 10 min with --elevate for the password or consent prompt) while
//      watching for its exit, so a helper that dies first is reported, not waited for.
//   3. The request line is written; then every byte the helper sends is read, split into lines,
//      decoded and checked (ProtocolReader) until the helper closes the pipe. The first
//      malformed line or protocol error kills the helper and ends the run.
//   4. The helper's exit status and standard error are collected. Success needs "complete",
//      nothing after it, and exit status 0; "failure" is reported with its text and status; a
//      stream that ends without either is reported with the status and standard error.
//   5. The host adds what the system tells it (file-system names, why a target is unavailable,
//      the folders' own blocks), prints the report and puts the exports in place.
// An interrupt at any step ends the waits: the helper is killed and reaped, the pipe removed
// (RAII), the progress line cleared, nothing exported, and the status is 128 + the signal.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "host/cli/command_line.h"
#include "host/host_error.h"
#include "host/session/scan_result.h"
#include "platform/os_string.h"

namespace ketterlin::host {

// Where the host looks for ketterlin-scan-helper (".exe" on Windows) when no --helper is given,
// in order: in the folder of `host_path` (the build folder, Windows), then in the installed
// helper folder relative to that folder (Linux: ../libexec/ketterlin-scan), with ".." resolved
// in the text; `host_path` is the host's own full path.
std::vector<platform::OsString> helper_candidates(const platform::OsString& host_path);

// Runs the command with `arguments` (without the program name); returns the exit status: 0
// success, 1 the scan failed (the error's text on standard error), 2 usage error (found before
// the helper starts), 128 + N ended by signal N.
int run_command(const std::vector<platform::OsString>& arguments);

}  // namespace ketterlin::host
