#include "host/command_line.h"

#include <charconv>

namespace ketterlin::host {

std::string to_string(const UsageError& error) {
  using Kind = UsageError::Kind;
  switch (error.kind) {
    case Kind::UnknownOption:
      return "unknown option " + error.text;
    case Kind::MissingValue:
      return "option " + error.text + " needs a value";
    case Kind::InvalidNumber:
      return "option " + error.text + " needs a whole number from 0 to 1000000";
    case Kind::MissingPath:
      return "no path to scan";
    case Kind::TooManyPaths:
      return "only one path can be scanned as a full root (use --top-up ROOT TARGET...)";
    case Kind::MissingTopUpTarget:
      return "--top-up needs a root and at least one target";
    case Kind::BothOnStandardOutput:
      return "--json - and --ncdu - cannot both write to standard output";
    case Kind::HtmlOnStandardOutput:
      return "--html needs a file name; it cannot write to standard output";
  }
  return "UsageError(" + std::to_string(static_cast<unsigned>(error.kind)) + ")";
}

std::string usage_text() {
  return R"(usage: ketterlin-scan [options] PATH
       ketterlin-scan [options] --top-up ROOT TARGET...

Measures PATH (a folder or a whole volume) through ketterlin-scan-helper and shows the largest
folders and files. With --top-up, measures the chosen TARGET folders below ROOT; targets that
are not available folders are reported as unavailable.

options:
  --depth N       levels shown below each scanned folder (default 2)
  --top N         largest entries shown per folder, the rest summed in one line (default 10)
  --apparent      rank and show logical sizes instead of sizes on disk
  --json FILE     write the whole tree as JSON to FILE ("-": standard output, instead of the
                  report)
  --ncdu FILE     write the tree in ncdu's export format to FILE ("-": standard output), for
                  ncdu -f FILE
  --html FILE     write a treemap of the tree as one self-contained HTML page to FILE
  --quiet         no progress line
  --no-color      no colours (plain ASCII output)
  --elevate       start the helper with administrator rights (sudo or pkexec on Linux, the
                  consent prompt on Windows)
  --helper PATH   the helper to start (default: ketterlin-scan-helper beside this program)
  --help          this text
  --version       the version

exit status: 0 success, 1 the scan failed, 2 usage error
)";
}

namespace {

std::optional<unsigned> parse_count(const platform::OsString& text) {
  const std::string utf8 = platform::to_utf8_lossy(text);
  unsigned value = 0;
  const auto [end, error] = std::from_chars(utf8.data(), utf8.data() + utf8.size(), value);
  if (error != std::errc() || end != utf8.data() + utf8.size() || value > 1'000'000) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

tl::expected<CommandOptions, UsageError> parse_command_line(
    const std::vector<platform::OsString>& arguments) {
  using Kind = UsageError::Kind;
  CommandOptions options;
  bool options_ended = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string argument = platform::to_utf8_lossy(arguments[i]);
    const bool is_option = !options_ended && argument.size() > 1 && argument[0] == '-';
    if (!is_option) {
      options.paths.push_back(arguments[i]);
      continue;
    }
    auto value = [&]() -> tl::expected<platform::OsString, UsageError> {
      if (i + 1 == arguments.size())
        return tl::unexpected(UsageError{Kind::MissingValue, argument});
      return arguments[++i];
    };
    auto count = [&](unsigned& field) -> tl::expected<void, UsageError> {
      auto text = value();
      if (!text) return tl::unexpected(text.error());
      const auto parsed = parse_count(*text);
      if (!parsed) return tl::unexpected(UsageError{Kind::InvalidNumber, argument});
      field = *parsed;
      return {};
    };
    tl::expected<void, UsageError> taken;
    if (argument == "--") {
      options_ended = true;
    } else if (argument == "--help" || argument == "-h") {
      options.action = CommandOptions::Action::Help;
      return options;
    } else if (argument == "--version") {
      options.action = CommandOptions::Action::Version;
      return options;
    } else if (argument == "--top-up") {
      options.top_up = true;
    } else if (argument == "--elevate") {
      options.elevate = true;
    } else if (argument == "--quiet" || argument == "-q") {
      options.quiet = true;
    } else if (argument == "--apparent") {
      options.apparent = true;
    } else if (argument == "--no-color") {
      options.no_color = true;
    } else if (argument == "--depth") {
      taken = count(options.depth);
    } else if (argument == "--top") {
      taken = count(options.top);
    } else if (argument == "--json" || argument == "--ncdu" || argument == "--html" ||
               argument == "--helper") {
      auto text = value();
      if (!text) return tl::unexpected(text.error());
      (argument == "--json"   ? options.json_path
       : argument == "--ncdu" ? options.ncdu_path
       : argument == "--html" ? options.html_path
                              : options.helper_path) = *text;
    } else {
      return tl::unexpected(UsageError{Kind::UnknownOption, argument});
    }
    if (!taken) return tl::unexpected(taken.error());
  }
  if (options.top_up && options.paths.size() == 1) {
    return tl::unexpected(UsageError{Kind::MissingTopUpTarget, ""});
  }
  if (options.paths.empty()) {
    return tl::unexpected(options.top_up ? UsageError{Kind::MissingTopUpTarget, ""}
                                         : UsageError{Kind::MissingPath, ""});
  }
  if (!options.top_up && options.paths.size() > 1) {
    return tl::unexpected(UsageError{Kind::TooManyPaths, ""});
  }
  const platform::OsString dash = platform::from_utf8("-");
  if (options.json_path == dash && options.ncdu_path == dash) {
    return tl::unexpected(UsageError{Kind::BothOnStandardOutput, ""});
  }
  if (options.html_path == dash) return tl::unexpected(UsageError{Kind::HtmlOnStandardOutput, ""});
  return options;
}

}  // namespace ketterlin::host
