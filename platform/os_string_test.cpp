#include "platform/os_string.h"

#include <gtest/gtest.h>

#include "platform/os_error.h"

namespace ketterlin::platform {
namespace {

// An OS string that is not valid Unicode: a stray byte on POSIX, a lone surrogate on Windows.
OsString not_unicode() {
  const auto bad = static_cast<OsChar>(sizeof(OsChar) == 1 ? 0xFF : 0xD800);
  return OsString{OsChar('a'), bad, OsChar('b')};
}

TEST(OsString, ConvertsValidTextLosslessly) {
  const std::string text = "C:\\Users\\\xC3\x84rger \xF0\x9F\x98\x80";
  const OsString os = from_utf8(text);
  EXPECT_EQ(to_utf8(os), text);
  EXPECT_EQ(to_utf8_lossy(os), text);
}

TEST(OsString, KeepsTextThatIsNotUnicodeAndConvertsItOnlyLossily) {
  const OsString os = not_unicode();
  EXPECT_EQ(os.size(), 3u);
  EXPECT_EQ(to_utf8(os), std::nullopt);
  EXPECT_EQ(to_utf8_lossy(os), "a\xEF\xBF\xBD" "b");
}

TEST(OsString, JoinsWithOneSeparator) {
  const OsString sep(1, kPathSeparator);
  EXPECT_EQ(join_path(from_utf8("dir"), from_utf8("name")), from_utf8("dir") + sep + from_utf8("name"));
  EXPECT_EQ(join_path(from_utf8("dir") + sep, from_utf8("name")),
            from_utf8("dir") + sep + from_utf8("name"));
  EXPECT_EQ(join_path(OsString(), from_utf8("name")), from_utf8("name"));
}

TEST(OsError, TextEndsWithTheCode) {
  const std::string text = to_string(OsError{2});
  const std::string suffix = " (os error 2)";
  ASSERT_GT(text.size(), suffix.size());
  EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
  EXPECT_EQ(text.substr(0, text.size() - suffix.size()), os_error_description(OsError{2}));
}

}  // namespace
}  // namespace ketterlin::platform
