// The host's error: every way a scan run can fail, from creating the pipe to writing an export,
// as one value with fixed display texts.
#pragma once

#include <cstdint>
#include <string>

#include "platform/child_process.h"
#include "platform/os_error.h"

namespace ketterlin::host {

struct HostError {
  enum class Kind : uint8_t {
    EndpointFailed,        // creating the listening pipe or socket; `detail` names the step
    HelperNotStarted,      // the helper program could not be started; `detail` is its path
    ElevationUnavailable,  // --elevate, but no sudo or pkexec was found
    HelperExitedEarly,     // the helper ended before connecting; `status`, `detail` its stderr
    ConnectTimedOut,       // the helper did not connect in time; `number` is the limit in seconds
    ReadFailed,            // reading the pipe failed
    WriteFailed,           // writing the request failed
    LineTooLong,           // a line exceeded the limit; `number` is the limit in bytes
    UnterminatedLine,      // the stream ended inside a line; `status`, `detail` its stderr
    MalformedMessage,      // a line is no helper message; `number` is the line, `detail` why
    ProtocolViolation,     // a well-formed message broke the protocol; `number`, `detail`
    HelperFailed,          // the helper sent "failure"; `detail` is its text, `status` its exit
    HelperEndedEarly,      // the stream ended without "complete"; `status`, `detail` its stderr
    HelperStatusAfterComplete,  // "complete" arrived but the helper exited non-zero
    HelperWaitFailed,           // collecting the helper's exit status failed
    PathNotUnicode,  // a path given to the host cannot be sent; `detail` is its lossy text
    ExportFailed,    // writing the report or an export failed; `detail` is where
    ExportIsFolder,  // an export's path names a folder; `detail` is the path
    RequestRefused,  // the request breaks a rule the helper would refuse it for; `detail` says
    Interrupted,     // a signal (Ctrl-C, Ctrl-Break) ended the run; `number` is the signal
  };

  Kind kind = Kind::EndpointFailed;
  std::string detail;
  uint64_t number = 0;
  platform::OsError os_error{};
  platform::ExitStatus status{};

  static HostError with_os_error(Kind kind, std::string detail, platform::OsError error);
  static HostError helper_ended(Kind kind, platform::ExitStatus status, std::string standard_error);
  static HostError on_line(Kind kind, uint64_t line, std::string detail);
};

// The display text (one line, no final line feed).
std::string to_string(const HostError& error);

// The command's exit status for a run that ended with `error`: 2 for errors found before the
// scan started (usage), 128 + the signal for an interrupted run, 1 for a failed scan.
int exit_status(const HostError& error);

}  // namespace ketterlin::host
