#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/file_system.h"

namespace ketterlin::platform {
namespace {

namespace fs = std::filesystem;

// A fresh folder holding:  dir/  dir/sub/  file  link_to_dir -> dir  link_to_link -> link_to_dir
// link_to_file -> file  broken -> missing
class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = fs::temp_directory_path().string() + "/ketterlin-fs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    created_ = pattern;
    // The temporary folder itself may lie behind a link; the standard library resolves it.
    base_ = fs::canonical(created_).string();
    fs::create_directories(base_ + "/dir/sub");
    std::ofstream(base_ + "/file") << "x";
    fs::create_directory_symlink("dir", base_ + "/link_to_dir");
    fs::create_directory_symlink("link_to_dir", base_ + "/link_to_link");
    fs::create_symlink("file", base_ + "/link_to_file");
    fs::create_symlink("missing", base_ + "/broken");
  }
  void TearDown() override { fs::remove_all(created_); }

  std::string at(const std::string& relative) const { return base_ + "/" + relative; }

  std::string created_;
  std::string base_;
};

TEST_F(FileSystemTest, CanonicalizeResolvesEveryLink) {
  struct Case {
    const char* name;
    std::string path;
    std::string canonical;  // empty: fails with `error`
    uint32_t error = 0;
  };
  const Case cases[] = {
      {"folder", at("dir"), at("dir")},
      {"trailing separator", at("dir/"), at("dir")},
      {"dot and dot-dot", at("dir/./sub/.."), at("dir")},
      {"doubled separators", base_ + "//dir///sub", at("dir/sub")},
      {"link to a folder", at("link_to_dir"), at("dir")},
      {"chain of links", at("link_to_link/sub"), at("dir/sub")},
      {"link to a file", at("link_to_file"), at("file")},
      {"file system root", "/", "/"},
      {"missing", at("missing"), "", ENOENT},
      {"broken link", at("broken"), "", ENOENT},
      {"empty", "", "", ENOENT},
      {"below a file", at("file/x"), "", ENOTDIR},
      {"zero byte inside", at("dir") + std::string(1, '\0') + "x", "", EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto canonical = canonicalize(c.path);
    if (c.canonical.empty()) {
      ASSERT_FALSE(canonical.has_value()) << *canonical;
      EXPECT_EQ(canonical.error(), OsError{c.error});
    } else {
      ASSERT_TRUE(canonical.has_value()) << to_string(canonical.error());
      EXPECT_EQ(*canonical, c.canonical);
    }
  }
}

TEST_F(FileSystemTest, AvailableFolderFollowsLinksToDirectories) {
  struct Case {
    const char* name;
    std::string path;
    std::optional<std::string> canonical;
  };
  const Case cases[] = {
      {"folder", at("dir"), at("dir")},
      {"link to a folder", at("link_to_dir"), at("dir")},
      {"relative form", at("dir/sub/.."), at("dir")},
      {"file", at("file"), std::nullopt},
      {"link to a file", at("link_to_file"), std::nullopt},
      {"broken link", at("broken"), std::nullopt},
      {"missing", at("missing"), std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(available_folder(c.path), c.canonical);
  }
}

// Sets the modification time of `path` itself (a link is not followed).
void set_modified(const std::string& path, time_t seconds) {
  const timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST_F(FileSystemTest, LastWriteTimeInWholeSeconds) {
  set_modified(at("file"), 1000000000);
  set_modified(at("link_to_file"), 42);  // the link's own time must not be used
  set_modified(at("dir"), -86400);       // 1969-12-31
  struct Case {
    const char* name;
    std::string path;
    std::optional<uint64_t> seconds;
  };
  const Case cases[] = {
      {"file", at("file"), 1000000000},
      {"through a link", at("link_to_file"), 1000000000},
      {"before 1970", at("dir"), 0},
      {"missing", at("missing"), std::nullopt},
      {"broken link", at("broken"), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(last_write_epoch_seconds(c.path), c.seconds);
  }
}

}  // namespace
}  // namespace ketterlin::platform
