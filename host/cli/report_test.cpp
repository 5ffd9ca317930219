#include "host/cli/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "host/cli/format.h"
#include "host/session/test_trees.h"

namespace ketterlin::host {
namespace {

using testing::sample_result;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The sample's sizes on disk: docs/same is the hard-link group's primary ("\v\docs\same" is
// less than "\v\media\big.bin"), so docs holds 1 MiB + 8 KiB and media 0; with top.txt the
// listed total is 1 MiB + 12 KiB.
constexpr uint64_t kListed = (1 << 20) + 3 * 4096;

TEST(ReportTest, ShowsTotalsAndTheLargestEntriesAsATree) {
  const ScanResult result = sample_result(kListed + 2 * (1 << 20));  // 2 MiB unexplained
  ReportOptions options;
  const std::vector<std::string> lines = lines_of(render_report(result, options));
  const std::vector<std::string> expected = {
      "Scanned /v in 1.5 s",
      "",
      "/v",
      "  size on disk 1.0 MiB, logical size 1.0 MiB, folders' and links' own blocks not "
      "counted, file system other",
      "  5 files, 2 folders, 1 link, 1 restricted, 1 hard-linked file counted once",
      "  Unknown Space 2.0 MiB (used on the volume 3.0 MiB, not explained by the listed files: "
      "folders' own blocks, file-system metadata, what this user cannot read)",
      "",
      "   3.0 MiB 100% ####################  /v",
      "   2.0 MiB  66% #############.......  |-- Unknown Space",
      "   1.0 MiB  33% ######..............  |-- docs",
      "   1.0 MiB  99% ###################.  |   |-- same [hard link, 2 names]",
      "   4.0 KiB   0% ....................  |   |-- notes.txt",
      "   4.0 KiB   0% ....................  |   `-- report.pdf",
      "   4.0 KiB   0% ....................  |-- top.txt",
      "       0 B   0% ....................  |-- link -> docs",
      "       0 B   0% ....................  |-- media",
      "       0 B   0% ....................  |   `-- big.bin [hard link, 2 names, counted "
      "elsewhere]",
      "       0 B   0% ....................  `-- secret [restricted]",
      "",
      "run with --elevate to measure what this user cannot read",
  };
  EXPECT_EQ(lines, expected);
}

TEST(ReportTest, DepthTopAndApparentSizesShapeTheListing) {
  const ScanResult result = sample_result(0);  // no Unknown Space
  struct Row {
    const char* name;
    ReportOptions options;
    std::vector<std::string> tree_lines;  // the lines after the totals
  };
  ReportOptions top_two;
  top_two.elevate_hint = false;
  top_two.depth = 1;
  top_two.top = 2;
  ReportOptions root_only;
  root_only.elevate_hint = false;
  root_only.depth = 0;
  ReportOptions apparent;
  apparent.elevate_hint = false;
  apparent.depth = 1;
  apparent.apparent = true;
  const std::vector<Row> rows = {
      {"two largest and the rest summed",
       top_two,
       {"   1.0 MiB 100% ####################  /v",
        "   1.0 MiB 100% ###################.  |-- docs",
        "   4.0 KiB   0% ....................  |-- top.txt",
        "       0 B   0% ....................  `-- (3 more entries)"}},
      {"root only", root_only, {"   1.0 MiB 100% ####################  /v"}},
      {"logical sizes",
       apparent,
       {"   1.0 MiB 100% ####################  /v",
        "   1.0 MiB 100% ###################.  |-- docs",
        "     100 B   0% ....................  |-- top.txt",
        "       0 B   0% ....................  |-- link -> docs",
        "       0 B   0% ....................  |-- media",
        "       0 B   0% ....................  `-- secret [restricted]"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> lines = lines_of(render_report(result, row.options));
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 6, lines.end()), row.tree_lines);
  }
}

TEST(ReportTest, ColoursAndUnicodeOnlyWhenAsked) {
  const ScanResult result = sample_result(0);
  ReportOptions plain;
  const std::string ascii = render_report(result, plain);
  EXPECT_EQ(ascii.find("\x1b["), std::string::npos);
  for (const unsigned char byte : ascii) EXPECT_LT(byte, 0x80);
  ReportOptions fancy;
  fancy.color = true;
  fancy.unicode = true;
  const std::string terminal = render_report(result, fancy);
  EXPECT_NE(terminal.find("\x1b[1;34mmedia\x1b[0m"), std::string::npos);
  EXPECT_NE(terminal.find("└── "), std::string::npos);
  EXPECT_NE(terminal.find("█"), std::string::npos);
}

TEST(ReportTest, FitsEveryLineToTheWidth) {
  ScanResult result = sample_result(kListed + 2 * (1 << 20));
  result.root = "/v";
  std::vector<elevation::DecodedNode> nodes = testing::sample_nodes();
  const std::string long_name = "/v/" + std::string(200, 'n') + ".txt";
  nodes.push_back(testing::node(10, 0, long_name, NodeRecordKind::File, 1, 1 << 30));
  // elevation::DecodedNode views its path: the texts must outlive the nodes.
  const std::string deep_folder = "/v/docs/" + std::string(90, 'd');
  const std::string deep_file = deep_folder + "/" + std::string(90, 'e') + ".bin";
  nodes.push_back(testing::node(11, 1, deep_folder, NodeRecordKind::Folder));
  nodes.push_back(testing::node(12, 11, deep_file, NodeRecordKind::File, 5, 8192, 99));
  result.reports[0].tree = testing::build_tree(nodes);
  result.file_system_names = {"a-file-system-with-a-long-name"};
  struct Row {
    std::size_t width;
    std::size_t bar;  // the root line's bar cells
  };
  for (const Row row : {Row{200, 20}, Row{100, 15}, Row{80, 10}, Row{60, 5}, Row{40, 5}}) {
    SCOPED_TRACE(row.width);
    for (const bool unicode : {false, true}) {
      ReportOptions options;
      options.width = row.width;
      options.unicode = unicode;
      options.depth = 3;
      const std::vector<std::string> lines = lines_of(render_report(result, options));
      for (const std::string& line : lines) EXPECT_LT(text_width(line), row.width) << line;
      const auto name_line = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("nnnn") != std::string::npos;
      });
      ASSERT_NE(name_line, lines.end());
      EXPECT_EQ(name_line->substr(name_line->size() - 4), ".txt");
      const auto root_line = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(" 100% ") != std::string::npos;
      });
      ASSERT_NE(root_line, lines.end());
      EXPECT_EQ(text_width(*root_line), 16 + row.bar + 4) << *root_line;
    }
  }
}

TEST(ReportTest, UnknownSpaceSaysHowMuchOfItFoldersTake) {
  ScanResult result = sample_result(kListed + 2 * (1 << 20));
  result.folder_bytes = {uint64_t{12288}};
  EXPECT_NE(render_report(result, ReportOptions{})
                .find("not explained by the listed files: folders' own blocks 12.0 KiB of it, "
                      "file-system metadata, what this user cannot read)\n"),
            std::string::npos);
}

TEST(ReportTest, NamesTheFileSystemAndMarksWhatWasNotMeasured) {
  ScanResult result = sample_result(0);
  result.reports[0].file_system = storage::FileSystemKind::Other;
  result.file_system_names = {"ext4"};
  std::vector<elevation::DecodedNode> nodes = testing::sample_nodes();
  nodes.push_back(testing::node(10, 1, "/v/docs/unseen", NodeRecordKind::File));
  nodes.back().modified_at_epoch_seconds = 0;
  nodes.push_back(testing::node(11, 1, "/v/docs/empty", NodeRecordKind::File, 0, 0, 98));
  result.reports[0].tree = testing::build_tree(nodes);
  ReportOptions options;
  const std::string text = render_report(result, options);
  EXPECT_NE(text.find(", file system ext4\n"), std::string::npos) << text;
  EXPECT_NE(text.find("-- unseen [!] not measured\n"), std::string::npos) << text;
  // An empty file that could be read is not marked.
  EXPECT_NE(text.find("-- empty\n"), std::string::npos) << text;
  EXPECT_NE(text.find(", 1 restricted, 1 not measured,"), std::string::npos) << text;
  EXPECT_EQ(result.reports[0].tree->counts().unmeasured, 1u);
  EXPECT_EQ(text.substr(text.size() - 58),
            "\nrun with --elevate to measure what this user cannot read\n");
  options.elevate_hint = false;
  EXPECT_EQ(render_report(result, options).find("--elevate"), std::string::npos);
  result.file_system_names.clear();
  EXPECT_NE(render_report(result, options).find(", file system other\n"), std::string::npos);
}

TEST(ReportTest, NamesKeepToOneLineAndTheirColumns) {
  ScanResult result = sample_result(0);
  std::vector<elevation::DecodedNode> nodes = testing::sample_nodes();
  // A name that would end its line and clear the screen, a link whose target would ring the
  // bell, and a name of wide characters longer than the line.
  nodes.push_back(
      testing::node(10, 0, "/v/evil\n\x1b[2J", NodeRecordKind::File, 1, uint64_t{3} << 30));
  elevation::DecodedNode link = testing::node(11, 0, "/v/bell", NodeRecordKind::SymbolicLink);
  link.link_target = "\x07target";
  nodes.push_back(link);
  std::string wide_name = "/v/";
  for (int i = 0; i < 60; ++i) wide_name += "\u65e5";
  nodes.push_back(testing::node(12, 0, wide_name, NodeRecordKind::File, 1, uint64_t{2} << 30));
  result.reports[0].tree = testing::build_tree(nodes);
  ReportOptions options;
  options.width = 120;
  options.depth = 1;
  const std::vector<std::string> lines = lines_of(render_report(result, options));
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ(lines[7], "   3.0 GiB  60% ###########.........  |-- evil\\n\\x1b[2J");
  // Cut to one column below the width.
  EXPECT_EQ(text_width(lines[8]), 119u) << lines[8];
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "       0 B   0% ....................  |-- bell -> \\x07target"),
            lines.end());
}

TEST(ReportTest, ShowsUnavailableTargetsOfATopUp) {
  ScanResult result = sample_result(0);
  result.mode = elevation::ElevatedScanMode::RestrictedTopUp;
  result.root = "/";
  result.targets = {"/v", "/missing"};
  result.volume.reset();
  result.reports.push_back(
      TargetReport{TargetReport::State::Unavailable, std::nullopt, std::nullopt, std::nullopt});
  result.target_problems = {std::nullopt, "does not exist"};
  ReportOptions options;
  options.elevate_hint = false;
  const std::vector<std::string> lines = lines_of(render_report(result, options));
  EXPECT_EQ(lines.front(), "Topped up 2 targets below / in 1.5 s");
  EXPECT_EQ(lines.back(), "/missing: unavailable, does not exist");
  result.target_problems.clear();
  EXPECT_EQ(lines_of(render_report(result, options)).back(), "/missing: unavailable");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "/v"), 1);
}

TEST(ReportTest, ShowsVerbatimWindowsRootsInTheirFamiliarForm) {
  EXPECT_EQ(display_root("\\\\?\\C:\\Users"), "C:\\Users");
  EXPECT_EQ(display_root("\\\\?\\UNC\\server\\share"), "\\\\?\\UNC\\server\\share");
  EXPECT_EQ(display_root("/home/user"), "/home/user");
}

}  // namespace
}  // namespace ketterlin::host
