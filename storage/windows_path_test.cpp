#include "storage/windows_path.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_string.h"
#include "platform/unicode.h"
#include "storage/windows_path_internal.h"

namespace ketterlin::storage {
namespace {

// U+FFFD in UTF-8.
const std::string kReplacement = "\xEF\xBF\xBD";

struct NormalizeCase {
  const char* name;
  std::string input;
  std::string expected;
};

TEST(NormalizePath, RewritesEverySpellingToTheCanonicalText) {
  const NormalizeCase cases[] = {
      {"plain drive path", "C:\\Windows\\System32", "c:\\windows\\system32"},
      {"slashes and trailing slash", "C:/Windows/", "c:\\windows"},
      {"drive root", "C:\\", "c:"},
      {"bare drive", "C:", "c:"},
      {"doubled and trailing separators", "C:\\a\\\\b\\", "c:\\a\\b"},
      {"dot and dot-dot", "C:\\a\\.\\b\\..\\c", "c:\\a\\c"},
      {"dot-dot cannot climb above the drive", "C:\\..", "c:"},
      {"dot-dot above the drive is dropped", "C:\\..\\..\\x", "c:\\x"},
      {"verbatim drive", "\\\\?\\C:\\Data", "c:\\data"},
      {"verbatim UNC", "\\\\?\\UNC\\Server\\Share\\Dir", "\\\\server\\share\\dir"},
      {"verbatim unc in lower case", "\\\\?\\unc\\server\\share", "\\\\server\\share"},
      {"verbatim UNC in mixed case", "\\\\?\\uNc\\Server\\Share", "\\\\server\\share"},
      {"verbatim UNC written with slashes", "//?/UNC/Server/Share", "\\\\server\\share"},
      {"verbatim prefix alone", "\\\\?\\", ""},
      {"UNC share floor", "\\\\Server\\Share\\..\\x", "\\\\server\\share\\x"},
      {"UNC with server only", "\\\\Server\\..\\x", "\\\\server\\x"},
      {"UNC with slashes", "//Server/Share/Dir/", "\\\\server\\share\\dir"},
      {"verbatim path that is UNC after the prefix", "\\\\?\\\\\\Server\\Share",
       "\\\\server\\share"},
      {"relative keeps unresolvable dot-dot", "a\\..\\..\\b", "..\\b"},
      {"relative dot-dot never cancels a kept dot-dot", "..\\..\\b", "..\\..\\b"},
      {"relative dot-dot after a name", "..\\a\\..\\b", "..\\b"},
      {"relative dot only", ".\\.", ""},
      {"volume GUID path is relative", "\\\\?\\Volume{AB-CD}\\X\\..\\..\\..\\y", "..\\y"},
      {"rooted path whose first component is a drive", "\\C:\\X\\..\\..", "c:"},
      {"empty", "", ""},
      {"separators only make an empty UNC path", "\\/\\", "\\\\"},
      {"non-ASCII capitals", "C:\\\xC3\x84\xC3\x96", "c:\\\xC3\xA4\xC3\xB6"},
      {"capital I with dot becomes two code points", "C:\\\xC4\xB0stanbul", "c:\\i\xCC\x87stanbul"},
      {"sigma ending a word is final", "C:\\\xCE\x91\xCE\xA3\\\xCE\x92",
       "c:\\\xCE\xB1\xCF\x82\\\xCE\xB2"},
      {"sigma inside a word is not final", "C:\\\xCE\x91\xCE\xA3\xCE\x92",
       "c:\\\xCE\xB1\xCF\x83\xCE\xB2"},
      {"sigma before a dot and a letter is not final", "C:\\\xCE\x91\xCE\xA3.\xCE\x92",
       "c:\\\xCE\xB1\xCF\x83.\xCE\xB2"},
      {"final sigma decided on the rewritten text", "C:/\xCE\x91\xCE\xA3/./",
       "c:\\\xCE\xB1\xCF\x82"},
      {"lone sigma", "C:\\\xCE\xA3", "c:\\\xCF\x83"},
      {"Kelvin sign", "C:\\\xE2\x84\xAA", "c:\\k"},
      {"ill-formed UTF-8 becomes U+FFFD",
       "C:\\A\xFF"
       "B",
       "c:\\a" + kReplacement + "b"},
      {"ill-formed UTF-8 on the full path", "C:/A\xFF", "c:\\a" + kReplacement},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(normalize_path_text(c.input).text(), c.expected);
    EXPECT_EQ(normalize_path(platform::from_utf8(c.input)).text(), c.expected);
    if (platform::is_valid_utf8(c.input)) {
      EXPECT_EQ(internal::normalize_full_steps(c.input), c.expected);
    }
  }
}

TEST(NormalizePath, InvalidOsUnitBecomesReplacementCharacter) {
  // A byte that is not UTF-8 on POSIX, an unpaired surrogate on Windows.
  const platform::OsChar invalid = sizeof(platform::OsChar) == 1
                                       ? static_cast<platform::OsChar>(0xFF)
                                       : static_cast<platform::OsChar>(0xD800);
  const struct {
    const char* name;
    platform::OsString path;
    std::string expected;
  } cases[] = {
      {"inside a component", platform::from_utf8("C:\\Ab") + invalid, "c:\\ab" + kReplacement},
      {"in a path that takes the full steps",
       platform::from_utf8("C:/x/") + invalid + platform::from_utf8("/"), "c:\\x\\" + kReplacement},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(normalize_path(c.path).text(), c.expected);
  }
}

TEST(NormalizePath, SpellingsOfOneFolderCompareEqual) {
  const struct {
    const char* name;
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"case and slashes", "C:\\Users\\A\\", "c:/users/a", true},
      {"verbatim and plain", "\\\\?\\C:\\Users\\A", "C:\\Users\\.\\A", true},
      {"verbatim UNC and UNC", "\\\\?\\UNC\\srv\\Share", "\\\\SRV\\share\\", true},
      {"different folders", "C:\\Users\\A", "C:\\Users\\AB", false},
      {"drive root and a folder", "C:\\", "C:\\x\\..\\y", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(normalize_path_text(c.a) == normalize_path_text(c.b), c.equal);
  }
}

TEST(NormalizedPath, OrdersByteWise) {
  // Byte order puts "c:\a" before "c:\a b" before "c:\a\b" (space 0x20 < backslash 0x5C) and
  // every ASCII text before non-ASCII text.
  const std::vector<std::string> ascending = {"",         "c:",    "c:\\a",       "c:\\a b",
                                              "c:\\a\\b", "c:\\z", "c:\\\xC3\xA4"};
  for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
    SCOPED_TRACE(ascending[i]);
    EXPECT_LT(NormalizedPath(ascending[i]), NormalizedPath(ascending[i + 1]));
    EXPECT_GT(NormalizedPath(ascending[i + 1]), NormalizedPath(ascending[i]));
  }
}

TEST(PlainDrivePath, AcceptsOnlyPathsTheShortcutCanLowerCase) {
  const struct {
    const char* name;
    const char* text;
    bool plain;
  } cases[] = {
      {"drive path", "C:\\Windows\\System32", true},
      {"shortest", "d:\\x", true},
      {"dots inside names", "C:\\a.\\..b\\...", true},
      {"non-ASCII component", "C:\\\xC3\x84", true},
      {"drive root is three bytes", "C:\\", false},
      {"bare drive", "C:", false},
      {"trailing separator", "C:\\a\\", false},
      {"doubled separator", "C:\\a\\\\b", false},
      {"dot component", "C:\\a\\.\\b", false},
      {"dot-dot component", "C:\\a\\..", false},
      {"slash anywhere", "C:\\a/b", false},
      {"slash after the drive", "C:/a", false},
      {"digit instead of letter", "1:\\a", false},
      {"non-ASCII letter", "\xC3\x84:\\a", false},
      {"verbatim", "\\\\?\\C:\\a", false},
      {"UNC", "\\\\s\\share", false},
      {"relative", "a\\b\\c", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(internal::is_plain_drive_path(c.text), c.plain);
  }
}

TEST(LowerCase, AsciiFastPathAgreesWithFullMapping) {
  const char* texts[] = {"", "ABCXYZ", "c:\\Program Files (x86)\\@[`{", "MiXeD 0123 ~\x7F"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(internal::to_lower_case(text), platform::to_lower_full(text));
  }
}

// Builds random path texts from the pieces that matter to the rules: drive letters in both
// cases, both slash forms, doubled and trailing separators, "." and "..", verbatim and UNC
// prefixes, and non-ASCII names whose lower case is context-dependent or longer.
class PathGenerator {
 public:
  explicit PathGenerator(uint32_t seed) : random_(seed) {}

  // Half the paths are tidy drive paths with the odd flaw (a dot, a slash, a doubled or trailing
  // separator), so that the shortcut and its near misses are both common; the rest mix freely.
  std::string next() { return chance(2) ? next_tidy() : next_wild(); }

 private:
  std::string next_tidy() {
    std::string path = drive();
    const int components = 1 + below(6);
    for (int i = 0; i < components; ++i) {
      path += chance(16) ? pick(kSeparators) : "\\";
      path += chance(16) ? pick(kDots) : pick(kNames);
    }
    if (chance(16)) path += pick(kSeparators);
    return path;
  }

  std::string next_wild() {
    std::string path(pick(kPrefixes));
    if (chance(2)) path += drive();
    const int components = below(7);
    for (int i = 0; i < components; ++i) {
      if (i > 0 || !chance(4)) path += pick(kSeparators);
      path += chance(3) ? pick(kDots) : pick(kNames);
    }
    if (chance(4)) path += pick(kSeparators);
    return path;
  }

  std::string drive() {
    const char letter = static_cast<char>((chance(2) ? 'A' : 'a') + below(26));
    return {letter, ':'};
  }

  static constexpr std::string_view kPrefixes[] = {
      "", "", "", "", "\\\\?\\", "\\\\?\\UNC\\", "\\\\?\\unc\\", "//?/Unc/", "\\\\", "//", "\\"};
  static constexpr std::string_view kSeparators[] = {"\\", "/", "\\\\", "/\\", "//"};
  static constexpr std::string_view kDots[] = {".", ".."};
  static constexpr std::string_view kNames[] = {
      "Windows",
      "users",
      "a",
      "Program Files",
      "x.y",
      "...",
      ".x",
      "a..",
      "C:",
      "d:",
      "\xCE\xA3",                   // capital sigma alone
      "\xCE\x91\xCE\xA3",           // sigma ending a word
      "\xCE\xA3\xCE\x91",           // sigma starting a word
      "\xCE\x91\xCE\xA3.\xCE\x92",  // sigma before a case-ignorable dot
      "\xC4\xB0stanbul",            // capital I with dot above: two code points in lower case
      "\xC3\x84\xC3\x96",
      "Gr\xC3\xBC\xC3\x9F",  // sharp s, which has no one-letter capital
      "\xC7\x85",            // title-case digraph
      "\xE2\x84\xAA",        // Kelvin sign: lower case is ASCII "k"
      "UNC",
      "?",
      "Volume{1}"};

  template <std::size_t N>
  std::string_view pick(const std::string_view (&choices)[N]) {
    return choices[static_cast<std::size_t>(below(static_cast<int>(N)))];
  }
  int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }
  bool chance(int one_in) { return below(one_in) == 0; }

  std::mt19937 random_;
};

// The properties every normalised text has, whatever the input.
void expect_canonical(const std::string& normalized) {
  EXPECT_EQ(normalized.find('/'), std::string::npos);
  EXPECT_EQ(normalized, platform::to_lower_full(normalized));
  std::string_view rest = normalized;
  if (rest.starts_with("\\\\")) rest.remove_prefix(2);
  if (rest.empty()) return;
  bool leading_parents = true;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find('\\', start);
    if (end == std::string_view::npos) end = rest.size();
    const std::string_view component = rest.substr(start, end - start);
    EXPECT_FALSE(component.empty()) << "empty component";
    EXPECT_NE(component, ".");
    if (component != "..") leading_parents = false;
    if (!leading_parents) {
      EXPECT_NE(component, "..") << "\"..\" after a name";
    }
    start = end + 1;
  }
}

TEST(NormalizePath, ShortcutAgreesWithFullStepsOnGeneratedPaths) {
  PathGenerator generator(20240611);
  int plain = 0;
  constexpr int kPaths = 20000;
  for (int i = 0; i < kPaths; ++i) {
    const std::string path = generator.next();
    SCOPED_TRACE(path);
    if (internal::is_plain_drive_path(path)) ++plain;
    const std::string full = internal::normalize_full_steps(path);
    const NormalizedPath normalized = normalize_path_text(path);
    ASSERT_EQ(normalized.text(), full);
    expect_canonical(full);
    // A component "?" after a UNC prefix rebuilds a verbatim prefix; everything else is a
    // fixed point.
    if (!full.starts_with("\\\\?\\")) {
      EXPECT_EQ(normalize_path_text(full).text(), full);
    }
  }
  // Both branches must be exercised in earnest for the comparison to mean anything.
  EXPECT_GT(plain, kPaths / 10);
  EXPECT_LT(plain, kPaths / 2);
}

}  // namespace
}  // namespace ketterlin::storage
