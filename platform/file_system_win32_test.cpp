// Canonical paths and folder facts from the real system: on Windows, or under Wine, where C: is
// the prefix's own drive and Z: the Unix root. Every spelling of one folder gives the verbatim path
// with the names as stored; links are followed to their targets; failures carry the system's code.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/os_string.h"
#include "win32_testing.h"

namespace ketterlin::platform {
namespace {

using testing::ScratchFolder;

std::wstring lower(std::wstring text) {
  CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}
std::wstring upper(std::wstring text) {
  CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}
std::wstring forward_slashes(std::wstring text) {
  for (wchar_t& unit : text) {
    if (unit == L'\\') unit = L'/';
  }
  return text;
}

// Where scratch folders are made: the temporary folder and, under Wine, the Unix /tmp seen
// through Z:, so that both drives of a Wine prefix are covered.
std::vector<std::wstring> scratch_bases() {
  std::vector<std::wstring> bases = {L""};
  if (testing::running_under_wine()) bases.push_back(L"Z:\\tmp");
  return bases;
}

struct Spelling {
  const char* name;
  std::wstring path;
};

void expect_canonical(const std::vector<Spelling>& spellings, const std::wstring& expected,
                      bool is_folder) {
  for (const Spelling& spelling : spellings) {
    SCOPED_TRACE(spelling.name);
    const auto canonical = canonicalize(spelling.path);
    ASSERT_TRUE(canonical.has_value()) << to_string(canonical.error());
    EXPECT_EQ(*canonical, expected);
    const std::optional<OsString> folder = available_folder(spelling.path);
    if (is_folder) {
      EXPECT_EQ(folder, expected);
    } else {
      EXPECT_EQ(folder, std::nullopt);
    }
  }
}

TEST(CanonicalPathOnWindows, EverySpellingGivesTheStoredNamesInVerbatimForm) {
  for (const std::wstring& base : scratch_bases()) {
    SCOPED_TRACE(to_utf8_lossy(base.empty() ? L"temporary folder" : base));
    const ScratchFolder scratch(base);
    scratch.folder(L"Mixed Case Folder");
    scratch.folder(L"Mixed Case Folder\\Inner");
    scratch.file(L"Mixed Case Folder\\Report.TXT", "r");
    const std::wstring stored = scratch / L"Mixed Case Folder";
    const std::wstring expected = L"\\\\?\\" + stored;
    ASSERT_EQ(expected.rfind(L"\\\\?\\", 0), 0u);

    expect_canonical(
        {
            {"as stored", stored},
            {"lower case, drive letter included", lower(stored)},
            {"upper case", upper(stored)},
            {"trailing separator", upper(stored) + L"\\"},
            {"forward slashes", forward_slashes(lower(stored))},
            {"dot and dot-dot components", lower(stored) + L"\\inner\\..\\.\\"},
            {"verbatim form in other case", L"\\\\?\\" + upper(stored)},
        },
        expected, true);
    expect_canonical({{"a file in other case", lower(stored) + L"\\report.txt"}},
                     expected + L"\\Report.TXT", false);
  }
}

TEST(CanonicalPathOnWindows, PathsBeyondMaxPathComeBackWhole) {
  if (testing::running_under_wine()) {
    GTEST_SKIP() << "Wine's GetFinalPathNameByHandleW reads the name into a buffer of MAX_PATH "
                    "units and fails beyond it with ERROR_MORE_DATA (234)";
  }
  const ScratchFolder scratch;
  std::wstring relative;
  for (int level = 0; level < 4; ++level) {
    relative += (relative.empty() ? L"" : L"\\") + std::wstring(90, L'A' + level);
    scratch.folder(relative);
  }
  const std::wstring expected = scratch.verbatim(relative);
  ASSERT_GT(expected.size(), static_cast<std::size_t>(MAX_PATH));
  expect_canonical({{"verbatim, lower case", L"\\\\?\\" + lower(scratch / relative)}}, expected,
                   true);
}

// Names that only verbatim paths can carry, made and named through verbatim paths.
void expect_verbatim_names_kept(const std::vector<std::wstring>& names) {
  const ScratchFolder scratch;
  for (const std::wstring& name : names) {
    SCOPED_TRACE(to_utf8_lossy(name));
    scratch.folder(name);
    expect_canonical({{"verbatim, upper case", L"\\\\?\\" + upper(scratch / name)}},
                     scratch.verbatim(name), true);
  }
}

TEST(CanonicalPathOnWindows, DeviceNamesAreKept) {
  expect_verbatim_names_kept({L"con.txt", L"AUX", L"lpt1.tar.gz"});
}

TEST(CanonicalPathOnWindows, TrailingDotsAndBlanksAreKept) {
  if (testing::running_under_wine()) {
    GTEST_SKIP() << "Wine's GetFinalPathNameByHandleW drops the trailing dots and blanks of names";
  }
  expect_verbatim_names_kept({L"ends in a dot.", L"ends in a blank ", L"dots.."});
}

TEST(CanonicalPathOnWindows, FailuresCarryTheSystemCode) {
  const ScratchFolder scratch;
  scratch.file(L"file.txt");
  struct Case {
    const char* name;
    std::wstring path;
    uint32_t code;
  };
  const Case cases[] = {
      {"missing leaf", scratch / L"no such folder", ERROR_FILE_NOT_FOUND},
      {"missing parent", scratch / L"no such folder\\child", ERROR_PATH_NOT_FOUND},
      {"zero unit inside", scratch / std::wstring(L"file.txt\0tail", 13), ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto canonical = canonicalize(c.path);
    ASSERT_FALSE(canonical.has_value()) << to_utf8_lossy(*canonical);
    EXPECT_EQ(canonical.error(), OsError{c.code}) << to_string(canonical.error());
    EXPECT_EQ(available_folder(c.path), std::nullopt);
  }
}

// Wine programs cannot make symbolic links; the Unix side makes them (the test's setup names the
// folder in KETTERLIN_UNIX_LINKS): "Target Folder" holding inside.txt, "link-to-target" and
// "link-chain" leading to it, "link-to-file" to the file, and "dangling" to nothing.
TEST(CanonicalPathOnWindows, UnixSymbolicLinksLeadToTheirTargets) {
  const std::optional<std::wstring> unix_folder =
      testing::environment_variable(L"KETTERLIN_UNIX_LINKS");
  if (!testing::running_under_wine() || !unix_folder) {
    GTEST_SKIP() << "needs Wine and the Unix links that the test's CTest setup makes "
                    "(KETTERLIN_UNIX_LINKS)";
  }
  const std::wstring folder = testing::wine_path_of_unix_path(*unix_folder);
  const std::wstring target = L"\\\\?\\" + folder + L"\\Target Folder";
  expect_canonical(
      {
          {"link", folder + L"\\link-to-target"},
          {"link in upper case", upper(folder) + L"\\LINK-TO-TARGET"},
          {"link to a link", folder + L"\\link-chain"},
      },
      target, true);
  expect_canonical({{"file below a link", folder + L"\\link-chain\\inside.txt"},
                    {"link to a file", folder + L"\\link-to-file"}},
                   target + L"\\inside.txt", false);

  const auto dangling = canonicalize(folder + L"\\dangling");
  ASSERT_FALSE(dangling.has_value()) << to_utf8_lossy(*dangling);
  EXPECT_EQ(available_folder(folder + L"\\dangling"), std::nullopt);
}

TEST(LastWriteTimeOnWindows, WholeSecondsSince1970FromTheSystem) {
  const ScratchFolder scratch;
  struct Case {
    const char* name;
    FILETIME time;
    uint64_t seconds;
  };
  const Case cases[] = {
      {"2009-02-13 23:31:30 and a half", testing::file_time(1234567890, 5000000), 1234567890},
      {"1970 exactly", testing::file_time(0), 0},
      {"a tick short of one second", testing::file_time(0, 9999999), 0},
      {"one second", testing::file_time(1), 1},
      {"before 1970", testing::file_time(-86400), 0},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring name = L"file" + std::to_wstring(number++);
    scratch.file(name);
    scratch.set_write_time(name, c.time);
    EXPECT_EQ(last_write_epoch_seconds(lower(scratch / name)), c.seconds);
  }
  EXPECT_EQ(last_write_epoch_seconds(scratch / L"missing"), std::nullopt);
}

}  // namespace
}  // namespace ketterlin::platform
