#include "host/host_error.h"

#include <utility>

namespace ketterlin::host {
namespace {

// The helper's own standard error, trimmed of its final line feeds, after ": "; nothing when it
// wrote nothing.
std::string helper_said(std::string_view standard_error) {
  while (!standard_error.empty() &&
         (standard_error.back() == '\n' || standard_error.back() == '\r')) {
    standard_error.remove_suffix(1);
  }
  if (standard_error.empty()) return "";
  return ": " + std::string(standard_error);
}

}  // namespace

HostError HostError::with_os_error(Kind kind, std::string detail, platform::OsError error) {
  HostError result;
  result.kind = kind;
  result.detail = std::move(detail);
  result.os_error = error;
  return result;
}

HostError HostError::helper_ended(Kind kind, platform::ExitStatus status,
                                  std::string standard_error) {
  HostError result;
  result.kind = kind;
  result.status = status;
  result.detail = std::move(standard_error);
  return result;
}

HostError HostError::on_line(Kind kind, uint64_t line, std::string detail) {
  HostError result;
  result.kind = kind;
  result.number = line;
  result.detail = std::move(detail);
  return result;
}

std::string to_string(const HostError& error) {
  using Kind = HostError::Kind;
  const std::string os_text = platform::to_string(error.os_error);
  const std::string number = std::to_string(error.number);
  const std::string status = platform::debug_string(error.status);
  switch (error.kind) {
    case Kind::EndpointFailed:
      return "cannot create the helper's pipe (" + error.detail + "): " + os_text;
    case Kind::HelperNotStarted:
      return "cannot start the helper " + error.detail + ": " + os_text;
    case Kind::ElevationUnavailable:
      return "cannot elevate the helper: neither sudo nor pkexec was found";
    case Kind::HelperExitedEarly:
      return "the helper " + status + " before connecting" + helper_said(error.detail);
    case Kind::ConnectTimedOut:
      return "the helper did not connect within " + number + " seconds";
    case Kind::ReadFailed:
      return "reading from the helper failed: " + os_text;
    case Kind::WriteFailed:
      return "writing the request to the helper failed: " + os_text;
    case Kind::LineTooLong:
      return "the helper sent a line longer than " + number + " bytes";
    case Kind::UnterminatedLine:
      return "the helper's output ended inside a line (" + status + ")" + helper_said(error.detail);
    case Kind::MalformedMessage:
      return "malformed message from the helper on line " + number + ": " + error.detail;
    case Kind::ProtocolViolation:
      return "protocol error from the helper on line " + number + ": " + error.detail;
    case Kind::HelperFailed:
      return "the helper failed: " + error.detail + " (" + status + ")";
    case Kind::HelperEndedEarly:
      return "the helper " + status + " without completing the scan" + helper_said(error.detail);
    case Kind::HelperStatusAfterComplete:
      return "the helper " + status + " after completing the scan" + helper_said(error.detail);
    case Kind::HelperWaitFailed:
      return "cannot collect the helper's exit status: " + os_text;
    case Kind::PathNotUnicode:
      return "path is not valid Unicode: " + error.detail;
    case Kind::ExportFailed:
      return "cannot write " + error.detail + ": " + os_text;
    case Kind::ExportIsFolder:
      return "cannot write " + error.detail + ": it is a folder";
    case Kind::RequestRefused:
      return error.detail;
    case Kind::Interrupted:
      return "interrupted by signal " + number;
  }
  return "HostError(" + std::to_string(static_cast<unsigned>(error.kind)) + ")";
}

int exit_status(const HostError& error) {
  switch (error.kind) {
    case HostError::Kind::ExportIsFolder:
    case HostError::Kind::RequestRefused:
      return 2;
    case HostError::Kind::Interrupted:
      return 128 + static_cast<int>(error.number);
    default:
      return 1;
  }
}

}  // namespace ketterlin::host
