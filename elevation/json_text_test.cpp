#include "elevation/json_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ketterlin::elevation {
namespace {

TEST(AppendJsonU64, WritesPlainDecimal) {
  const std::vector<std::pair<uint64_t, std::string>> cases = {
      {0, "0"},
      {7, "7"},
      {10, "10"},
      {4294967296, "4294967296"},
      {18446744073709551615u, "18446744073709551615"},
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(expected);
    std::string out = "x";
    append_json_u64(out, value);
    EXPECT_EQ(out, "x" + expected);
  }
}

struct StringCase {
  std::string name;
  std::string text;
  std::string expected;
};

TEST(AppendJsonString, EscapesExactlyTheRequiredCharacters) {
  const std::vector<StringCase> cases = {
      {"empty", "", R"("")"},
      {"plain", "C:/Users", R"("C:/Users")"},
      {"quotation mark", "a\"b", R"("a\"b")"},
      {"backslash", "C:\\Users", R"("C:\\Users")"},
      {"short escapes", "\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"other controls in lower-case hex", std::string("\x00\x01\x0b\x1a\x1f", 5),
       R"("\u0000\u0001\u000b\u001a\u001f")"},
      {"delete and solidus as themselves", "\x7f/", "\"\x7f/\""},
      {"non-ASCII as itself", "d\xc3\xa9j\xc3\xa0 \xe6\x97\xa5",
       "\"d\xc3\xa9j\xc3\xa0 \xe6\x97\xa5\""},
      {"escape at both ends", "\"x\"", R"("\"x\"")"},
  };
  for (const StringCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    append_json_string(out, c.text);
    EXPECT_EQ(out, c.expected);
  }
}

// Plain runs are skipped sixteen and eight bytes at a time: an escape (or two side by side) at
// every place of a text longer than two blocks, bytes above 0x7F around it, must come out where
// it stood, from both the unchecked and the checked writer; a byte that is not UTF-8 at any place
// makes the checked one refuse.
TEST(AppendJsonString, EscapesAtEveryPlaceOfALongText) {
  // 37 bytes, a two-byte character at 8 and a three-byte one at 31.
  const std::string plain =
      "abcdefgh\xc3\xa9jklmnopqrstuvwxyz0123\xe2\x82\xac"
      "456";
  for (const std::string_view inserted : {"\"", "\\", "\n", "\x1f", "\"\x01", "\xff"}) {
    for (std::size_t at = 0; at <= plain.size(); ++at) {
      std::string text = plain;
      text.insert(at, inserted);
      std::string expected = "\"";
      for (const char c : text) {
        std::string one;
        append_json_string(one, std::string_view(&c, 1));
        expected += one.substr(1, one.size() - 2);
      }
      expected += '"';
      std::string out;
      append_json_string(out, text);
      EXPECT_EQ(out, expected) << "insert at " << at;
      // Inserted inside a character, any byte breaks its sequence.
      const bool breaks_character = inserted == "\xff" || at == 9 || at == 32 || at == 33;
      std::string checked;
      EXPECT_EQ(append_json_utf8(checked, text), !breaks_character) << "insert at " << at;
      if (!breaks_character) {
        EXPECT_EQ(checked, expected) << "insert at " << at;
      }
    }
  }
}

struct Utf16Case {
  std::string name;
  std::u16string text;
  std::string expected;  // empty: refused
};

TEST(AppendJsonUtf16, TranscodesAndEscapes) {
  const std::vector<Utf16Case> cases = {
      {"ascii with escapes", u"C:\\a\"\t\x01/", R"("C:\\a\"\t\u0001/")"},
      {"two-byte sequence", u"\u00e9", "\"\xc3\xa9\""},
      {"three-byte sequence", u"\u20ac\uffff", "\"\xe2\x82\xac\xef\xbf\xbf\""},
      {"surrogate pair", u"\U0001F600", "\"\xf0\x9f\x98\x80\""},
      {"highest code point", u"\U0010FFFF", "\"\xf4\x8f\xbf\xbf\""},
      {"delete as itself", u"\x7f", "\"\x7f\""},
      {"lead surrogate at the end", u"a\xd800", ""},
      {"lead surrogate before a letter", u"\xd800z", ""},
      {"two lead surrogates", u"\xd800\xd800", ""},
      {"trail surrogate alone", u"\xdc00", ""},
  };
  for (const Utf16Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    const bool written = append_json_utf16(out, c.text);
    EXPECT_EQ(written, !c.expected.empty());
    if (written) {
      EXPECT_EQ(out, c.expected);
    }
  }
}

TEST(AppendJsonUtf16, WritesUnpairedSurrogatesAsThemselvesWhenLossless) {
  const std::vector<Utf16Case> cases = {
      {"lead surrogate at the end", u"a\xd800", R"("a\ud800")"},
      {"lead surrogate before a letter", u"\xd800z", R"("\ud800z")"},
      {"two lead surrogates", u"\xdbff\xd800", R"("\udbff\ud800")"},
      {"trail surrogate alone", u"\xdfff", R"("\udfff")"},
      {"a pair stays a character", u"\xd800\U0001F600", "\"\\ud800\xf0\x9f\x98\x80\""},
  };
  for (const Utf16Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    EXPECT_TRUE(append_json_utf16(out, c.text, /*lossless=*/true));
    EXPECT_EQ(out, c.expected);
  }
}

TEST(AppendJsonBytesLossless, EscapesEachByteThatIsNotPartOfValidUtf8) {
  const struct {
    const char* name;
    std::string bytes;
    std::string expected;
  } cases[] = {
      {"valid UTF-8 as it stands", "caf\xc3\xa9 \xf0\x9f\x98\x80\t",
       "\"caf\xc3\xa9 \xf0\x9f\x98\x80\\t\""},
      {"Latin-1", "caf\xe9", R"("caf\udce9")"},
      {"a cut sequence", "\xe2\x82", R"("\udce2\udc82")"},
      {"valid only in part", "\xc3\xa9\xff\xc3\xa9", "\"\xc3\xa9\\udcff\xc3\xa9\""},
      {"an encoded surrogate", "\xed\xa0\x80", R"("\udced\udca0\udc80")"},
      {"overlong and beyond U+10FFFF", "\xc0\xaf\xf4\x90\x80\x80",
       R"("\udcc0\udcaf\udcf4\udc90\udc80\udc80")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    append_json_bytes_lossless(out, c.bytes);
    EXPECT_EQ(out, c.expected);
  }
}

}  // namespace
}  // namespace ketterlin::elevation
