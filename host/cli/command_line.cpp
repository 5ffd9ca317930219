#include "host/cli/command_line.h"

#include <array>
#include <charconv>
#include <string_view>

namespace ketterlin::host {

std::string to_string(const UsageError& error) {
  using Kind = UsageError::Kind;
  switch (error.kind) {
    case Kind::UnknownOption:
      return "unknown option " + error.text;
    case Kind::MissingValue:
      return "option " + error.text + " needs a value";
    case Kind::UnexpectedValue:
      return "option " + error.text + " takes no value";
    case Kind::InvalidNumber:
      return "option " + error.text + " needs a whole number from 0 to 1000000";
    case Kind::TooManyPaths:
      return "only one path can be scanned as a full root (use --top-up ROOT TARGET...)";
    case Kind::MissingTopUpTarget:
      return "--top-up needs a root and at least one target";
    case Kind::BothOnStandardOutput:
      return "--json - and --ncdu - cannot both write to standard output";
    case Kind::NeedsBrowse:
      return "option " + error.text + " needs --browse";
    case Kind::LoadWithScan:
      return "--load opens a saved document: no path to scan and no --top-up with it";
    case Kind::BrowseAndStdout:
      return "--browse uses the terminal: --json and --ncdu need a file, not -";
    case Kind::HtmlOnStandardOutput:
      return "--html needs a file name; it cannot write to standard output";
  }
  return "UsageError(" + std::to_string(static_cast<unsigned>(error.kind)) + ")";
}

std::string usage_error_text(const UsageError& error) {
  return "ketterlin-scan: " + to_string(error) + "\ntry 'ketterlin-scan --help'\n";
}

std::string usage_text() {
  return R"(usage: ketterlin-scan [options] [PATH]
       ketterlin-scan [options] --top-up ROOT TARGET...
       ketterlin-scan --browse [--allow-delete] --load FILE

Measures PATH (a folder or a whole volume; the current folder when no PATH is given) through
ketterlin-scan-helper and shows the largest folders and files. With --top-up, measures the
chosen TARGET folders below ROOT (a relative TARGET is taken below ROOT); targets that are not
available folders are reported as unavailable. Mounted file systems are never crossed: a folder
where another file system is mounted is shown as a mount point and not entered. Sizes leave
out the blocks of folders and links themselves, which du counts (1-3 % on most trees).

options (a value may also follow "=": --depth=3):
  -d, --depth N   levels shown below each scanned folder (default 2)
  --top N         largest entries shown per folder, the rest summed in one line (default 10)
  --apparent      rank and show logical sizes instead of sizes on disk
  --json FILE     write the whole tree as JSON to FILE ("-": standard output, instead of the
                  report)
  --ncdu FILE     write the tree in ncdu's export format to FILE ("-": standard output), for
                  ncdu -f FILE
  --html FILE     write a treemap of the tree as one self-contained HTML page to FILE
  -q, --quiet     no progress line
  --no-color      no colours (plain ASCII output); NO_COLOR or TERM=dumb turn colours off too
  --elevate       start the helper with administrator rights (sudo or pkexec on Linux, the
                  consent prompt on Windows)
  --helper PATH   the helper to start (default: ketterlin-scan-helper beside this program)
  --browse        browse the result in a full-screen view instead of printing the report
                  (arrows open and leave folders; ? shows the keys)
  --load FILE     with --browse: browse a document written by --json FILE instead of scanning
  --allow-delete  with --browse: d deletes the selected entry, after a confirmation
  -h, --help      this text
  -V, --version   the version

exit status: 0 success, 1 the scan failed (or --load's document cannot be read), 2 usage
error (or --browse without a terminal), 128+N ended by signal N (130 for Ctrl-C)
)";
}

namespace {

// One option of the table: its names, what it takes, and what it sets.
struct OptionRule {
  enum class Takes : uint8_t { Nothing, Count, Text };
  std::string_view name;        // "--depth"
  std::string_view short_name;  // "-d", or empty
  Takes takes = Takes::Nothing;
  // Sets the option; `text` is the value of a Text option, `count` that of a Count option.
  void (*apply)(CommandOptions& options, const platform::OsString& text, unsigned count);
};

using Takes = OptionRule::Takes;
using Options = CommandOptions;
using Text = platform::OsString;

constexpr std::array kOptionRules = {
    OptionRule{"--help", "-h", Takes::Nothing,
               [](Options& o, const Text&, unsigned) { o.action = Options::Action::Help; }},
    OptionRule{"--version", "-V", Takes::Nothing,
               [](Options& o, const Text&, unsigned) { o.action = Options::Action::Version; }},
    OptionRule{"--top-up", "", Takes::Nothing,
               [](Options& o, const Text&, unsigned) { o.top_up = true; }},
    OptionRule{"--elevate", "", Takes::Nothing,
               [](Options& o, const Text&, unsigned) { o.elevate = true; }},
    OptionRule{"--quiet", "-q", Takes::Nothing,
               [](Options& o, const Text&, unsigned) { o.quiet = true; }},
    OptionRule{"--apparent", "", Takes::Nothing,
               [](Options& o, const Text&, unsigned) { o.apparent = true; }},
    OptionRule{"--no-color", "", Takes::Nothing,
               [](Options& o, const Text&, unsigned) { o.no_color = true; }},
    OptionRule{"--depth", "-d", Takes::Count,
               [](Options& o, const Text&, unsigned n) { o.depth = n; }},
    OptionRule{"--top", "", Takes::Count, [](Options& o, const Text&, unsigned n) { o.top = n; }},
    OptionRule{"--json", "", Takes::Text,
               [](Options& o, const Text& text, unsigned) { o.json_path = text; }},
    OptionRule{"--ncdu", "", Takes::Text,
               [](Options& o, const Text& text, unsigned) { o.ncdu_path = text; }},
    OptionRule{"--helper", "", Takes::Text,
               [](Options& o, const Text& text, unsigned) { o.helper_path = text; }},
    OptionRule{"--browse", "", Takes::Nothing,
               [](Options& o, const Text&, unsigned) { o.browse = true; }},
    OptionRule{"--allow-delete", "", Takes::Nothing,
               [](Options& o, const Text&, unsigned) { o.allow_delete = true; }},
    OptionRule{"--load", "", Takes::Text,
               [](Options& o, const Text& text, unsigned) { o.load_path = text; }},
    OptionRule{"--html", "", Takes::Text,
               [](Options& o, const Text& text, unsigned) { o.html_path = text; }},
};

std::optional<unsigned> parse_count(const platform::OsString& text) {
  const std::string utf8 = platform::to_utf8_lossy(text);
  unsigned value = 0;
  const auto [end, error] = std::from_chars(utf8.data(), utf8.data() + utf8.size(), value);
  if (error != std::errc() || end != utf8.data() + utf8.size() || value > 1'000'000) {
    return std::nullopt;
  }
  return value;
}

// An option argument matched against the table: the rule, the name as written and the value
// that came with it ("--depth=3", "-d3").
struct MatchedOption {
  const OptionRule* rule = nullptr;
  std::string name;
  std::optional<platform::OsString> attached;
};

std::optional<MatchedOption> match_option(const platform::OsString& argument) {
  const std::string text = platform::to_utf8_lossy(argument);
  for (const OptionRule& rule : kOptionRules) {
    if (text == rule.name || (!rule.short_name.empty() && text == rule.short_name)) {
      return MatchedOption{&rule, text, std::nullopt};
    }
    // The value is cut from the argument itself, so that it keeps bytes that are not UTF-8.
    const std::size_t long_length = rule.name.size();
    if (text.size() > long_length && text.compare(0, long_length, rule.name) == 0 &&
        text[long_length] == '=') {
      return MatchedOption{&rule, std::string(rule.name), argument.substr(long_length + 1)};
    }
    const std::size_t short_length = rule.short_name.size();
    if (rule.takes != Takes::Nothing && short_length > 0 && text.size() > short_length &&
        text.compare(0, short_length, rule.short_name) == 0) {
      const std::size_t skip = text[short_length] == '=' ? short_length + 1 : short_length;
      return MatchedOption{&rule, std::string(rule.short_name), argument.substr(skip)};
    }
  }
  return std::nullopt;
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
    if (argument == "--") {
      options_ended = true;
      continue;
    }
    const std::optional<MatchedOption> matched = match_option(arguments[i]);
    if (!matched) return tl::unexpected(UsageError{Kind::UnknownOption, argument});
    const OptionRule& rule = *matched->rule;
    platform::OsString value;
    if (rule.takes == Takes::Nothing && matched->attached) {
      return tl::unexpected(UsageError{Kind::UnexpectedValue, matched->name});
    }
    if (rule.takes != Takes::Nothing) {
      if (matched->attached) {
        value = *matched->attached;
      } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
      } else {
        return tl::unexpected(UsageError{Kind::MissingValue, matched->name});
      }
    }
    unsigned count = 0;
    if (rule.takes == Takes::Count) {
      const auto parsed = parse_count(value);
      if (!parsed) return tl::unexpected(UsageError{Kind::InvalidNumber, matched->name});
      count = *parsed;
    }
    rule.apply(options, value, count);
    if (options.action != CommandOptions::Action::Scan) return options;
  }
  if (!options.browse && (options.load_path || options.allow_delete)) {
    return tl::unexpected(
        UsageError{Kind::NeedsBrowse, options.load_path ? "--load" : "--allow-delete"});
  }
  if (options.load_path) {
    if (!options.paths.empty() || options.top_up) {
      return tl::unexpected(UsageError{Kind::LoadWithScan, ""});
    }
    return options;
  }
  const platform::OsString dash = platform::from_utf8("-");
  if (options.browse && (options.json_path == dash || options.ncdu_path == dash)) {
    return tl::unexpected(UsageError{Kind::BrowseAndStdout, ""});
  }
  if (options.top_up && options.paths.size() < 2) {
    return tl::unexpected(UsageError{Kind::MissingTopUpTarget, ""});
  }
  if (options.paths.empty()) options.paths.push_back(platform::from_utf8("."));
  if (!options.top_up && options.paths.size() > 1) {
    return tl::unexpected(UsageError{Kind::TooManyPaths, ""});
  }
  if (options.json_path == dash && options.ncdu_path == dash) {
    return tl::unexpected(UsageError{Kind::BothOnStandardOutput, ""});
  }
  if (options.html_path == dash) return tl::unexpected(UsageError{Kind::HtmlOnStandardOutput, ""});
  return options;
}

}  // namespace ketterlin::host
