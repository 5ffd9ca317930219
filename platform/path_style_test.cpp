#include "platform/path_style.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace ketterlin::platform {
namespace {

TEST(PathStyle, AppendsANameByTheJoinRule) {
  struct Row {
    const char* name;
    PathStyle style;
    std::string_view path;
    std::string_view child;
    std::string_view joined;
  };
  const Row rows[] = {
      {"posix folder", PathStyle::Posix, "/data", "a", "/data/a"},
      {"posix root", PathStyle::Posix, "/", "etc", "/etc"},
      {"posix empty path", PathStyle::Posix, "", "a", "a"},
      {"posix backslash is a name character", PathStyle::Posix, "/d\\", "a", "/d\\/a"},
      {"posix empty name leaves a final separator", PathStyle::Posix, "/data", "", "/data/"},
      {"windows folder", PathStyle::Windows, "C:\\Users", "a.txt", "C:\\Users\\a.txt"},
      {"windows verbatim drive root", PathStyle::Windows, "\\\\?\\C:\\", "Users",
       "\\\\?\\C:\\Users"},
      {"windows path ending in slash", PathStyle::Windows, "C:/", "x", "C:/x"},
      {"windows mixed separators", PathStyle::Windows, "C:/a", "b", "C:/a\\b"},
      {"windows empty path", PathStyle::Windows, "", "x", "x"},
      {"windows empty name leaves a final separator", PathStyle::Windows, "C:\\a", "", "C:\\a\\"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string joined(row.path);
    append_path(joined, row.child, row.style);
    EXPECT_EQ(joined, row.joined);
    // The same rule over UTF-16 code units, as Windows paths hold them.
    std::u16string wide(row.path.begin(), row.path.end());
    append_path(wide, std::u16string(row.child.begin(), row.child.end()), row.style);
    EXPECT_EQ(wide, std::u16string(row.joined.begin(), row.joined.end()));
  }
}

}  // namespace
}  // namespace ketterlin::platform
