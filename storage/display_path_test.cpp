#include "storage/display_path.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_string.h"
#include "platform/unicode.h"

namespace ketterlin::storage {
namespace {

using platform::from_utf8;

// "é" is two bytes of UTF-8 and one UTF-16 unit; "😀" is four bytes and two units.
const std::string kE = "\xC3\xA9";
const std::string kEmoji = "\xF0\x9F\x98\x80";

std::string repeat(std::string_view piece, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += piece;
  return text;
}

struct DisplayCase {
  const char* name;
  std::string input;
  std::string expected;
};

TEST(DisplayPath, StripsThePrefixOnlyWhenThePlainFormIsTheSamePath) {
  const DisplayCase cases[] = {
      {"drive root", "\\\\?\\C:\\", "C:\\"},
      {"nested folders", "\\\\?\\C:\\Users\\x", "C:\\Users\\x"},
      {"lower-case drive letter", "\\\\?\\d:\\Data", "d:\\Data"},
      {"trailing separator", "\\\\?\\C:\\Users\\", "C:\\Users\\"},
      {"non-ASCII names", "\\\\?\\C:\\B" + kE + "cher\\" + kEmoji,
       "C:\\B" + kE + "cher\\" + kEmoji},
      {"names with leading dot and leading space", "\\\\?\\C:\\.git\\ a", "C:\\.git\\ a"},
      {"DEL is an ordinary character", "\\\\?\\C:\\a\x7F", "C:\\a\x7F"},
      {"dots inside a name", "\\\\?\\C:\\archive.tar.gz", "C:\\archive.tar.gz"},
      {"reserved name is only part of a longer word", "\\\\?\\C:\\console\\CONFIG.SYS",
       "C:\\console\\CONFIG.SYS"},
      {"reserved name in lower case", "\\\\?\\C:\\logs\\con.txt", "\\\\?\\C:\\logs\\con.txt"},
      {"reserved name as a folder", "\\\\?\\C:\\NUL\\x", "\\\\?\\C:\\NUL\\x"},
      {"reserved name before two extensions", "\\\\?\\C:\\x\\COM1.tar.gz",
       "\\\\?\\C:\\x\\COM1.tar.gz"},
      {"name ends in a dot", "\\\\?\\C:\\a.", "\\\\?\\C:\\a."},
      {"name ends in a space", "\\\\?\\C:\\a \\b", "\\\\?\\C:\\a \\b"},
      {"name holds a question mark", "\\\\?\\C:\\what?", "\\\\?\\C:\\what?"},
      {"name holds a control character",
       "\\\\?\\C:\\a\x1F"
       "b",
       "\\\\?\\C:\\a\x1F"
       "b"},
      {"slash is part of a verbatim name", "\\\\?\\C:\\a/b", "\\\\?\\C:\\a/b"},
      {"dot component", "\\\\?\\C:\\.\\x", "\\\\?\\C:\\.\\x"},
      {"dot-dot component", "\\\\?\\C:\\x\\..", "\\\\?\\C:\\x\\.."},
      {"doubled separator", "\\\\?\\C:\\a\\\\b", "\\\\?\\C:\\a\\\\b"},
      {"doubled root separator", "\\\\?\\C:\\\\", "\\\\?\\C:\\\\"},
      {"verbatim UNC", "\\\\?\\UNC\\server\\share\\x", "\\\\?\\UNC\\server\\share\\x"},
      {"verbatim volume GUID", "\\\\?\\Volume{1b3c}\\x", "\\\\?\\Volume{1b3c}\\x"},
      {"verbatim drive without root", "\\\\?\\C:", "\\\\?\\C:"},
      {"verbatim drive-relative", "\\\\?\\C:x", "\\\\?\\C:x"},
      {"verbatim drive followed by slash", "\\\\?\\C:/x", "\\\\?\\C:/x"},
      {"digit as drive letter", "\\\\?\\1:\\x", "\\\\?\\1:\\x"},
      {"prefix alone", "\\\\?\\", "\\\\?\\"},
      {"plain UNC", "\\\\server\\share\\x", "\\\\server\\share\\x"},
      {"device prefix", "\\\\.\\C:\\x", "\\\\.\\C:\\x"},
      {"NT object prefix", "\\??\\C:\\x", "\\??\\C:\\x"},
      {"verbatim prefix written with slashes", "//?/C:/x", "//?/C:/x"},
      {"already plain", "C:\\x", "C:\\x"},
      {"empty", "", ""},
  };
  for (const DisplayCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(display_path(from_utf8(c.input)), from_utf8(c.expected));
  }
}

TEST(DisplayPath, KeepsEveryNameWithAForbiddenCharacter) {
  // '\' separates names, so it cannot occur inside one.
  for (char forbidden : std::string_view("\"*/:<>?|")) {
    SCOPED_TRACE(std::string("character ") + forbidden);
    const std::string alone(1, forbidden);
    for (const std::string& name : {alone, std::string("a").append(alone), alone + 'a'}) {
      const std::string path = "\\\\?\\C:\\dir\\" + name;
      EXPECT_FALSE(plain_form_is_safe(path)) << path;
    }
  }
  for (int byte = 0; byte < 32; ++byte) {
    SCOPED_TRACE("control byte " + std::to_string(byte));
    const std::string path = "\\\\?\\C:\\a" + std::string(1, static_cast<char>(byte)) + "b";
    EXPECT_FALSE(plain_form_is_safe(path));
  }
}

// Every reserved device name, in three letter cases, bare, with one or two extensions and with
// spaces before the extension, as the last name and as a folder.
TEST(DisplayPath, KeepsEveryReservedDeviceNameWhateverItsCaseAndExtension) {
  std::vector<std::string> reserved = {"AUX", "NUL", "PRN", "CON"};
  for (char digit = '1'; digit <= '9'; ++digit) {
    reserved.push_back(std::string("COM") + digit);
    reserved.push_back(std::string("LPT") + digit);
  }
  for (const char* superscript : {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"}) {
    reserved.push_back(std::string("COM") + superscript);
    reserved.push_back(std::string("LPT") + superscript);
  }
  ASSERT_EQ(reserved.size(), 28u);
  auto lower = [](std::string s) {
    for (char& ch : s) ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    return s;
  };
  for (const std::string& device : reserved) {
    const std::string mixed = lower(device.substr(0, 1)) + device.substr(1, 1) +
                              lower(device.substr(2, 1)) + device.substr(3);
    for (const std::string& spelling : {device, lower(device), mixed}) {
      for (const char* suffix : {"", ".txt", ".tar.gz", " .log", "  .x.y", "..txt"}) {
        const std::string name = spelling + suffix;
        SCOPED_TRACE(name);
        EXPECT_FALSE(is_plain_name(name));
        EXPECT_FALSE(plain_form_is_safe("\\\\?\\C:\\dir\\" + name));
        EXPECT_FALSE(plain_form_is_safe("\\\\?\\C:\\" + name + "\\file"));
      }
    }
  }
}

struct NameCase {
  const char* name;
  std::string text;
  bool plain;
};

TEST(DisplayPath, JudgesSingleNames) {
  const NameCase cases[] = {
      {"ordinary", "report.pdf", true},
      {"leading dot", ".con", true},
      {"leading dot and extension", ".nul.txt", true},
      {"reserved word with a fifth letter", "CONS", true},
      {"COM without digit", "COM", true},
      {"COM0 is not a device", "COM0", true},
      {"two-digit port", "COM10", true},
      {"superscript four is not a digit to Windows", "COM\xE2\x81\xB4", true},
      {"full-width letters are not ASCII", "\xEF\xBC\xA3\xEF\xBC\xAF\xEF\xBC\xAE", true},
      {"reserved word after a space", " con", true},
      {"reserved word with underscore", "con_", true},
      {"reserved word followed by text, then extension", "COM1 tar.gz", true},
      {"empty", "", false},
      {"only dots", "...", false},
      {"dot", ".", false},
      {"dot-dot", "..", false},
      {"trailing space", "a ", false},
      {"trailing dot", "a.", false},
      {"255 ASCII bytes", std::string(255, 'a'), true},
      {"256 ASCII bytes", std::string(256, 'a'), false},
      {"255 characters, 510 bytes", repeat(kE, 255), true},
      {"256 characters, 512 bytes", repeat(kE, 256), false},
      {"254 units with a surrogate pair", repeat(kEmoji, 1) + std::string(252, 'a'), true},
      {"255 units of which two are a pair", kEmoji + std::string(253, 'a'), true},
      {"256 units of which two are a pair", kEmoji + std::string(254, 'a'), false},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_plain_name(c.text), c.plain);
  }
}

// "\\?\C:\" + 100 letters + "\" + `two_byte` times "é" + `fill` letters.
std::string long_path(std::size_t two_byte, std::size_t fill) {
  return "\\\\?\\C:\\" + std::string(100, 'a') + "\\" + repeat(kE, two_byte) +
         std::string(fill, 'b');
}

struct LengthCase {
  const char* name;
  std::string path;
  std::size_t bytes;
  std::size_t units;
  bool plain;
};

TEST(DisplayPath, LimitsTheWholePathTo260Units) {
  const LengthCase cases[] = {
      {"260 bytes", long_path(0, 152), 260, 260, true},
      {"261 bytes, 261 units", long_path(0, 153), 261, 261, false},
      {"263 bytes, 260 units", long_path(3, 149), 263, 260, true},
      {"264 bytes, 261 units", long_path(3, 150), 264, 261, false},
      {"a 255-unit name makes the path too long", "\\\\?\\C:\\" + repeat(kE, 255), 517, 262, false},
  };
  for (const LengthCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.path.size(), c.bytes);
    ASSERT_EQ(platform::utf16_length(c.path), c.units);
    EXPECT_EQ(plain_form_is_safe(c.path), c.plain);
  }
}

TEST(DisplayPath, KeepsTextThatIsNotValidUtf8) {
  const NameCase cases[] = {
      {"stray continuation byte in a name", "\\\\?\\C:\\a\x80", false},
      {"invalid byte", "\\\\?\\C:\\\xFF", false},
      {"encoded surrogate", "\\\\?\\C:\\\xED\xA0\x80", false},
      {"overlong slash", "\\\\?\\C:\\\xC0\xAF", false},
      {"truncated sequence at the end", "\\\\?\\C:\\a\xC3", false},
      {"fifth byte continues a character", "\\\\?\\\x80:\\", false},
      {"fifth byte is a character of its own", "\\\\?\\" + kE + ":\\", false},
      {"valid control for the cases above", "\\\\?\\C:\\a" + kE, true},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(plain_form_is_safe(c.text), c.plain);
  }
}

// A path that is not valid Unicode in the system's own encoding (an unpaired surrogate on
// Windows, an invalid byte elsewhere) comes back unchanged.
TEST(DisplayPath, KeepsAPathWhoseSystemTextIsNotUnicode) {
  const platform::OsChar invalid_unit = sizeof(platform::OsChar) == 1
                                            ? static_cast<platform::OsChar>(0xFF)
                                            : static_cast<platform::OsChar>(0xD800);
  platform::OsString path = from_utf8("\\\\?\\C:\\a");
  path.push_back(invalid_unit);
  EXPECT_EQ(display_path(path), path);

  platform::OsString valid = from_utf8("\\\\?\\C:\\a");
  EXPECT_EQ(display_path(valid), from_utf8("C:\\a"));
}

}  // namespace
}  // namespace ketterlin::storage
