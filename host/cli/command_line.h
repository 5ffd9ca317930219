// The ketterlin-scan command line:
//   ketterlin-scan [options] [PATH]                scan PATH (default ".") as a full root
//   ketterlin-scan [options] --top-up ROOT TARGET...  scan chosen folders below ROOT
//   ketterlin-scan --browse --load FILE            browse a saved --json document
// Options may come before, between or after the paths; "--" ends them. An option's value is the
// next argument or follows "=" in the same one ("--depth=3"); a short form takes the next
// argument or the rest of its own ("-d 3", "-d3"). The options are one table in
// command_line.cpp: an option is added there and nowhere else in the parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "ketterlin/build_info.h"
#include "platform/os_string.h"

namespace ketterlin::host {

struct CommandOptions {
  enum class Action : uint8_t { Scan, Help, Version };
  Action action = Action::Scan;
  bool top_up = false;
  // Full root: the one path. Top-up: the root, then the targets.
  std::vector<platform::OsString> paths;
  std::optional<platform::OsString> json_path;  // "-" is standard output
  std::optional<platform::OsString> ncdu_path;  // "-" is standard output
  std::optional<platform::OsString> html_path;  // a file only
  std::optional<platform::OsString> helper_path;
  bool elevate = false;
  bool quiet = false;
  bool apparent = false;
  bool no_color = false;
  bool browse = false;                          // the full-screen browser instead of the report
  std::optional<platform::OsString> load_path;  // --load: browse this document, scan nothing
  bool allow_delete = false;                    // the browser's d deletes
  unsigned depth = 2;
  unsigned top = 10;
};

struct UsageError {
  enum class Kind : uint8_t {
    UnknownOption,         // `text` is the option
    MissingValue,          // `text` is the option
    UnexpectedValue,       // `text` is the option, given "=value" though it takes none
    InvalidNumber,         // `text` is the option
    TooManyPaths,          // more than one PATH without --top-up
    MissingTopUpTarget,    // --top-up with a root but no target
    BothOnStandardOutput,  // --json - and --ncdu - together
    NeedsBrowse,           // `text` (--load, --allow-delete) without --browse
    LoadWithScan,          // --load with a PATH or --top-up
    BrowseAndStdout,       // --browse with --json - or --ncdu -
    HtmlOnStandardOutput,  // --html -
  };
  Kind kind = Kind::UnknownOption;
  std::string text;

  friend bool operator==(const UsageError&, const UsageError&) = default;
};

std::string to_string(const UsageError& error);

// The arguments without the program name. --help and --version win over everything after them.
// No PATH (without --top-up) means the current folder.
[[nodiscard]] tl::expected<CommandOptions, UsageError> parse_command_line(
    const std::vector<platform::OsString>& arguments);

// The text --help prints.
std::string usage_text();

// What a usage error prints on standard error: the error on one line, then where to find help.
std::string usage_error_text(const UsageError& error);

// What --version prints, without the line feed: "ketterlin-scan " and the project's version.
inline std::string version_text() { return std::string("ketterlin-scan ") + kVersion; }

}  // namespace ketterlin::host
