#include "host/cli/command_line.h"

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

  auto browse = parse_command_line(words({"--browse", "--allow-delete", "--load", "scan.json"}));
  ASSERT_TRUE(browse.has_value()) << to_string(browse.error());
  EXPECT_TRUE(browse->browse && browse->allow_delete);
  EXPECT_EQ(browse->load_path, platform::from_utf8("scan.json"));
  EXPECT_TRUE(browse->paths.empty());

  EXPECT_EQ(parse_command_line(words({"/x", "--help", "--bogus"}))->action,
            CommandOptions::Action::Help);
  EXPECT_EQ(parse_command_line(words({"--version"}))->action, CommandOptions::Action::Version);
  EXPECT_EQ(parse_command_line(words({"-V"}))->action, CommandOptions::Action::Version);
}

TEST(CommandLineTest, TakesValuesInEveryForm) {
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    unsigned depth;
    unsigned top;
    std::optional<std::string> json;
    std::vector<std::string> paths;
  };
  const std::vector<Row> rows = {
      {"no path is the current folder", {}, 2, 10, std::nullopt, {"."}},
      {"long with equals", {"--depth=5", "--top=0", "/p"}, 5, 0, std::nullopt, {"/p"}},
      {"short, separate", {"-d", "7", "/p"}, 7, 10, std::nullopt, {"/p"}},
      {"short, attached", {"-d3", "/p"}, 3, 10, std::nullopt, {"/p"}},
      {"short with equals", {"-d=4"}, 4, 10, std::nullopt, {"."}},
      {"text value with equals kept whole", {"--json=a=b.json"}, 2, 10, "a=b.json", {"."}},
      {"empty value after equals", {"--json=", "/p"}, 2, 10, "", {"/p"}},
      {"--top-up is not --top", {"--top-up", "/r", "t"}, 2, 10, std::nullopt, {"/r", "t"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto options = parse_command_line(words(row.arguments));
    ASSERT_TRUE(options.has_value()) << to_string(options.error());
    EXPECT_EQ(options->depth, row.depth);
    EXPECT_EQ(options->top, row.top);
    EXPECT_EQ(options->json_path,
              row.json ? std::optional(platform::from_utf8(*row.json)) : std::nullopt);
    EXPECT_EQ(options->paths, words(row.paths));
  }
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
      {"flag given a value",
       {"--quiet=yes", "/x"},
       {Kind::UnexpectedValue, "--quiet"},
       "option --quiet takes no value"},
      {"short form without value", {"-d"}, {Kind::MissingValue, "-d"}, "option -d needs a value"},
      {"short form, bad number",
       {"-dx"},
       {Kind::InvalidNumber, "-d"},
       "option -d needs a whole number from 0 to 1000000"},
      {"long form, bad number after equals",
       {"--top=many"},
       {Kind::InvalidNumber, "--top"},
       "option --top needs a whole number from 0 to 1000000"},
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
      {"load without browse",
       {"--load", "scan.json"},
       {Kind::NeedsBrowse, "--load"},
       "option --load needs --browse"},
      {"allow-delete without browse",
       {"/x", "--allow-delete"},
       {Kind::NeedsBrowse, "--allow-delete"},
       "option --allow-delete needs --browse"},
      {"load and a path",
       {"--browse", "--load", "scan.json", "/x"},
       {Kind::LoadWithScan, ""},
       "--load opens a saved document: no path to scan and no --top-up with it"},
      {"browse and an export on standard output",
       {"--browse", "/x", "--json", "-"},
       {Kind::BrowseAndStdout, ""},
       "--browse uses the terminal: --json and --ncdu need a file, not -"},
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
  EXPECT_EQ(usage_error_text({Kind::UnknownOption, "--fast"}),
            "ketterlin-scan: unknown option --fast\ntry 'ketterlin-scan --help'\n");
}

}  // namespace
}  // namespace ketterlin::host
