// Real folder trees for end-to-end tests on POSIX systems: building them (at any depth, with any
// bytes in a name), reading back what the system says about every entry, removing them, and
// checking a streamed tree against them. Every walk goes one relative step at a time (openat), so
// paths longer than PATH_MAX work. Test-only code.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "scan_helper/message_testing.h"

namespace ketterlin::helper::testing {

// What the system says about one entry, the entry itself (links not followed).
struct DiskEntry {
  struct stat status {};
  bool compressed = false;             // the statx compressed attribute
  bool resolves_to_directory = false;  // a link whose target is a directory
  std::optional<std::string> link_text;
};

namespace disk_internal {

inline std::string failure_text(const char* call, const std::string& path) {
  return std::string(call) + " " + path + ": " + std::strerror(errno);
}

inline DiskEntry entry_at(int directory_fd, const char* name, const std::string& path) {
  DiskEntry entry;
  EXPECT_EQ(fstatat(directory_fd, name, &entry.status, AT_SYMLINK_NOFOLLOW), 0)
      << failure_text("fstatat", path);
  struct statx extended {};
  if (statx(directory_fd, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &extended) == 0) {
    entry.compressed = (extended.stx_attributes & STATX_ATTR_COMPRESSED) != 0;
  }
  if (S_ISLNK(entry.status.st_mode)) {
    std::string text(static_cast<std::size_t>(entry.status.st_size) + 1, '\0');
    const ssize_t length = readlinkat(directory_fd, name, text.data(), text.size());
    EXPECT_GE(length, 0) << failure_text("readlinkat", path);
    if (length >= 0) entry.link_text = text.substr(0, static_cast<std::size_t>(length));
    struct stat target {};
    entry.resolves_to_directory =
        fstatat(directory_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
  }
  return entry;
}

// Adds every entry below the open directory `directory_fd` (whose path is `path`) to `entries`.
inline void read_below(int directory_fd, const std::string& path,
                       const std::set<std::string>& unlisted,
                       std::map<std::string, DiskEntry>& entries) {
  DIR* directory = fdopendir(dup(directory_fd));
  ASSERT_NE(directory, nullptr) << failure_text("fdopendir", path);
  while (const dirent* record = readdir(directory)) {
    const std::string name = record->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = path + "/" + name;
    const DiskEntry entry = entry_at(directory_fd, name.c_str(), child);
    entries[child] = entry;
    if (!S_ISDIR(entry.status.st_mode) || unlisted.contains(child)) continue;
    const int child_fd = openat(directory_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    EXPECT_GE(child_fd, 0) << failure_text("openat", child);
    if (child_fd < 0) continue;
    read_below(child_fd, child, unlisted, entries);
    close(child_fd);
  }
  closedir(directory);
}

// Removes everything below the open directory `directory_fd`, making folders accessible first.
inline void remove_below(int directory_fd) {
  DIR* directory = fdopendir(dup(directory_fd));
  if (directory == nullptr) return;
  std::vector<std::pair<std::string, bool>> children;  // name, is a folder
  while (const dirent* record = readdir(directory)) {
    const std::string name = record->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    const bool is_folder = fstatat(directory_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                           S_ISDIR(status.st_mode);
    children.emplace_back(name, is_folder);
  }
  closedir(directory);
  for (const auto& [name, is_folder] : children) {
    if (is_folder) {
      fchmodat(directory_fd, name.c_str(), 0700, 0);
      const int child_fd = openat(directory_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      if (child_fd >= 0) {
        remove_below(child_fd);
        close(child_fd);
      }
    }
    unlinkat(directory_fd, name.c_str(), is_folder ? AT_REMOVEDIR : 0);
  }
}

}  // namespace disk_internal

// Every entry at and below `root` by full path, the root included (its status with links
// followed). Links are not followed and the folders in `unlisted` are not read.
inline std::map<std::string, DiskEntry> read_disk_tree(const std::string& root,
                                                       const std::set<std::string>& unlisted = {}) {
  std::map<std::string, DiskEntry> entries;
  DiskEntry& root_entry = entries[root];
  EXPECT_EQ(stat(root.c_str(), &root_entry.status), 0) << disk_internal::failure_text("stat", root);
  if (unlisted.contains(root)) return entries;
  const int root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_GE(root_fd, 0) << disk_internal::failure_text("open", root);
  if (root_fd < 0) return entries;
  disk_internal::read_below(root_fd, root, unlisted, entries);
  close(root_fd);
  return entries;
}

// A fresh folder (mode 0755, so that any user can read it) in the system's temporary directory,
// removed with everything in it at the end, whatever its depth and modes. Paths given to the
// builders are relative to it and may hold any byte but '/' and NUL in their names.
class TemporaryTree {
 public:
  TemporaryTree() {
    const char* temporary = getenv("TMPDIR");
    std::string pattern = std::string(temporary != nullptr && *temporary ? temporary : "/tmp") +
                          "/ketterlin-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << disk_internal::failure_text("mkdtemp", pattern);
      return;
    }
    char* canonical = realpath(pattern.c_str(), nullptr);
    path_ = canonical != nullptr ? canonical : pattern;
    free(canonical);
    chmod(path_.c_str(), 0755);
  }
  ~TemporaryTree() {
    if (path_.empty()) return;
    const int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd >= 0) {
      disk_internal::remove_below(fd);
      close(fd);
    }
    rmdir(path_.c_str());
  }
  TemporaryTree(const TemporaryTree&) = delete;
  TemporaryTree& operator=(const TemporaryTree&) = delete;

  // The canonical path of the tree's folder.
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  void folder(const std::string& relative, mode_t mode = 0755) const {
    const std::string path = *this / relative;
    EXPECT_EQ(mkdir(path.c_str(), mode), 0) << disk_internal::failure_text("mkdir", path);
    chmod(path.c_str(), mode);  // whatever the umask
  }
  void file(const std::string& relative, const std::string& content = "") const {
    const std::string path = *this / relative;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << disk_internal::failure_text("open", path);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }
  // A file of `size` bytes with no data written: a hole on file systems that keep them.
  void sparse_file(const std::string& relative, off_t size) const {
    file(relative);
    EXPECT_EQ(truncate((*this / relative).c_str(), size), 0);
  }
  void symbolic_link(const std::string& relative, const std::string& target) const {
    EXPECT_EQ(symlink(target.c_str(), (*this / relative).c_str()), 0)
        << disk_internal::failure_text("symlink", relative);
  }
  void hard_link(const std::string& relative, const std::string& existing) const {
    EXPECT_EQ(link((*this / existing).c_str(), (*this / relative).c_str()), 0)
        << disk_internal::failure_text("link", relative);
  }
  void fifo(const std::string& relative) const {
    EXPECT_EQ(mkfifo((*this / relative).c_str(), 0644), 0);
  }
  void change_mode(const std::string& relative, mode_t mode) const {
    EXPECT_EQ(chmod((*this / relative).c_str(), mode), 0);
  }
  // Sets the modification time of `relative` (a final link not followed).
  void set_modified(const std::string& relative, time_t seconds) const {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, (*this / relative).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }
  // `depth` nested folders named `name` below the folder `relative`, each made relative to the
  // one before, so the chain may pass PATH_MAX; a file named `file_name` at the bottom. Returns
  // the bottom folder's full path.
  std::string folder_chain(const std::string& relative, const std::string& name, int depth,
                           const std::string& file_name) const {
    std::string bottom = *this / relative;
    int fd = open(bottom.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_GE(fd, 0) << disk_internal::failure_text("open", bottom);
    for (int level = 0; level < depth && fd >= 0; ++level) {
      EXPECT_EQ(mkdirat(fd, name.c_str(), 0755), 0) << disk_internal::failure_text("mkdirat", name);
      const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      close(fd);
      fd = next;
      bottom += "/" + name;
    }
    if (fd >= 0) {
      const int file_fd = openat(fd, file_name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      EXPECT_GE(file_fd, 0) << disk_internal::failure_text("openat", file_name);
      if (file_fd >= 0) close(file_fd);
      close(fd);
    }
    return bottom;
  }

 private:
  std::string path_;
};

// The NodeRecord the helper should send for `entry` (id, parentId and path taken from `node`,
// which is checked elsewhere). `kind` overrides the kind the entry's type gives ("drive" for a
// volume's root, "restricted" for a folder that could not be listed).
inline Json expected_record(const Json& node, const DiskEntry& entry,
                            std::optional<std::string> kind = std::nullopt) {
  const mode_t type = entry.status.st_mode & S_IFMT;
  const bool is_file = type != S_IFDIR && type != S_IFLNK;
  const bool is_root = node["parentId"].is_null();
  const uint64_t logical = static_cast<uint64_t>(entry.status.st_size);
  const uint64_t on_disk = static_cast<uint64_t>(entry.status.st_blocks) * 512;
  Json identity = nullptr;
  if (is_file && !is_root) {
    std::vector<int> file_id(16, 0);
    for (int i = 0; i < 8; ++i)
      file_id[i] = static_cast<int>((entry.status.st_ino >> (8 * i)) & 0xFF);
    identity = {{"volumeSerial", static_cast<uint64_t>(entry.status.st_dev)}, {"fileId", file_id}};
  }
  const bool compressed = is_file && entry.compressed;
  std::string kind_word = type == S_IFDIR ? "folder" : type == S_IFLNK ? "symbolicLink" : "file";
  if (kind) kind_word = *kind;
  return {
      {"id", node["id"]},
      {"parentId", node["parentId"]},
      {"path", node["path"]},
      {"kind", kind_word},
      {"logicalBytes", is_file ? logical : 0},
      {"sizeOnDiskBytes", is_file ? on_disk : 0},
      {"flags",
       {{"cloudOnly", false},
        {"compressed", compressed},
        {"sparse", type == S_IFREG && !compressed && on_disk < logical},
        {"deduplicated", false}}},
      {"identity", identity},
      {"linkTarget", entry.link_text ? Json(*entry.link_text) : Json(nullptr)},
      {"modifiedAtEpochSeconds",
       entry.status.st_mtim.tv_sec > 0 ? static_cast<uint64_t>(entry.status.st_mtim.tv_sec) : 0},
  };
}

// Checks a streamed tree against the disk below `root`: parents before children, exactly the
// entries on disk (the folders in `restricted` present but not listed), and each node as the
// system describes its entry.
inline void expect_tree_matches_disk(const std::vector<Json>& nodes, const std::string& root,
                                     const std::set<std::string>& restricted = {},
                                     const std::string& root_kind = "folder") {
  expect_parents_before_children(nodes);
  const std::map<std::string, DiskEntry> disk = read_disk_tree(root, restricted);
  std::set<std::string> sent;
  for (const Json& node : nodes) {
    const std::string path = node["path"].get<std::string>();
    sent.insert(path);
    const auto found = disk.find(path);
    if (found == disk.end()) {
      ADD_FAILURE() << "sent but not on disk: " << path;
      continue;
    }
    std::optional<std::string> kind;
    if (path == root) kind = root_kind;
    if (restricted.contains(path)) kind = "restricted";
    EXPECT_EQ(node, expected_record(node, found->second, kind));
  }
  for (const auto& [path, entry] : disk) {
    EXPECT_TRUE(sent.contains(path)) << "on disk but not sent: " << path;
  }
}

// The counters the last progress message of a scan of `root` should hold: every entry below the
// root, each counted as a folder when it is a directory or a link to one, else as a file whose
// allocated bytes are measured; the root counts as a folder. Folders in `restricted` count as
// folders and as inaccessible, and nothing below them counts.
inline Json expected_final_counts(const std::string& root,
                                  const std::set<std::string>& restricted = {}) {
  uint64_t files = 0;
  uint64_t folders = 0;
  uint64_t bytes = 0;
  for (const auto& [path, entry] : read_disk_tree(root, restricted)) {
    if (path == root) continue;
    if (S_ISDIR(entry.status.st_mode) || entry.resolves_to_directory) {
      ++folders;
    } else {
      ++files;
      bytes += static_cast<uint64_t>(entry.status.st_blocks) * 512;
    }
  }
  return {{"filesDiscovered", files},
          {"foldersDiscovered", folders + 1},
          {"bytesMeasured", bytes},
          {"inaccessibleItemCount", restricted.size()}};
}

}  // namespace ketterlin::helper::testing
