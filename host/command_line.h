// The ketterlin-scan command line:
//   ketterlin-scan [options] PATH                  scan PATH as a full root
//   ketterlin-scan [options] --top-up ROOT TARGET...  scan chosen folders below ROOT
// Options may come before, between or after the paths; "--" ends them.
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
  std::optional<platform::OsString> helper_path;
  bool elevate = false;
  bool quiet = false;
  bool apparent = false;
  bool no_color = false;
  unsigned depth = 2;
  unsigned top = 10;
};

struct UsageError {
  enum class Kind : uint8_t {
    UnknownOption,         // `text` is the option
    MissingValue,          // `text` is the option
    InvalidNumber,         // `text` is the option
    MissingPath,           // no PATH
    TooManyPaths,          // more than one PATH without --top-up
    MissingTopUpTarget,    // --top-up with a root but no target
    BothOnStandardOutput,  // --json - and --ncdu - together
  };
  Kind kind = Kind::MissingPath;
  std::string text;

  friend bool operator==(const UsageError&, const UsageError&) = default;
};

std::string to_string(const UsageError& error);

// The arguments without the program name. --help and --version win over everything else.
[[nodiscard]] tl::expected<CommandOptions, UsageError> parse_command_line(
    const std::vector<platform::OsString>& arguments);

// The text --help prints.
std::string usage_text();

// What --version prints, without the line feed: "ketterlin-scan " and the project's version.
inline std::string version_text() { return std::string("ketterlin-scan ") + kVersion; }

}  // namespace ketterlin::host
