#include "elevation/request.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "platform/file_system.h"

namespace ketterlin::elevation {
namespace {

namespace fs = std::filesystem;
using platform::OsString;
using Kind = ScanRequestErrorKind;

OsString os(std::string_view text) { return platform::from_utf8(text); }

// `bytes` code unit by code unit, whether they are valid UTF-8 or not.
OsString raw(std::string_view bytes) { return OsString(bytes.begin(), bytes.end()); }

// "/d/" and a code unit that is not valid Unicode on this system.
OsString not_unicode() {
  OsString path = os("/d/");
  path.push_back(static_cast<platform::OsChar>(sizeof(platform::OsChar) == 1 ? 0xFF : 0xD800));
  return path;
}

// ---- The rules on real folders ----

// A fresh folder holding:
//   Data/ (the root)  Data/A/  Data/B/  Data/a/ (POSIX only)  Data/file.txt
//   Data/link_to_A -> A  Data/escape -> ../Outside  DataLink -> Data
//   Database/x/  Outside/
class ValidateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937_64 random(std::random_device{}());
    created_ = fs::temp_directory_path() / ("ketterlin-request-" + std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(created_));
    base_ = fs::canonical(created_);  // the temporary folder may itself lie behind a link
    for (const char* folder : {"Data/A", "Data/B", "Database/x", "Outside"}) {
      fs::create_directories(base_ / folder);
    }
    if (!platform::ignores_case(platform::native_path_style()))
      fs::create_directory(base_ / "Data" / "a");
    std::ofstream(base_ / "Data" / "file.txt") << "x";
    std::error_code error;
    fs::create_directory_symlink("A", base_ / "Data" / "link_to_A", error);
    fs::create_directory_symlink(fs::path("..") / "Outside", base_ / "Data" / "escape", error);
    fs::create_directory_symlink("Data", base_ / "DataLink", error);
    links_ = !error;
    // The system's canonical form of the base (on Windows the verbatim \\?\ form); the folders in
    // it are named by appending their names.
    auto canonical_base = platform::canonicalize(base_.native());
    ASSERT_TRUE(canonical_base.has_value()) << platform::to_string(canonical_base.error());
    canonical_base_ = *canonical_base;
  }
  void TearDown() override { fs::remove_all(created_); }

  OsString at(const fs::path& relative) const { return (base_ / relative).native(); }
  OsString root() const { return at("Data"); }
  OsString in_root(const char* name) const { return at(fs::path("Data") / name); }
  // The canonical paths of root() and in_root(name).
  OsString canonical_root() const {
    return canonical_base_ + platform::kPathSeparator + os("Data");
  }
  OsString canonical_in_root(const char* name) const {
    return canonical_root() + platform::kPathSeparator + os(name);
  }

  fs::path created_;
  fs::path base_;
  OsString canonical_base_;
  bool links_ = false;
};

struct Expected {
  std::optional<Kind> error;  // nullopt: valid
  OsString error_path;        // the path shown in the error
  std::vector<std::optional<OsString>> slots;
};

struct ValidateCase {
  const char* name;
  ElevatedScanMode mode;
  OsString root;
  std::vector<OsString> targets;
  Expected expected;
  bool needs_links = false;
};

void check(const ValidateCase& c, bool links_available) {
  SCOPED_TRACE(c.name);
  if (c.needs_links && !links_available) return;
  const storage::ElevatedVolume volume{500, storage::FileSystemKind::Ntfs};
  ElevatedScanRequest request{c.mode, c.root, c.targets, volume};
  const auto validated = validate(request);
  if (c.expected.error) {
    ASSERT_FALSE(validated.has_value());
    EXPECT_EQ(validated.error().kind, *c.expected.error) << to_string(validated.error());
    EXPECT_EQ(validated.error().path, c.expected.error_path);
    return;
  }
  ASSERT_TRUE(validated.has_value()) << to_string(validated.error());
  EXPECT_EQ(validated->targets, c.expected.slots);
  EXPECT_EQ(validated->full_root, c.mode == ElevatedScanMode::FullRoot);
  EXPECT_EQ(validated->volume, std::optional(volume));
}

Expected valid(std::vector<std::optional<OsString>> slots) { return {std::nullopt, {}, slots}; }
Expected refused(Kind kind, OsString path = {}) { return {kind, std::move(path), {}}; }

TEST_F(ValidateTest, RulesInTheirOrder) {
  constexpr auto kTopUp = ElevatedScanMode::RestrictedTopUp;
  constexpr auto kFull = ElevatedScanMode::FullRoot;
  const OsString missing = in_root("Missing");
  const OsString separator(1, platform::kPathSeparator);
  const ValidateCase cases[] = {
      {"no targets, top-up", kTopUp, root(), {}, refused(Kind::MissingTargets)},
      {"no targets, full root", kFull, root(), {}, refused(Kind::FullRootTargetRequired)},
      {"257 targets before the missing root is looked at", kTopUp, at("Nowhere"),
       std::vector<OsString>(257, missing), refused(Kind::TooManyTargets)},
      {"256 missing targets are 256 unavailable slots", kTopUp, root(),
       std::vector<OsString>(256, missing), valid(std::vector<std::optional<OsString>>(256))},
      {"root is a file",
       kTopUp,
       in_root("file.txt"),
       {in_root("A")},
       refused(Kind::RootUnavailable, in_root("file.txt"))},
      {"root is missing",
       kTopUp,
       at("Nowhere"),
       {in_root("A")},
       refused(Kind::RootUnavailable, at("Nowhere"))},
      {"root is empty", kTopUp, {}, {in_root("A")}, refused(Kind::RootUnavailable, {})},
      {"missing target keeps the others' slots",
       kTopUp,
       root(),
       {in_root("A"), missing, in_root("B")},
       valid({canonical_in_root("A"), std::nullopt, canonical_in_root("B")})},
      {"a file target is unavailable",
       kTopUp,
       root(),
       {in_root("file.txt")},
       valid({std::nullopt})},
      {"every target missing",
       kTopUp,
       root(),
       {missing, missing},
       valid({std::nullopt, std::nullopt})},
      {"full root, missing target",
       kFull,
       root(),
       {missing},
       refused(Kind::TargetUnavailable, missing)},
      {"full root, file target",
       kFull,
       root(),
       {in_root("file.txt")},
       refused(Kind::TargetUnavailable, in_root("file.txt"))},
      {"full root, the root", kFull, root(), {root()}, valid({canonical_root()})},
      {"full root, the root with a trailing separator",
       kFull,
       root(),
       {root() + separator},
       valid({canonical_root()})},
      {"full root, the root and a folder below it",
       kFull,
       root(),
       {root(), in_root("A")},
       refused(Kind::FullRootTargetRequired)},
      {"full root, only a folder below it",
       kFull,
       root(),
       {in_root("A")},
       refused(Kind::FullRootTargetRequired)},
      {"top-up naming the root with a trailing separator",
       kTopUp,
       root(),
       {in_root("A"), root() + separator},
       refused(Kind::RootCannotBeTopUp)},
      {"every target is checked before the root test",
       kTopUp,
       root(),
       {root(), missing, at("Outside")},
       refused(Kind::OutsideRoot, at("Outside"))},
      {"a repeated root is a repeat first",
       kTopUp,
       root(),
       {root(), root()},
       refused(Kind::DuplicateTarget, canonical_root())},
      {"the same folder written twice",
       kTopUp,
       root(),
       {in_root("A"), root() + separator + os(".") + separator + os("A")},
       refused(Kind::DuplicateTarget, canonical_in_root("A"))},
      {"a sibling whose name begins with the root's",
       kTopUp,
       root(),
       {at("Database/x")},
       refused(Kind::OutsideRoot, at("Database/x"))},
      {"the sibling itself",
       kTopUp,
       root(),
       {at("Database")},
       refused(Kind::OutsideRoot, at("Database"))},
      {"the root's parent",
       kTopUp,
       root(),
       {base_.native()},
       refused(Kind::OutsideRoot, base_.native())},
      {"duplicate through a link",
       kTopUp,
       root(),
       {in_root("A"), in_root("link_to_A")},
       refused(Kind::DuplicateTarget, canonical_in_root("A")),
       true},
      {"a target reached through a link is judged where it leads",
       kTopUp,
       root(),
       {in_root("link_to_A")},
       valid({canonical_in_root("A")}),
       true},
      {"link pointing outside the root",
       kTopUp,
       root(),
       {in_root("escape")},
       refused(Kind::OutsideRoot, in_root("escape")),
       true},
      {"root named through a link",
       kTopUp,
       at("DataLink"),
       {in_root("A")},
       valid({canonical_in_root("A")}),
       true},
  };
  for (const ValidateCase& c : cases) check(c, links_);
}

TEST_F(ValidateTest, FoldersDifferingInCaseOnACaseSensitiveSystem) {
  if (platform::ignores_case(platform::native_path_style()))
    GTEST_SKIP() << "one folder on this system";
  check({"A and a are two folders",
         ElevatedScanMode::RestrictedTopUp,
         root(),
         {in_root("A"), in_root("a")},
         valid({canonical_in_root("A"), canonical_in_root("a")})},
        links_);
}

TEST_F(ValidateTest, RootBecomesCanonical) {
  if (!links_) GTEST_SKIP() << "no symbolic links here";
  const OsString separator(1, platform::kPathSeparator);
  const auto validated =
      validate({ElevatedScanMode::FullRoot, at("DataLink") + separator, {root()}, std::nullopt});
  ASSERT_TRUE(validated.has_value()) << to_string(validated.error());
  EXPECT_EQ(validated->root, canonical_root());
  EXPECT_EQ(validated->volume, std::nullopt);
}

// ---- Display texts ----

TEST(ScanRequestErrorText, EveryKind) {
  struct Case {
    const char* name;
    Kind kind;
    std::size_t target_count;
    OsString path;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"missing targets", Kind::MissingTargets, 0, {}, "at least one scan target is required"},
      {"too many targets",
       Kind::TooManyTargets,
       257,
       {},
       "scan request has 257 targets, maximum is 256"},
      {"root unavailable", Kind::RootUnavailable, 0, os("C:\\Nope"),
       "scan root is not an available folder: C:\\Nope"},
      {"target unavailable", Kind::TargetUnavailable, 0, os("C:\\Missing"),
       "scan target is not an available folder: C:\\Missing"},
      {"outside root", Kind::OutsideRoot, 0, os("D:\\x"),
       "scan target is outside the requested root: D:\\x"},
      {"root cannot be top-up",
       Kind::RootCannotBeTopUp,
       0,
       {},
       "a Restricted top-up cannot request the full root"},
      {"duplicate", Kind::DuplicateTarget, 0, os("\\\\?\\C:\\Users"),
       "scan target is repeated: \\\\?\\C:\\Users"},
      {"full root target required",
       Kind::FullRootTargetRequired,
       0,
       {},
       "a full-root Scan requires exactly the root target"},
      {"path that is not valid Unicode", Kind::TargetUnavailable, 0, not_unicode(),
       "scan target is not an available folder: /d/\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScanRequestError error{c.kind, c.target_count, c.path};
    EXPECT_EQ(to_string(error), c.text);
  }
}

// ---- Path rules of both systems ----

constexpr PathStyle kPosix = PathStyle::Posix;
constexpr PathStyle kWindows = PathStyle::Windows;

TEST(PathRules, InsideComparesComponents) {
  struct Case {
    const char* name;
    PathStyle style;
    std::string root;
    std::string path;
    bool inside;
  };
  const Case cases[] = {
      {"child", kPosix, "/data", "/data/x", true},
      {"itself", kPosix, "/data", "/data", true},
      {"trailing separator on the root", kPosix, "/data/", "/data/x", true},
      {"doubled separators", kPosix, "/data", "//data//x", true},
      {"sibling with a longer name", kPosix, "/data", "/database", false},
      {"sibling with a shorter name", kPosix, "/data", "/dat", false},
      {"parent", kPosix, "/data/x", "/data", false},
      {"everything lies inside /", kPosix, "/", "/etc/x", true},
      {"letter case counts", kPosix, "/Data", "/data/x", false},
      {"drive root", kWindows, "\\\\?\\C:\\", "\\\\?\\C:\\Users", true},
      {"Data and Database", kWindows, "\\\\?\\C:\\Data", "\\\\?\\C:\\Database", false},
      {"other drive", kWindows, "\\\\?\\C:\\Data", "\\\\?\\D:\\Data\\x", false},
      {"exact text, even on Windows", kWindows, "\\\\?\\C:\\Data", "\\\\?\\C:\\data\\x", false},
      {"slash is no separator on Windows", kWindows, "\\\\?\\C:\\Data", "\\\\?\\C:\\Data/x", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(lies_inside(os(c.root), os(c.path), c.style), c.inside);
  }
}

TEST(PathRules, DuplicateKeys) {
  struct Case {
    const char* name;
    PathStyle style;
    OsString a;
    OsString b;
    bool same;
  };
  const Case cases[] = {
      {"letter case on Windows", kWindows, os("\\\\?\\C:\\Users"), os("\\\\?\\C:\\USERS"), true},
      {"full mapping on Windows", kWindows, os("\\\\?\\C:\\\xC3\x84"), os("\\\\?\\C:\\\xC3\xA4"),
       true},
      {"final sigma on Windows", kWindows, os("\\\\?\\C:\\\xCE\x9F\xCE\xA3"),
       os("\\\\?\\C:\\\xCE\xBF\xCF\x82"), true},
      {"different names on Windows", kWindows, os("\\\\?\\C:\\A"), os("\\\\?\\C:\\B"), false},
      {"letter case on POSIX", kPosix, os("/data/A"), os("/data/a"), false},
      {"same text on POSIX", kPosix, os("/data/A"), os("/data/A"), true},
      {"invalid bytes stay apart on POSIX", kPosix, raw("/\xFF"), raw("/\xFE"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(duplicate_key(c.a, c.style) == duplicate_key(c.b, c.style), c.same);
  }
}

TEST(PathRules, WindowsRequestWithItsOwnFileSystem) {
  // Canonical forms as the system reports them: verbatim, with the letter case stored on disk.
  const std::map<OsString, OsString> folders = {
      {os("C:\\"), os("\\\\?\\C:\\")},
      {os("C:\\Users"), os("\\\\?\\C:\\Users")},
      {os("c:\\users\\"), os("\\\\?\\C:\\Users")},
      {os("C:\\Junction"), os("\\\\?\\C:\\USERS")},
      {os("C:\\Windows"), os("\\\\?\\C:\\Windows")},
  };
  const FolderResolver resolve = [&](platform::OsStringView path) -> std::optional<OsString> {
    const auto found = folders.find(OsString(path));
    if (found == folders.end()) return std::nullopt;
    return found->second;
  };
  struct Case {
    const char* name;
    std::vector<std::string> targets;
    Expected expected;
  };
  const Case cases[] = {
      {"one available, one missing",
       {"C:\\Users", "C:\\Missing"},
       valid({os("\\\\?\\C:\\Users"), std::nullopt})},
      {"same folder in another case",
       {"C:\\Users", "c:\\users\\"},
       refused(Kind::DuplicateTarget, os("\\\\?\\C:\\Users"))},
      {"keys ignore case",
       {"C:\\Users", "C:\\Junction"},
       refused(Kind::DuplicateTarget, os("\\\\?\\C:\\USERS"))},
      {"drive root as a top-up target", {"C:\\Windows", "C:\\"}, refused(Kind::RootCannotBeTopUp)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ElevatedScanRequest request{ElevatedScanMode::RestrictedTopUp, os("C:\\"), {}, std::nullopt};
    for (const auto& target : c.targets) request.targets.push_back(os(target));
    const auto validated = validate(request, resolve, kWindows);
    if (c.expected.error) {
      ASSERT_FALSE(validated.has_value());
      EXPECT_EQ(validated.error().kind, *c.expected.error);
      EXPECT_EQ(validated.error().path, c.expected.error_path);
    } else {
      ASSERT_TRUE(validated.has_value()) << to_string(validated.error());
      EXPECT_EQ(validated->root, os("\\\\?\\C:\\"));
      EXPECT_EQ(validated->targets, c.expected.slots);
    }
  }
}

}  // namespace
}  // namespace ketterlin::elevation
