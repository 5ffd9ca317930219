#include "host/format.h"

#include <gtest/gtest.h>

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
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string shortened = shorten_middle(row.text, row.width, row.ellipsis);
    EXPECT_EQ(shortened, row.expected);
    EXPECT_LE(text_width(shortened), row.width);
  }
}

TEST(FormatTest, ProgressLineFitsItsWidthAndEndsWithThePath) {
  ProgressEvent progress;
  progress.current_path = "/home/user/a/very/long/path/to/some/deeply/nested/folder/file.bin";
  progress.files_discovered = 12345;
  progress.folders_discovered = 678;
  progress.bytes_measured = 1610612736;
  progress.inaccessible_item_count = 3;
  progress.elapsed_millis = 5000;
  const std::string wide = progress_line(progress, 200);
  EXPECT_EQ(wide, "12,345 files, 678 folders, 1.5 GiB, 3 inaccessible, 5.0 s (2,469 files/s)  " +
                      std::string(progress.current_path));
  for (const std::size_t width : {100u, 90u, 80u, 40u, 10u}) {
    SCOPED_TRACE(width);
    const std::string line = progress_line(progress, width);
    EXPECT_LE(text_width(line), width);
    EXPECT_EQ(line.substr(0, 6), "12,345");
  }
  EXPECT_NE(progress_line(progress, 100).find("..."), std::string::npos);
  EXPECT_EQ(progress_line(progress, 100).substr(progress_line(progress, 100).size() - 8),
            "file.bin");
  // Nothing inaccessible and under a second: neither figure is shown.
  progress.inaccessible_item_count = 0;
  progress.elapsed_millis = 500;
  EXPECT_EQ(progress_line(progress, 60).find("inaccessible"), std::string::npos);
  EXPECT_EQ(progress_line(progress, 60).find("files/s"), std::string::npos);
}

}  // namespace
}  // namespace ketterlin::host
