#include "platform/child_process.h"

namespace ketterlin::platform {
namespace {

constexpr OsChar kQuote = '"';
constexpr OsChar kBackslash = '\\';

bool needs_quotes(OsStringView argument) {
  if (argument.empty()) return true;
  for (const OsChar c : argument) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == kQuote) return true;
  }
  return false;
}

void append_quoted(OsStringView argument, OsString& line) {
  if (!needs_quotes(argument)) {
    line.append(argument);
    return;
  }
  line.push_back(kQuote);
  std::size_t backslashes = 0;
  for (const OsChar c : argument) {
    if (c == kBackslash) {
      ++backslashes;
      continue;
    }
    // Backslashes count only before a quotation mark: then each stands for two.
    line.append(c == kQuote ? 2 * backslashes + 1 : backslashes, kBackslash);
    line.push_back(c);
    backslashes = 0;
  }
  line.append(2 * backslashes, kBackslash);  // they precede the closing quotation mark
  line.push_back(kQuote);
}

}  // namespace

std::string debug_string(const ExitStatus& status) {
  const char* what = status.kind == ExitStatus::Kind::Exited ? "exited with " : "killed by ";
  return what + std::to_string(status.value);
}

std::optional<OsString> windows_command_line(OsStringView program,
                                             const std::vector<OsString>& arguments) {
  if (program.find(kQuote) != OsStringView::npos) return std::nullopt;
  if (program.find(OsChar{0}) != OsStringView::npos) return std::nullopt;
  OsString line;
  line.push_back(kQuote);
  line.append(program);
  line.push_back(kQuote);
  for (const OsString& argument : arguments) {
    if (argument.find(OsChar{0}) != OsString::npos) return std::nullopt;
    line.push_back(' ');
    append_quoted(argument, line);
  }
  return line;
}

}  // namespace ketterlin::platform
