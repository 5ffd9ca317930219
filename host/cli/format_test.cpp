#include "host/cli/format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace ketterlin::host {
namespace {

TEST(FormatTest, HumanSizes) {
  struct Row {
    uint64_t bytes;
    const char* text;
  };
  const std::vector<Row> rows = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {1024 * 1024 - 52, "1023.9 KiB"},
      {1024 * 1024 - 51, "1.0 MiB"},  // 1023.95 KiB rounds up to the next unit
      {1610612736, "1.5 GiB"},
      {uint64_t{5} << 40, "5.0 TiB"},
      {std::numeric_limits<uint64_t>::max(), "16.0 EiB"},
  };
  for (const Row& row : rows) EXPECT_EQ(human_size(row.bytes), row.text) << row.bytes;
}

TEST(FormatTest, DigitsAndDurations) {
  EXPECT_EQ(group_digits(0), "0");
  EXPECT_EQ(group_digits(999), "999");
  EXPECT_EQ(group_digits(1000), "1,000");
  EXPECT_EQ(group_digits(12345678), "12,345,678");
  EXPECT_EQ(group_digits(std::numeric_limits<uint64_t>::max()), "18,446,744,073,709,551,615");
  EXPECT_EQ(human_duration(0), "0.0 s");
  EXPECT_EQ(human_duration(449), "0.4 s");
  EXPECT_EQ(human_duration(59'949), "59.9 s");
  EXPECT_EQ(human_duration(65'000), "1:05");
  EXPECT_EQ(human_duration(3'725'000), "1:02:05");
}

TEST(FormatTest, ShortensInTheMiddleBetweenCharacters) {
  struct Row {
    const char* name;
    std::string text;
    std::size_t width;
    std::string ellipsis;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"fits", "/home/user", 10, "...", "/home/user"},
      {"cut ascii", "/home/user/documents/file.txt", 15, "...", "/home/...le.txt"},
      {"cut with one-character ellipsis", "abcdefghij", 5, "…", "ab…ij"},
      {"multibyte characters kept whole", "äöüßäöüß", 5, "...", "ä...ß"},
      {"width of the ellipsis only", "abcdefgh", 3, "...", "..."},
      {"narrower than the ellipsis", "abcdefgh", 2, "...", ".."},
      {"zero width", "abc", 0, "...", ""},
      {"wide characters take two columns", "日本語のフォルダ", 7, "…", "日…ルダ"},
      {"a wide character that would straddle the limit is left out", "日本語", 4, "…", "日…"},
      {"combining marks stay with their letter", "e\u0301e\u0301e\u0301e\u0301", 3, "…",
       "e\u0301…e\u0301"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string shortened = shorten_middle(row.text, row.width, row.ellipsis);
    EXPECT_EQ(shortened, row.expected);
    EXPECT_LE(text_width(shortened), row.width);
  }
}

TEST(FormatTest, TextWidthCountsTerminalColumns) {
  struct Row {
    const char* text;
    std::size_t columns;
  };
  const std::vector<Row> rows = {
      {"", 0},
      {"plain", 5},
      {"\u00e4\u00f6\u00fc", 3},
      {"e\u0301", 1},           // a combining acute accent takes no column
      {"a\u200bb", 2},          // nor does a zero-width space
      {"\u65e5\u672c", 4},      // CJK ideographs are wide
      {"\uff21", 2},            // a fullwidth Latin letter
      {"\xf0\x9f\x93\x81", 2},  // an emoji
      {"\xff", 1},              // a stray byte shows as one replacement character
  };
  for (const Row& row : rows) EXPECT_EQ(text_width(row.text), row.columns) << row.text;
}

TEST(FormatTest, PrintableEscapesEveryControlCharacter) {
  struct Row {
    std::string text;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"plain name.txt", "plain name.txt"},
      {"new\nline", "new\\nline"},
      {"tab\there\r", "tab\\there\\r"},
      {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
      {std::string("nul\0byte", 8), "nul\\x00byte"},
      {"del\x7f", "del\\x7f"},
      {"next line\u0085", "next line\\u0085"},
      {"back\\slash \"quoted\" \u65e5\u00a0", "back\\slash \"quoted\" \u65e5\u00a0"},
  };
  for (const Row& row : rows) EXPECT_EQ(printable(row.text), row.expected) << row.text;
}

TEST(FormatTest, ProgressLineFitsItsWidthAndEndsWithThePath) {
  elevation::DecodedProgress progress;
  progress.current_path = "/home/user/a/very/long/path/to/some/deeply/nested/folder/file.bin";
  progress.files_discovered = 12345;
  progress.folders_discovered = 678;
  progress.bytes_measured = 1610612736;
  progress.inaccessible_item_count = 3;
  progress.elapsed_millis = 5000;
  const std::string wide = progress_line(progress, 200);
  EXPECT_EQ(wide, "12,345 names, 678 folders, 1.5 GiB, 3 restricted, 5.0 s (2,469/s)  " +
                      std::string(progress.current_path));
  for (const std::size_t width : {100u, 90u, 80u, 40u, 10u}) {
    SCOPED_TRACE(width);
    const std::string line = progress_line(progress, width);
    EXPECT_LE(text_width(line), width);
    EXPECT_EQ(line.substr(0, 13),
              std::string("12,345 names,").substr(0, std::min<std::size_t>(width, 13)));
  }
  EXPECT_NE(progress_line(progress, 100).find("..."), std::string::npos);
  EXPECT_EQ(progress_line(progress, 100).substr(progress_line(progress, 100).size() - 8),
            "file.bin");
  // A path's control characters never reach the terminal; wide characters count twice.
  progress.current_path = "/data/\x1b[2Jcleared/\u65e5\u672c\u8a9e/\u30d5\u30a1\u30a4\u30eb\nname";
  for (const std::size_t width : {200u, 90u, 85u, 80u}) {
    SCOPED_TRACE(width);
    const std::string line = progress_line(progress, width);
    EXPECT_LE(text_width(line), width);
    EXPECT_TRUE(std::none_of(line.begin(), line.end(),
                             [](char byte) { return static_cast<unsigned char>(byte) < 0x20; }));
  }
  EXPECT_NE(progress_line(progress, 200).find("\\x1b[2Jcleared"), std::string::npos);
  // Nothing inaccessible and under a second: neither figure is shown.
  progress.inaccessible_item_count = 0;
  progress.elapsed_millis = 500;
  EXPECT_EQ(progress_line(progress, 60).find("restricted"), std::string::npos);
  EXPECT_EQ(progress_line(progress, 60).find("/s"), std::string::npos);
  progress.files_discovered = 1;
  progress.folders_discovered = 1;
  EXPECT_EQ(progress_line(progress, 60).substr(0, 18), "1 name, 1 folder, ");
}

TEST(FormatTest, CountsTakeTheNounTheyNeed) {
  EXPECT_EQ(count_of(0, "file", "files"), "0 files");
  EXPECT_EQ(count_of(1, "file", "files"), "1 file");
  EXPECT_EQ(count_of(2, "file", "files"), "2 files");
  EXPECT_EQ(count_of(1001, "folder", "folders"), "1,001 folders");
}

}  // namespace
}  // namespace ketterlin::host
