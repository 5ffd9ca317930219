#include "host/cli/scan_command.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "elevation/request.h"
#include "host/browser/browse_command.h"
#include "host/cli/progress_display.h"
#include "host/cli/report.h"
#include "host/cli/system.h"
#include "host/exports/exports.h"
#include "host/exports/html_report.h"
#include "host/exports/output_file.h"
#include "host/session/helper_process.h"
#include "host/session/pipe_server.h"
#include "host/session/session.h"
#include "ketterlin/build_info.h"
#include "platform/file_system.h"
#include "platform/file_system_kind.h"
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

// A top-up target as given, or below ROOT when it is relative.
platform::OsString below_root(const platform::OsString& root, const platform::OsString& target) {
  const std::filesystem::path path(target);
  if (!path.is_relative()) return target;
  return (std::filesystem::path(root) / path).native();
}

// The helper's own request rules, applied before it is started: a top-up target outside the
// root or named twice (canonical paths compared as the helper compares them) is a usage error.
// A root or target that is no available folder is left to the helper, which reports it.
tl::expected<void, HostError> check_top_up(const ScanResult& request) {
  elevation::ElevatedScanRequest checked;
  checked.mode = request.mode;
  checked.root = platform::from_utf8(request.root);
  for (const std::string& target : request.targets) {
    checked.targets.push_back(platform::from_utf8(target));
  }
  auto validated = elevation::validate(std::move(checked));
  if (validated) return {};
  using Kind = elevation::ScanRequestErrorKind;
  switch (validated.error().kind) {
    case Kind::OutsideRoot:
    case Kind::DuplicateTarget:
    case Kind::RootCannotBeTopUp:
    case Kind::TooManyTargets: {
      HostError error;
      error.kind = HostError::Kind::RequestRefused;
      error.detail = elevation::to_string(validated.error());
      return tl::unexpected(std::move(error));
    }
    case Kind::MissingTargets:
    case Kind::RootUnavailable:
    case Kind::TargetUnavailable:
    case Kind::FullRootTargetRequired:
      return {};
  }
  return {};
}

tl::expected<PreparedRequest, HostError> prepare_request(const CommandOptions& options) {
  PreparedRequest prepared;
  ScanResult& result = prepared.skeleton;
  result.mode = options.top_up ? ElevatedScanMode::RestrictedTopUp : ElevatedScanMode::FullRoot;
  for (std::size_t i = 0; i < options.paths.size(); ++i) {
    const platform::OsString given =
        i == 0 ? options.paths[0] : below_root(options.paths[0], options.paths[i]);
    auto text = request_path(given);
    if (!text) return tl::unexpected(std::move(text.error()));
    if (i == 0) result.root = *text;
    if (i > 0 || !options.top_up) result.targets.push_back(std::move(*text));
  }
  if (options.top_up) {
    if (auto checked = check_top_up(result); !checked) return tl::unexpected(checked.error());
  } else {
    result.volume = volume_facts(platform::from_utf8(result.root));
  }
  // Names that are not valid Unicode come back escaped instead of ending the run.
  prepared.line = elevation::encode_scan_request(result.mode, result.root, result.targets,
                                                 result.volume, /*lossless_paths=*/true);
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

HostError interrupted() {
  HostError error;
  error.kind = HostError::Kind::Interrupted;
  error.number = static_cast<uint64_t>(interrupt_signal());
  return error;
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
    if (interrupt_signal() != 0) return false;
    auto exited = helper->try_wait();
    return exited && !*exited;
  });
  if (interrupt_signal() != 0) {
    helper->kill();
    (void)collect(*helper);
    return tl::unexpected(interrupted());
  }
  if (!connection || !*connection) {
    auto output = collect(*helper);
    if (!connection) return tl::unexpected(std::move(connection.error()));
    if (!output) return tl::unexpected(std::move(output.error()));
    return tl::unexpected(HostError::helper_ended(HostError::Kind::HelperExitedEarly,
                                                  output->status, output->standard_error));
  }
  ProtocolReader reader(
      request.skeleton.targets.size(), native_path_style(),
      [&display](const elevation::DecodedProgress& progress) { display.update(progress); });
  auto outcome = (*connection)->write_all(request.line);
  if (!outcome) {
    // A helper that refuses the request at once may close first; its own words count more.
    auto output = collect(*helper);
    if (interrupt_signal() != 0) return tl::unexpected(interrupted());
    if (!output) return tl::unexpected(std::move(output.error()));
    return tl::unexpected(HostError::helper_ended(HostError::Kind::HelperEndedEarly, output->status,
                                                  output->standard_error));
  }
  auto read = read_stream(**connection, reader);
  if (!read) helper->kill();
  connection->reset();
  auto output = collect(*helper);
  if (interrupt_signal() != 0) return tl::unexpected(interrupted());
  if (!read) return tl::unexpected(std::move(read.error()));
  if (!output) return tl::unexpected(std::move(output.error()));
  if (auto judged = judge(reader, *output); !judged) return tl::unexpected(judged.error());
  return reader.take_targets();
}

// The exports, opened before the scan starts.
struct Outputs {
  std::optional<OutputFile> json;
  std::optional<OutputFile> ncdu;
  std::optional<OutputFile> html;
};

tl::expected<Outputs, HostError> open_outputs(const CommandOptions& options) {
  Outputs outputs;
  if (options.json_path) {
    auto file = OutputFile::open(*options.json_path);
    if (!file) return tl::unexpected(std::move(file.error()));
    outputs.json = std::move(*file);
  }
  if (options.ncdu_path) {
    auto file = OutputFile::open(*options.ncdu_path);
    if (!file) return tl::unexpected(std::move(file.error()));
    outputs.ncdu = std::move(*file);
  }
  if (options.html_path) {
    auto file = OutputFile::open(*options.html_path);
    if (!file) return tl::unexpected(std::move(file.error()));
    outputs.html = std::move(*file);
  }
  return outputs;
}

tl::expected<void, HostError> write_outputs(const CommandOptions& options, const ScanResult& result,
                                            Outputs& outputs) {
  const platform::OsString dash = platform::from_utf8("-");
  if (!options.browse && options.json_path != dash && options.ncdu_path != dash) {
    const bool terminal = is_terminal(StandardStream::Output);
    ReportOptions report;
    report.depth = options.depth;
    report.top = options.top;
    report.apparent = options.apparent;
    report.color = terminal && !options.no_color && !colors_refused();
    report.unicode = terminal && !options.no_color && locale_is_utf8();
    report.width = terminal_columns(StandardStream::Output);
    report.elevate_hint = !options.elevate;
    std::cout << render_report(result, report);
    std::cout.flush();
    if (!std::cout) {
      return tl::unexpected(HostError::with_os_error(HostError::Kind::ExportFailed,
                                                     "standard output", platform::last_os_error()));
    }
  }
  // An interrupt while the report was written leaves the earlier exports as they were.
  if (interrupt_signal() != 0) return tl::unexpected(interrupted());
  if (outputs.json) {
    write_json_export(result, outputs.json->stream());
    if (auto committed = outputs.json->commit(); !committed) return committed;
  }
  if (outputs.ncdu) {
    const auto now = static_cast<uint64_t>(std::time(nullptr));
    write_ncdu_export(result, now, outputs.ncdu->stream());
    if (auto committed = outputs.ncdu->commit(); !committed) return committed;
  }
  if (outputs.html) {
    const HtmlReportOptions html{.apparent = options.apparent};
    write_html_report(result, html, outputs.html->stream());
    if (auto committed = outputs.html->commit(); !committed) return committed;
  }
  return {};
}

// The folders' own blocks in `tree`, measured now; nullopt when the system tells for none.
std::optional<uint64_t> measure_folders(const ResultTree& tree) {
  std::optional<uint64_t> total;
  for (NodeIndex node = 0; node < tree.size(); ++node) {
    const NodeRecordKind kind = tree.kind(node);
    if (kind != NodeRecordKind::Folder && kind != NodeRecordKind::Drive) continue;
    if (const auto bytes = folder_own_bytes(platform::from_utf8(tree.path(node)))) {
      total = total.value_or(0) + *bytes;
    }
  }
  return total;
}

// What the host can add to the helper's reports: the system's name of each scanned target's
// file system, why each unavailable target is unavailable, and the folders' share of the
// Unknown Space.
void add_system_facts(ScanResult& result) {
  result.file_system_names.resize(result.reports.size());
  result.target_problems.resize(result.reports.size());
  result.folder_bytes.resize(result.reports.size());
  for (std::size_t i = 0; i < result.reports.size() && i < result.targets.size(); ++i) {
    const platform::OsString target = platform::from_utf8(result.targets[i]);
    const TargetReport& report = result.reports[i];
    if (!report.tree) {
      if (const auto problem = folder_problem(target))
        result.target_problems[i] = to_text(*problem);
      continue;
    }
    result.file_system_names[i] = platform::file_system_name(target);
    if (unknown_space_bytes(result, i)) result.folder_bytes[i] = measure_folders(*report.tree);
  }
}

int fail(const std::string& text, int status) {
  platform::write_standard_error("ketterlin-scan: " + text + "\n");
  return status;
}

}  // namespace

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
  if (!options) {
    platform::write_standard_error(usage_error_text(options.error()));
    return 2;
  }
  if (options->action == CommandOptions::Action::Help) {
    std::cout << usage_text();
    return 0;
  }
  if (options->action == CommandOptions::Action::Version) {
    std::cout << version_text() << "\n";
    return 0;
  }
  const BrowseOptions browse{options->allow_delete, options->apparent};
  if (options->load_path) return browse_saved_document(*options->load_path, browse);
  if (options->browse && !browser_available()) return 2;
  prepare_terminal();
  watch_interrupts();
  const Clock::time_point started = Clock::now();
  auto request = prepare_request(*options);
  if (!request) return fail(to_string(request.error()), exit_status(request.error()));
  // Every export is opened before the helper starts: a path that cannot be written costs no scan.
  auto outputs = open_outputs(*options);
  if (!outputs) return fail(to_string(outputs.error()), 2);
  const ProgressDisplay::Mode mode = options->quiet ? ProgressDisplay::Mode::Off
                                     : is_terminal(StandardStream::Error) && !terminal_is_dumb()
                                         ? ProgressDisplay::Mode::Terminal
                                         : ProgressDisplay::Mode::Plain;
  ProgressDisplay display(mode, terminal_columns(StandardStream::Error),
                          request->skeleton.targets.size(), locale_is_utf8(),
                          [](std::string_view text) { platform::write_standard_error(text); });
  auto reports = run_helper(*options, *request, display);
  display.clear();
  if (!reports) {
    const HostError& error = reports.error();
    if (error.kind == HostError::Kind::Interrupted) return exit_status(error);
    std::string text = to_string(error);
    if (error.kind == HostError::Kind::HelperFailed && !options->elevate) {
      const auto problem = folder_problem(platform::from_utf8(request->skeleton.root));
      if (problem == FolderProblem::NotReadable || problem == FolderProblem::NotReachable) {
        text += "\nketterlin-scan: " + display_root(request->skeleton.root) + " is " +
                to_text(*problem) + ": run with --elevate to measure it as administrator";
      }
    }
    return fail(text, exit_status(error));
  }
  ScanResult result = std::move(request->skeleton);
  result.reports = std::move(*reports);
  result.elapsed_millis = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
  add_system_facts(result);
  auto written = write_outputs(*options, result, *outputs);
  if (interrupt_signal() != 0) return exit_status(interrupted());
  if (!written) return fail(to_string(written.error()), 1);
  return options->browse ? browse_scan(result, browse) : 0;
}

}  // namespace ketterlin::host
