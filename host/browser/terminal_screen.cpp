#include "host/browser/terminal_screen.h"

namespace ketterlin::host {

std::string to_string(const TerminalError& error) {
  using Kind = TerminalError::Kind;
  switch (error.kind) {
    case Kind::NoTerminal:
      return "--browse needs a terminal on standard input and standard output";
    case Kind::StartFailed:
      return "cannot start the full-screen browser on this terminal (TERM=" + error.detail + ")";
    case Kind::Unsupported:
      return "--browse is not available on this system";
  }
  return "TerminalError(" + std::to_string(static_cast<unsigned>(error.kind)) + ")";
}

}  // namespace ketterlin::host
