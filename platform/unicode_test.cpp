#include "platform/unicode.h"

#include <gtest/gtest.h>

namespace ketterlin::platform {
namespace {

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
  std::string lossy;
  std::size_t utf16_units;
};

TEST(Utf8, ValidationLossyFormAndUtf16Length) {
  const Utf8Case cases[] = {
      {"empty", "", true, "", 0},
      {"ascii", "C:\\Users", true, "C:\\Users", 8},
      {"two-byte", "\xC3\x84", true, "\xC3\x84", 1},
      {"four-byte", "\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80", 2},
      {"lone continuation", "a\x80z", false, "a\xEF\xBF\xBDz", 3},
      {"truncated", "a\xE2\x82", false, "a\xEF\xBF\xBD", 2},
      {"overlong slash", "\xC0\xAF", false, "\xEF\xBF\xBD\xEF\xBF\xBD", 2},
      {"encoded surrogate", "\xED\xA0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", 3},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false,
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", 4},
      {"byte 0xFF", "\xFF", false, "\xEF\xBF\xBD", 1},
      // Long ASCII runs are checked a word at a time: faults at and beyond the word boundaries.
      {"ascii words", "0123456789abcdefXYZ", true, "0123456789abcdefXYZ", 19},
      {"fault in the first word", "0123456\x80zabcdefg", false, "0123456\xEF\xBF\xBDzabcdefg", 16},
      {"fault opens the second word", "01234567\xFFzabcdef", false, "01234567\xEF\xBF\xBDzabcdef",
       16},
      {"character across the word boundary", "0123456\xC3\x84zabcdefg", true,
       "0123456\xC3\x84zabcdefg", 16},
      {"truncated after two words", "0123456789abcdef\xE2\x82", false,
       "0123456789abcdef\xEF\xBF\xBD", 17},
      {"fault in the short tail", "0123456789abcdefxy\xC0\xAF", false,
       "0123456789abcdefxy\xEF\xBF\xBD\xEF\xBF\xBD", 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
    EXPECT_EQ(utf8_lossy(c.bytes), c.lossy);
    EXPECT_EQ(utf16_length(c.bytes), c.utf16_units);
    EXPECT_EQ(utf8_to_utf16(c.bytes).size(), c.utf16_units);
  }
}

TEST(Utf16, StrictFailsOnUnpairedSurrogatesLossyReplacesThem) {
  struct Case {
    const char* name;
    std::u16string units;
    std::optional<std::string> strict;
    std::string lossy;
  };
  const Case cases[] = {
      {"ascii", u"abc", "abc", "abc"},
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"lone high", std::u16string{u'a', 0xD800, u'b'}, std::nullopt,
       "a\xEF\xBF\xBD"
       "b"},
      {"lone low", std::u16string{0xDC00}, std::nullopt, "\xEF\xBF\xBD"},
      {"reversed pair", std::u16string{0xDC00, 0xD800}, std::nullopt, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"high at end", std::u16string{u'x', 0xDBFF}, std::nullopt, "x\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(utf16_to_utf8(c.units), c.strict);
    EXPECT_EQ(utf16_to_utf8_lossy(c.units), c.lossy);
  }
}

TEST(Utf16, RoundTripsEveryValidText) {
  const std::string text = "C:\\\xC3\x84\xC3\x96\\\xE6\x97\xA5\\\xF0\x9F\x98\x80.txt";
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(text)), text);
}

TEST(LowerCase, FullUnicodeMapping) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"ascii", "C:\\Windows", "c:\\windows"},
      {"umlauts", "C:\\\xC3\x84\xC3\x96", "c:\\\xC3\xA4\xC3\xB6"},
      {"dotted capital I gives two code points", "\xC4\xB0", "i\xCC\x87"},
      {"final sigma", "\xCE\x9F\xCE\xA3", "\xCE\xBF\xCF\x82"},
      {"sigma inside a word", "\xCE\xA3\xCE\x9F", "\xCF\x83\xCE\xBF"},
      {"ill-formed byte", "A\xFF", "a\xEF\xBF\xBD"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_lower_full(c.in), c.out);
  }
}

}  // namespace
}  // namespace ketterlin::platform
