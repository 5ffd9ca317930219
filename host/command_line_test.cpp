#include "host/command_line.h"

#include <gtest/gtest.h>

namespace ketterlin::host {
namespace {

std::vector<platform::OsString> words(const std::vector<std::string>& texts) {
  std::vector<platform::OsString> result;
  for (const std::string& text : texts) result.push_back(platform::from_utf8(text));
  return result;
}

TEST(CommandLineTest, ParsesOptionsInAnyPlace) {
  auto options = parse_command_line(
      words({"--depth", "4", "/data", "--top", "3", "--apparent", "--json", "out.json", "--ncdu",
             "-", "--quiet", "--no-color", "--elevate", "--helper", "/h", "--html", "map.html"}));
  ASSERT_TRUE(options.has_value()) << to_string(options.error());
  EXPECT_EQ(options->action, CommandOptions::Action::Scan);
  EXPECT_FALSE(options->top_up);
  EXPECT_EQ(options->paths, words({"/data"}));
  EXPECT_EQ(options->depth, 4u);
  EXPECT_EQ(options->top, 3u);
  EXPECT_TRUE(options->apparent && options->quiet && options->no_color && options->elevate);
  EXPECT_EQ(options->json_path, platform::from_utf8("out.json"));
  EXPECT_EQ(options->ncdu_path, platform::from_utf8("-"));
  EXPECT_EQ(options->helper_path, platform::from_utf8("/h"));
  EXPECT_EQ(options->html_path, platform::from_utf8("map.html"));

  auto defaults = parse_command_line(words({"."}));
  ASSERT_TRUE(defaults.has_value());
  EXPECT_EQ(defaults->depth, 2u);
  EXPECT_EQ(defaults->top, 10u);
  EXPECT_FALSE(defaults->json_path || defaults->ncdu_path || defaults->helper_path ||
               defaults->html_path);

  auto top_up = parse_command_line(words({"--top-up", "/r", "/r/a", "--", "--odd-name"}));
  ASSERT_TRUE(top_up.has_value());
  EXPECT_TRUE(top_up->top_up);
  EXPECT_EQ(top_up->paths, words({"/r", "/r/a", "--odd-name"}));

  EXPECT_EQ(parse_command_line(words({"/x", "--help", "--bogus"}))->action,
            CommandOptions::Action::Help);
  EXPECT_EQ(parse_command_line(words({"--version"}))->action, CommandOptions::Action::Version);
}

TEST(CommandLineTest, RefusesWhatItCannotRun) {
  using Kind = UsageError::Kind;
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    UsageError error;
    const char* text;
  };
  const std::vector<Row> rows = {
      {"nothing", {}, {Kind::MissingPath, ""}, "no path to scan"},
      {"unknown option",
       {"--fast", "/x"},
       {Kind::UnknownOption, "--fast"},
       "unknown option --fast"},
      {"value missing",
       {"/x", "--json"},
       {Kind::MissingValue, "--json"},
       "option --json needs a value"},
      {"not a number",
       {"/x", "--depth", "two"},
       {Kind::InvalidNumber, "--depth"},
       "option --depth needs a whole number from 0 to 1000000"},
      {"negative number",
       {"/x", "--top", "-1"},
       {Kind::InvalidNumber, "--top"},
       "option --top needs a whole number from 0 to 1000000"},
      {"two paths",
       {"/x", "/y"},
       {Kind::TooManyPaths, ""},
       "only one path can be scanned as a full root (use --top-up ROOT TARGET...)"},
      {"top-up without target",
       {"--top-up", "/r"},
       {Kind::MissingTopUpTarget, ""},
       "--top-up needs a root and at least one target"},
      {"top-up without anything",
       {"--top-up"},
       {Kind::MissingTopUpTarget, ""},
       "--top-up needs a root and at least one target"},
      {"both exports on standard output",
       {"/x", "--json", "-", "--ncdu", "-"},
       {Kind::BothOnStandardOutput, ""},
       "--json - and --ncdu - cannot both write to standard output"},
      {"page on standard output",
       {"/x", "--html", "-"},
       {Kind::HtmlOnStandardOutput, ""},
       "--html needs a file name; it cannot write to standard output"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto options = parse_command_line(words(row.arguments));
    ASSERT_FALSE(options.has_value());
    EXPECT_EQ(options.error(), row.error);
    EXPECT_EQ(to_string(options.error()), row.text);
  }
}

}  // namespace
}  // namespace ketterlin::host
