// The run, in order: the command line, connecting to the host's pipe, reading the one request,
// validating it (a refused request is answered with "failure"), then the scan flow
// (scan_flow.cpp): every target scanned in turn, progress and trees streamed, "complete". Every
// step returns its own error type; `run` carries them out as a RunError to the single exit point in
// run_helper, which prints the error's display text.
#include "scan_helper/helper.h"

#include <iostream>
#include <new>
#include <string>
#include <variant>

#include <tl/expected.hpp>

#include "elevation/protocol.h"
#include "elevation/request.h"
#include "ketterlin/build_info.h"
#include "platform/panic.h"
#include "platform/process.h"
#include "scan_helper/pipe.h"
#include "scan_helper/scan_flow.h"
#include "scanner/manager.h"

namespace ketterlin::helper {
namespace {

enum class CommandLineError : uint8_t {
  Usage,               // not exactly "--pipe" and a name
  PipeNameNotUnicode,  // the name is not valid Unicode
};

std::string to_string(CommandLineError error) {
  switch (error) {
    case CommandLineError::Usage:
      return "usage: ketterlin-scan-helper --pipe <name>";
    case CommandLineError::PipeNameNotUnicode:
      return "pipe name must be Unicode";
  }
  return "CommandLineError(" + std::to_string(static_cast<unsigned>(error)) + ")";
}

// Every error that can end a run.
using RunError = std::variant<CommandLineError, PipeError, elevation::ScanRequestError,
                              scanner::ScanManagerError, scanner::ScanFailure>;

std::string display_text(const RunError& error) {
  return std::visit([](const auto& cause) { return to_string(cause); }, error);
}

template <typename T>
using RunResult = tl::expected<T, RunError>;

// The pipe name: the second of exactly two arguments, the first being byte for byte "--pipe".
RunResult<platform::OsString> pipe_name_from(const std::vector<platform::OsString>& arguments) {
  if (arguments.size() != 2 || arguments[0] != platform::from_utf8("--pipe")) {
    return tl::unexpected(CommandLineError::Usage);
  }
  if (!platform::to_utf8(arguments[1])) return tl::unexpected(CommandLineError::PipeNameNotUnicode);
  return arguments[1];
}

// Answers a refused request with "failure" and its text, then ends the run with the refusal (or
// with the send's error when the answer cannot be sent).
RunResult<void> refuse_request(PipeConnection& connection,
                               const elevation::ScanRequestError& error) {
  const std::string text = elevation::to_string(error);
  auto sent = connection.send(elevation::FailureMessage{text});
  if (!sent) return tl::unexpected(std::move(sent.error()));
  return tl::unexpected(error);
}

// Creates the scan manager and runs the scan flow over every target slot.
RunResult<void> run_scans(PipeConnection& connection,
                          const elevation::ValidatedScanRequest& request) {
  auto manager = scanner::ScanManager::create();
  if (!manager) return tl::unexpected(std::move(manager.error()));
  auto scanned = scan_targets(connection, request, **manager);
  if (!scanned) {
    return tl::unexpected(std::visit([](auto&& cause) { return RunError(std::move(cause)); },
                                     std::move(scanned.error())));
  }
  return {};
}

RunResult<void> run(const std::vector<platform::OsString>& arguments) {
  auto pipe_name = pipe_name_from(arguments);
  if (!pipe_name) return tl::unexpected(std::move(pipe_name.error()));
  auto connection = PipeConnection::connect(*pipe_name);
  if (!connection) return tl::unexpected(std::move(connection.error()));
  auto message = connection->read_host_message();
  if (!message) return tl::unexpected(std::move(message.error()));
  if (message->request.lossless_paths)
    connection->set_path_encoding(elevation::PathEncoding::Lossless);
  auto request = elevation::validate(std::move(message->request));
  if (!request) return refuse_request(*connection, request.error());
  return run_scans(*connection, *request);
}

}  // namespace

int run_helper(const std::vector<platform::OsString>& arguments) {
  // Exactly one argument, so that every other command line keeps its usage answer.
  if (arguments.size() == 1 && arguments[0] == platform::from_utf8("--version")) {
    std::cout << "ketterlin-scan-helper " << kVersion << "\n" << std::flush;
    return std::cout ? 0 : 1;
  }
  return run_behind_fault_barrier([&] {
    const RunResult<void> outcome = run(arguments);
    if (outcome) return 0;
    platform::write_standard_error(display_text(outcome.error()) + "\n");
    return 1;
  });
}

int run_behind_fault_barrier(const std::function<int()>& body) {
  try {
    return body();
  } catch (const platform::ThreadPanic&) {
    return 1;
  } catch (const std::bad_alloc&) {
    platform::write_standard_error("memory allocation failed\n");
    return 1;
  }
}

}  // namespace ketterlin::helper
