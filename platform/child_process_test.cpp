#include "platform/child_process.h"

#include <gtest/gtest.h>

namespace ketterlin::platform {
namespace {

OsString os(std::string_view text) { return from_utf8(text); }

TEST(WindowsCommandLine, QuotesForTheCRuntime) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string line;  // after the quoted program "p"
  };
  const Case cases[] = {
      {"no arguments", {}, ""},
      {"plain words stay as they are", {"--pipe", "\\\\.\\pipe\\x"}, R"( --pipe \\.\pipe\x)"},
      {"empty argument", {""}, R"( "")"},
      {"blank", {"a b"}, R"( "a b")"},
      {"tab, line feed and vertical tab", {"a\tb", "c\nd", "e\vf"}, " \"a\tb\" \"c\nd\" \"e\vf\""},
      {"quotation mark", {R"(a"b)"}, R"( "a\"b")"},
      {"backslashes before a quotation mark are doubled", {R"(a\\"b)"}, R"( "a\\\\\"b")"},
      {"backslashes elsewhere are kept", {R"(a\\b c)"}, R"( "a\\b c")"},
      {"trailing backslash of a quoted argument is doubled",
       {R"(C:\Program Files\)"},
       R"( "C:\Program Files\\")"},
      {"trailing backslash of a plain argument is kept", {R"(C:\dir\)"}, R"( C:\dir\)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<OsString> arguments;
    for (const auto& argument : c.arguments) arguments.push_back(os(argument));
    EXPECT_EQ(windows_command_line(os("p"), arguments), os("\"p\"" + c.line));
  }
}

TEST(WindowsCommandLine, ProgramIsQuotedWithoutEscapes) {
  // Argument 0 is split at the next quotation mark; its backslashes are never escapes.
  EXPECT_EQ(windows_command_line(os(R"(C:\Program Files\helper.exe)"), {}),
            os(R"("C:\Program Files\helper.exe")"));
}

TEST(WindowsCommandLine, RefusesWhatCannotBePassed) {
  struct Case {
    const char* name;
    OsString program;
    std::vector<OsString> arguments;
  };
  const Case cases[] = {
      {"quotation mark in the program", os("a\"b.exe"), {}},
      {"zero in the program", OsString(1, OsChar{0}), {}},
      {"zero in an argument", os("p"), {os("ok"), OsString{OsChar{'a'}, OsChar{0}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(windows_command_line(c.program, c.arguments), std::nullopt);
  }
}

}  // namespace
}  // namespace ketterlin::platform
