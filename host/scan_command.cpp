#include "host/scan_command.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "host/exports.h"
#include "host/helper_process.h"
#include "host/pipe_server.h"
#include "host/progress_display.h"
#include "host/report.h"
#include "host/session.h"
#include "host/system.h"
#include "ketterlin/build_info.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace ketterlin::host {
namespace {

using Clock = std::chrono::steady_clock;
using elevation::ElevatedScanMode;

struct PreparedRequest {
  ScanResult skeleton;  // mode, root, targets and volume; no reports yet
  std::string line;
};

// The path as sent: canonical when the system can resolve it (the elevated helper may start in
// another working folder), else as given (the helper then reports it), in UTF-8.
tl::expected<std::string, HostError> request_path(const platform::OsString& path) {
  auto canonical = platform::canonicalize(path);
  const platform::OsString& chosen = canonical ? *canonical : path;
  auto text = platform::to_utf8(chosen);
  if (!text) {
    HostError error;
    error.kind = HostError::Kind::PathNotUnicode;
    error.detail = platform::to_utf8_lossy(chosen);
    return tl::unexpected(std::move(error));
  }
  return *text;
}

tl::expected<PreparedRequest, HostError> prepare_request(const CommandOptions& options) {
  PreparedRequest prepared;
  ScanResult& result = prepared.skeleton;
  result.mode = options.top_up ? ElevatedScanMode::RestrictedTopUp : ElevatedScanMode::FullRoot;
  for (std::size_t i = 0; i < options.paths.size(); ++i) {
    auto text = request_path(options.paths[i]);
    if (!text) return tl::unexpected(std::move(text.error()));
    if (i == 0) result.root = *text;
    if (i > 0 || !options.top_up) result.targets.push_back(std::move(*text));
  }
  if (!options.top_up) result.volume = volume_facts(platform::from_utf8(result.root));
  prepared.line = encode_request(result.mode, result.root, result.targets, result.volume);
  return prepared;
}

tl::expected<platform::OsString, HostError> choose_helper(const CommandOptions& options) {
  if (options.helper_path) return *options.helper_path;
  const auto own = own_executable_path();
  if (!own) {
    return tl::unexpected(HostError::with_os_error(HostError::Kind::HelperNotStarted,
                                                   "ketterlin-scan-helper", platform::OsError{2}));
  }
  // The first candidate that is a file; when none is, the first, whose start then fails with
  // that path in the error.
  const std::vector<platform::OsString> candidates = helper_candidates(*own);
  for (const platform::OsString& candidate : candidates) {
    std::error_code error;
    if (std::filesystem::is_regular_file(std::filesystem::path(candidate), error)) return candidate;
  }
  return candidates.front();
}

// Collects how the helper ended after the pipe closed (or after it was killed).
tl::expected<platform::ChildOutput, HostError> collect(HelperProcess& helper) {
  auto output = helper.finish(std::chrono::seconds(30));
  if (!output) {
    return tl::unexpected(
        HostError::with_os_error(HostError::Kind::HelperWaitFailed, "", output.error()));
  }
  return std::move(*output);
}

// Reads the helper's stream to its end through `reader`.
tl::expected<void, HostError> read_stream(HelperConnection& connection, ProtocolReader& reader) {
  std::string buffer(1 << 16, '\0');
  for (;;) {
    auto count = connection.read_some(buffer.data(), buffer.size());
    if (!count) {
      return tl::unexpected(
          HostError::with_os_error(HostError::Kind::ReadFailed, "", count.error()));
    }
    if (*count == 0) return {};
    auto fed = reader.feed(std::string_view(buffer.data(), *count));
    if (!fed) return fed;
  }
}

// How the run ended, from what was read and how the helper exited.
tl::expected<void, HostError> judge(const ProtocolReader& reader,
                                    const platform::ChildOutput& output) {
  if (reader.end() == RunEnd::Failed) {
    HostError error = HostError::helper_ended(HostError::Kind::HelperFailed, output.status, "");
    error.detail = reader.failure_message();
    return tl::unexpected(std::move(error));
  }
  if (auto ended = reader.end_of_stream(); !ended) {
    return tl::unexpected(HostError::helper_ended(HostError::Kind::UnterminatedLine, output.status,
                                                  output.standard_error));
  }
  if (reader.end() == RunEnd::Open) {
    return tl::unexpected(HostError::helper_ended(HostError::Kind::HelperEndedEarly, output.status,
                                                  output.standard_error));
  }
  if (output.status != platform::ExitStatus{}) {
    return tl::unexpected(HostError::helper_ended(HostError::Kind::HelperStatusAfterComplete,
                                                  output.status, output.standard_error));
  }
  return {};
}

tl::expected<std::vector<TargetReport>, HostError> run_helper(const CommandOptions& options,
                                                              const PreparedRequest& request,
                                                              ProgressDisplay& display) {
  auto helper_path = choose_helper(options);
  if (!helper_path) return tl::unexpected(std::move(helper_path.error()));
  auto server = PipeServer::create();
  if (!server) return tl::unexpected(std::move(server.error()));
  auto helper = HelperProcess::start({*helper_path, server->name(), options.elevate});
  if (!helper) return tl::unexpected(std::move(helper.error()));
  const std::chrono::milliseconds limit =
      options.elevate ? std::chrono::minutes(10) : std::chrono::seconds(30);
  auto connection = server->accept(limit, [&helper] {
    auto exited = helper->try_wait();
    return exited && !*exited;
  });
  if (!connection || !*connection) {
    auto output = collect(*helper);
    if (!connection) return tl::unexpected(std::move(connection.error()));
    if (!output) return tl::unexpected(std::move(output.error()));
    return tl::unexpected(HostError::helper_ended(HostError::Kind::HelperExitedEarly,
                                                  output->status, output->standard_error));
  }
  ProtocolReader reader(request.skeleton.targets.size(), native_path_style(),
                        [&display](const ProgressEvent& progress) { display.update(progress); });
  auto outcome = (*connection)->write_all(request.line);
  if (!outcome) {
    // A helper that refuses the request at once may close first; its own words count more.
    auto output = collect(*helper);
    if (!output) return tl::unexpected(std::move(output.error()));
    return tl::unexpected(HostError::helper_ended(HostError::Kind::HelperEndedEarly, output->status,
                                                  output->standard_error));
  }
  auto read = read_stream(**connection, reader);
  if (!read) helper->kill();
  connection->reset();
  auto output = collect(*helper);
  if (!read) return tl::unexpected(std::move(read.error()));
  if (!output) return tl::unexpected(std::move(output.error()));
  if (auto judged = judge(reader, *output); !judged) return tl::unexpected(judged.error());
  return reader.take_targets();
}

// Opens `path` ("-" for standard output) and hands the stream to `write`.
template <typename Write>
tl::expected<void, HostError> write_export(const platform::OsString& path, Write write) {
  if (path == platform::from_utf8("-")) {
    write(std::cout);
    std::cout.flush();
    if (std::cout) return {};
    return tl::unexpected(HostError::with_os_error(HostError::Kind::ExportFailed, "standard output",
                                                   platform::last_os_error()));
  }
  std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  if (file) write(file);
  if (file) file.close();
  if (file) return {};
  return tl::unexpected(HostError::with_os_error(
      HostError::Kind::ExportFailed, platform::to_utf8_lossy(path), platform::last_os_error()));
}

tl::expected<void, HostError> write_outputs(const CommandOptions& options,
                                            const ScanResult& result) {
  const platform::OsString dash = platform::from_utf8("-");
  if (options.json_path != dash && options.ncdu_path != dash) {
    ReportOptions report;
    report.depth = options.depth;
    report.top = options.top;
    report.apparent = options.apparent;
    report.color = is_terminal(StandardStream::Output) && !options.no_color;
    report.unicode = report.color;
    report.width = terminal_columns(StandardStream::Output);
    std::cout << render_report(result, report);
    std::cout.flush();
    if (!std::cout) {
      return tl::unexpected(HostError::with_os_error(HostError::Kind::ExportFailed,
                                                     "standard output", platform::last_os_error()));
    }
  }
  if (options.json_path) {
    auto written = write_export(*options.json_path,
                                [&](std::ostream& out) { write_json_export(result, out); });
    if (!written) return written;
  }
  if (options.ncdu_path) {
    const auto now = static_cast<uint64_t>(std::time(nullptr));
    auto written = write_export(*options.ncdu_path,
                                [&](std::ostream& out) { write_ncdu_export(result, now, out); });
    if (!written) return written;
  }
  return {};
}

int fail(const std::string& text, int status) {
  platform::write_standard_error("ketterlin-scan: " + text + "\n");
  return status;
}

}  // namespace

std::string encode_request(ElevatedScanMode mode, std::string_view root,
                           const std::vector<std::string>& targets,
                           const std::optional<storage::ElevatedVolume>& volume) {
  nlohmann::ordered_json request;
  request["mode"] = elevation::to_wire(mode);
  request["root"] = root;
  request["targets"] = targets;
  if (volume) {
    request["volume"] = {{"usedBytes", volume->used_bytes},
                         {"fileSystem", elevation::to_wire(volume->file_system)}};
  } else {
    request["volume"] = nullptr;
  }
  nlohmann::ordered_json message;
  message["type"] = "scan";
  message["request"] = std::move(request);
  return message.dump() + "\n";
}

std::vector<platform::OsString> helper_candidates(const platform::OsString& host_path) {
  const bool windows = platform::kPathSeparator != '/';
  const std::size_t cut =
      host_path.find_last_of(windows ? platform::from_utf8("\\/") : platform::from_utf8("/"));
  const platform::OsString folder =
      cut == platform::OsString::npos ? platform::OsString() : host_path.substr(0, cut + 1);
  const platform::OsString name =
      platform::from_utf8(windows ? "ketterlin-scan-helper.exe" : "ketterlin-scan-helper");
  std::vector<platform::OsString> candidates{folder + name};
  const std::string_view installed = kInstalledHelperFolderFromHost;
  if (!installed.empty()) {
    const std::filesystem::path path =
        std::filesystem::path(folder + platform::from_utf8(installed)) / name;
    candidates.push_back(path.lexically_normal().native());
  }
  return candidates;
}

int run_command(const std::vector<platform::OsString>& arguments) {
  auto options = parse_command_line(arguments);
  if (!options) return fail(to_string(options.error()) + "\n" + usage_text(), 2);
  if (options->action == CommandOptions::Action::Help) {
    std::cout << usage_text();
    return 0;
  }
  if (options->action == CommandOptions::Action::Version) {
    std::cout << version_text() << "\n";
    return 0;
  }
  prepare_terminal();
  const Clock::time_point started = Clock::now();
  auto request = prepare_request(*options);
  if (!request) return fail(to_string(request.error()), 1);
  const ProgressDisplay::Mode mode = options->quiet ? ProgressDisplay::Mode::Off
                                     : is_terminal(StandardStream::Error)
                                         ? ProgressDisplay::Mode::Terminal
                                         : ProgressDisplay::Mode::Plain;
  ProgressDisplay display(mode, terminal_columns(StandardStream::Error),
                          request->skeleton.targets.size(),
                          [](std::string_view text) { platform::write_standard_error(text); });
  auto reports = run_helper(*options, *request, display);
  display.clear();
  if (!reports) return fail(to_string(reports.error()), 1);
  ScanResult result = std::move(request->skeleton);
  result.reports = std::move(*reports);
  result.elapsed_millis = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
  auto written = write_outputs(*options, result);
  if (!written) return fail(to_string(written.error()), 1);
  return 0;
}

}  // namespace ketterlin::host
