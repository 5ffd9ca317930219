#include "scanner/directory_reader_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/os_error.h"

namespace ketterlin::scanner::posix {
namespace {

using storage::FileSystemKind;

// Removes `name` below `parent_fd` and everything in it, by descriptor, so that trees deeper than
// PATH_MAX go too.
void remove_tree_at(int parent_fd, const char* name) {
  const int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    ::unlinkat(parent_fd, name, 0);
    return;
  }
  DIR* dir = ::fdopendir(fd);
  std::vector<std::string> children;
  while (dirent* entry = ::readdir(dir)) {
    const std::string child = entry->d_name;
    if (child != "." && child != "..") children.push_back(child);
  }
  for (const std::string& child : children) remove_tree_at(::dirfd(dir), child.c_str());
  ::closedir(dir);
  ::unlinkat(parent_fd, name, AT_REMOVEDIR);
}

// A fresh directory below `base`, removed with its contents at the end.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "/tmp") {
    std::string pattern = base + "/directory_reader_test.XXXXXX";
    const char* created = ::mkdtemp(pattern.data());
    EXPECT_NE(created, nullptr) << pattern;
    path_ = created != nullptr ? created : "/nonexistent";
  }
  ~TempDir() { remove_tree_at(AT_FDCWD, path_.c_str()); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Where folders of thousands of entries are made quickly: a memory file system when there is one
// (creating files on a disk file system can cost milliseconds each).
std::string fast_temp_base() {
  return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

void write_file(const std::string& path, std::size_t bytes) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  const std::string data(bytes, 'x');
  ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(bytes));
  ::close(fd);
}

void set_modified(const std::string& path, int64_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

struct stat lstat_of(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

FileId file_id_of(ino_t inode) {
  FileId id{};
  for (int i = 0; i < 8; ++i) id[i] = static_cast<uint8_t>(static_cast<uint64_t>(inode) >> (8 * i));
  return id;
}

enum class Call { OpenPath, OpenAt, DeviceAt, Device, Read, Stat, ReadLink, Resolves };

// The real system calls, with faults injected on demand, counting descriptors opened and closed.
class FakeSystem : public DirectorySystem {
 public:
  // Results answered instead of the call, in order; nullopt lets that one call through.
  mutable std::map<Call, std::deque<std::optional<int>>> injected;
  std::optional<uint64_t> device;
  std::optional<uint64_t> device_at_result;  // the device status_at reports instead of the truth
  std::optional<FileSystemKind> file_system;
  std::map<std::string, int> stat_errors;           // by entry name
  std::map<std::string, EntryStatus> stat_results;  // by entry name
  mutable int opened = 0;
  mutable int closed = 0;
  mutable std::map<Call, int> calls;

  int open_without_links(int parent_fd, const char* path, bool path_only) const override {
    if (auto fault = take(Call::OpenPath)) return *fault;
    return count_open(DirectorySystem::open_without_links(parent_fd, path, path_only));
  }
  int open_directory_at(int parent_fd, const char* name, bool path_only) const override {
    if (auto fault = take(Call::OpenAt)) return *fault;
    return count_open(DirectorySystem::open_directory_at(parent_fd, name, path_only));
  }
  int status_at(int parent_fd, const char* name, DirectoryStatus& result) const override {
    if (auto fault = take(Call::DeviceAt)) return *fault;
    const int status = DirectorySystem::status_at(parent_fd, name, result);
    if (device_at_result) result.device = *device_at_result;
    return status;
  }
  int close(int fd) const override {
    ++closed;
    return DirectorySystem::close(fd);
  }
  int status_of(int fd, DirectoryStatus& result) const override {
    if (auto fault = take(Call::Device)) return *fault;
    const int status = DirectorySystem::status_of(fd, result);
    if (device) result.device = *device;
    return status;
  }
  FileSystemKind file_system_of(int fd) const override {
    return file_system ? *file_system : DirectorySystem::file_system_of(fd);
  }
  std::ptrdiff_t read_entries(int fd, std::byte* buffer, std::size_t size) const override {
    if (auto fault = take(Call::Read)) return *fault;
    return DirectorySystem::read_entries(fd, buffer, size);
  }
  int stat_entry(int directory_fd, const char* name, EntryStatus& status) const override {
    if (auto fault = take(Call::Stat)) return *fault;
    if (auto error = stat_errors.find(name); error != stat_errors.end()) return error->second;
    if (auto result = stat_results.find(name); result != stat_results.end()) {
      status = result->second;
      return 0;
    }
    return DirectorySystem::stat_entry(directory_fd, name, status);
  }
  std::ptrdiff_t read_link(int directory_fd, const char* name, char* buffer,
                           std::size_t size) const override {
    if (auto fault = take(Call::ReadLink)) return *fault;
    return DirectorySystem::read_link(directory_fd, name, buffer, size);
  }
  int resolves_to_directory(int directory_fd, const char* name) const override {
    if (auto fault = take(Call::Resolves)) return *fault;
    return DirectorySystem::resolves_to_directory(directory_fd, name);
  }

 private:
  std::optional<int> take(Call call) const {
    ++calls[call];
    auto& queue = injected[call];
    if (queue.empty()) return std::nullopt;
    const std::optional<int> fault = queue.front();
    queue.pop_front();
    return fault;
  }
  int count_open(int fd) const {
    if (fd >= 0) ++opened;
    return fd;
  }
};

// Everything one call of the reader produced.
struct Listing {
  std::vector<VolumeEvent> volume_events;
  std::vector<uint64_t> own_times;
  std::vector<EntriesEvent> batches;
  std::vector<BatchCounts> progress;
  std::vector<std::string> progress_paths;
  tl::expected<void, DirectoryError> result;
  bool volume_before_batches = true;

  std::map<std::string, EntryMetadata> entries_by_name() const {
    std::map<std::string, EntryMetadata> entries;
    for (const EntriesEvent& batch : batches) {
      for (const EntryMetadata& entry : batch) {
        EXPECT_TRUE(entries.emplace(entry.name, entry).second) << "listed twice: " << entry.name;
      }
    }
    return entries;
  }
};

struct ListOptions {
  std::optional<uint64_t> expected_volume;
  bool query_file_system = false;
  bool cancelled = false;
  int accepted_events = INT_MAX;  // the sink answers false to the event after these
  int cancel_after_batches = INT_MAX;
};

Listing list(const std::string& path, FakeSystem& system, const ListOptions& options = {}) {
  Listing listing;
  std::atomic<bool> cancel{options.cancelled};
  int events = 0;
  const ProgressCallback progress = [&](platform::OsStringView seen, const BatchCounts& counts) {
    listing.progress_paths.emplace_back(seen);
    listing.progress.push_back(counts);
  };
  const DirectorySink sink = [&](DirectoryEvent&& event) {
    if (const auto* time = std::get_if<OwnTimeEvent>(&event)) {
      listing.own_times.push_back(time->modified_at_epoch_seconds);
      return true;
    }
    if (auto* volume = std::get_if<VolumeEvent>(&event)) {
      if (!listing.batches.empty()) listing.volume_before_batches = false;
      listing.volume_events.push_back(*volume);
    } else {
      listing.batches.push_back(std::get<EntriesEvent>(std::move(event)));
      if (static_cast<int>(listing.batches.size()) >= options.cancel_after_batches) cancel = true;
    }
    return ++events <= options.accepted_events;
  };
  listing.result = read_directory_with(system, path, options.expected_volume,
                                       options.query_file_system, cancel, progress, sink);
  EXPECT_EQ(system.opened, system.closed) << "a descriptor was left open";
  return listing;
}

Listing list(const std::string& path, const ListOptions& options = {}) {
  FakeSystem system;
  return list(path, system, options);
}

// The entry's kind in a comparable form: "file", "directory" or "link -> <target>".
std::string kind_of(const EntryMetadata& entry) {
  if (std::holds_alternative<FileEntry>(entry.kind)) return "file";
  if (std::holds_alternative<DirectoryEntry>(entry.kind)) return "directory";
  const auto& link = std::get<LinkEntry>(entry.kind);
  return "link " + std::to_string(static_cast<int>(link.link_kind)) + " -> " +
         link.link_target.value_or("(none)");
}

DirectoryError os_error(int errno_value, std::optional<uint32_t> code) {
  return DirectoryError::os(platform::OsError{static_cast<uint32_t>(errno_value)}, code);
}

TEST(PosixDirectoryReaderTest, DescribesEachKindOfEntry) {
  TempDir dir;
  write_file(dir / "plain", 5000);
  ASSERT_EQ(::link((dir / "plain").c_str(), (dir / "hard link").c_str()), 0);
  const int sparse_fd = ::open((dir / "sparse").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_EQ(::write(sparse_fd, "x", 1), 1);
  ASSERT_EQ(::ftruncate(sparse_fd, 64 << 20), 0);
  ::close(sparse_fd);
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("plain", (dir / "to file").c_str()), 0);
  ASSERT_EQ(::symlink("folder", (dir / "to folder").c_str()), 0);
  ASSERT_EQ(::symlink("missing/target", (dir / "dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);

  struct Case {
    const char* name;
    std::string kind;
    bool is_directory;
    uint8_t flags;
  };
  const Case cases[] = {
      {"plain", "file", false, 0},
      {"hard link", "file", false, 0},
      {"sparse", "file", false, kSparse},
      {"folder", "directory", true, 0},
      {"to file", "link 0 -> plain", false, 0},
      {"to folder", "link 0 -> folder", true, 0},
      {"dangling", "link 0 -> missing/target", false, 0},
      {"pipe", "file", false, 0},
  };
  for (const Case& c : cases) set_modified(dir / c.name, 1'600'000'000);

  const Listing listing = list(dir.path());
  ASSERT_TRUE(listing.result.has_value()) << to_string(listing.result.error());
  const auto entries = listing.entries_by_name();
  ASSERT_EQ(entries.size(), std::size(cases));
  BatchCounts expected_counts;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EntryMetadata& entry = entries.at(c.name);
    const struct stat status = lstat_of(dir / c.name);
    EXPECT_EQ(kind_of(entry), c.kind);
    EXPECT_EQ(entry.is_directory, c.is_directory);
    EXPECT_EQ(entry.flags, c.flags);
    EXPECT_EQ(entry.volume_serial, lstat_of(dir.path()).st_dev);
    expected_counts.add(entry);
    if (std::holds_alternative<DirectoryEntry>(entry.kind)) {
      // Not examined: its time comes with its own listing.
      EXPECT_EQ(entry.file_id, std::nullopt);
      EXPECT_EQ(entry.modified_at_epoch_seconds, 0u);
      continue;
    }
    EXPECT_EQ(entry.file_id, file_id_of(status.st_ino));
    EXPECT_EQ(entry.logical_bytes, static_cast<uint64_t>(status.st_size));
    EXPECT_EQ(entry.size_on_disk_bytes, static_cast<uint64_t>(status.st_blocks) * 512);
    EXPECT_EQ(entry.modified_at_epoch_seconds, 1'600'000'000u);
  }
  EXPECT_EQ(list(dir / "folder").own_times, std::vector<uint64_t>{1'600'000'000u});
  EXPECT_EQ(entries.at("plain").file_id, entries.at("hard link").file_id);
  EXPECT_NE(entries.at("plain").file_id, entries.at("sparse").file_id);
  EXPECT_EQ(entries.at("sparse").logical_bytes, 64u << 20);
  EXPECT_LT(entries.at("sparse").size_on_disk_bytes, 64u << 20);

  ASSERT_EQ(listing.progress.size(), 1u);
  EXPECT_EQ(listing.progress_paths[0], dir.path());
  EXPECT_EQ(listing.progress[0].files, 6u);
  EXPECT_EQ(listing.progress[0].folders, 2u);
  EXPECT_EQ(listing.progress[0].bytes, expected_counts.bytes);
}

TEST(PosixDirectoryReaderTest, ComputesFlagsFromSizesAndAttributes) {
  TempDir dir;
  struct Case {
    const char* name;
    EntryType type;
    uint64_t size;
    uint64_t blocks;
    bool compressed;
    uint8_t expected_flags;
  };
  const Case cases[] = {
      {"dense", EntryType::Regular, 4096, 8, false, 0},
      {"allocated beyond size", EntryType::Regular, 100, 8, false, 0},
      {"holes", EntryType::Regular, 8192, 8, false, kSparse},
      {"empty", EntryType::Regular, 0, 0, false, 0},
      {"compressed", EntryType::Regular, 8192, 2, true, kCompressed},
      {"compressed full", EntryType::Regular, 1024, 2, true, kCompressed},
      {"small directory", EntryType::Directory, 60, 0, false, 0},
      {"fifo", EntryType::Other, 0, 0, false, 0},
  };
  FakeSystem system;
  for (const Case& c : cases) {
    write_file(dir / c.name, 0);
    system.stat_results[c.name] = EntryStatus{c.type, c.size, c.blocks, 5, 77, c.compressed};
  }
  const auto entries = list(dir.path(), system).entries_by_name();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EntryMetadata& entry = entries.at(c.name);
    EXPECT_EQ(entry.flags, c.expected_flags);
    EXPECT_EQ(entry.logical_bytes, c.size);
    EXPECT_EQ(entry.size_on_disk_bytes, c.blocks * 512);
  }
}

TEST(PosixDirectoryReaderTest, KeepsNamesByteForByte) {
  TempDir dir;
  const std::set<std::string> names = {
      "\xff\xfe not utf-8", "line\nbreak", "quote\"d",
      "back\\slash",        "caf\xc3\xa9", std::string(200, 'n'),  // beyond any small-string buffer
  };
  for (const std::string& name : names) write_file(dir / name, 1);
  std::set<std::string> listed;
  for (const auto& [name, entry] : list(dir.path()).entries_by_name()) listed.insert(name);
  EXPECT_EQ(listed, names);
}

TEST(PosixDirectoryReaderTest, GivesModificationSecondsSince1970) {
  TempDir dir;
  struct Case {
    const char* name;
    int64_t seconds;
    uint64_t expected;
  };
  const Case cases[] = {
      {"before 1970", -1000, 0},
      {"one second before", -1, 0},
      {"the epoch", 0, 0},
      {"one second after", 1, 1},
      {"recent", 1'700'000'000, 1'700'000'000},
      {"beyond 2038", 1LL << 33, 1ULL << 33},
  };
  for (const Case& c : cases) {
    write_file(dir / c.name, 1);
    set_modified(dir / c.name, c.seconds);
  }
  const auto entries = list(dir.path()).entries_by_name();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(entries.at(c.name).modified_at_epoch_seconds, c.expected);
  }
}

TEST(PosixDirectoryReaderTest, ReadsALargeFolderInSeveralBatches) {
  TempDir dir(fast_temp_base());
  constexpr int kFiles = 4000;
  constexpr int kFolders = 100;
  for (int i = 0; i < kFiles; ++i)
    write_file(dir / ("file-with-a-longer-name-" + std::to_string(i)), 0);
  for (int i = 0; i < kFolders; ++i)
    ASSERT_EQ(::mkdir((dir / ("folder-" + std::to_string(i))).c_str(), 0755), 0);

  const Listing listing = list(dir.path());
  ASSERT_TRUE(listing.result.has_value());
  EXPECT_GT(listing.batches.size(), 1u);
  ASSERT_EQ(listing.progress.size(), listing.batches.size());
  uint64_t files = 0;
  uint64_t folders = 0;
  for (std::size_t i = 0; i < listing.batches.size(); ++i) {
    BatchCounts counted;
    for (const EntryMetadata& entry : listing.batches[i]) counted.add(entry);
    EXPECT_EQ(listing.progress[i].files, counted.files) << "batch " << i;
    EXPECT_EQ(listing.progress[i].folders, counted.folders) << "batch " << i;
    EXPECT_EQ(listing.progress[i].bytes, counted.bytes) << "batch " << i;
    files += counted.files;
    folders += counted.folders;
  }
  EXPECT_EQ(files, static_cast<uint64_t>(kFiles));
  EXPECT_EQ(folders, static_cast<uint64_t>(kFolders));
  EXPECT_EQ(listing.entries_by_name().size(), static_cast<std::size_t>(kFiles + kFolders));
}

TEST(PosixDirectoryReaderTest, AnEmptyFolderGivesOneEmptyBatch) {
  TempDir dir;
  const Listing listing = list(dir.path());
  ASSERT_TRUE(listing.result.has_value());
  ASSERT_EQ(listing.batches.size(), 1u);
  EXPECT_TRUE(listing.batches[0].empty());
  ASSERT_EQ(listing.progress.size(), 1u);
  EXPECT_EQ(listing.progress[0].files + listing.progress[0].folders + listing.progress[0].bytes,
            0u);
}

TEST(PosixDirectoryReaderTest, ANothingFirstReadEndsWithoutABatch) {
  TempDir dir;
  FakeSystem system;
  system.injected[Call::Read] = {0};
  const Listing listing = list(dir.path(), system);
  ASSERT_TRUE(listing.result.has_value());
  EXPECT_TRUE(listing.batches.empty());
  EXPECT_TRUE(listing.progress.empty());
}

TEST(PosixDirectoryReaderTest, StopsOnCancellationAndOnTheSinksRefusal) {
  TempDir dir(fast_temp_base());
  // Long names fill a 64 KiB listing buffer with few entries: these take three or more batches.
  for (int i = 0; i < 800; ++i) write_file(dir / (std::string(150, 'e') + std::to_string(i)), 0);
  struct Case {
    const char* name;
    bool cancelled;
    int accepted_events;
    int cancel_after_batches;
    std::size_t volume_events;
    std::size_t batches;
  };
  const Case cases[] = {
      {"cancelled on entry", true, INT_MAX, INT_MAX, 0, 0},
      {"cancelled after a batch", false, INT_MAX, 1, 1, 1},
      {"sink refuses the volume", false, 0, INT_MAX, 1, 0},
      {"sink refuses the first batch", false, 1, INT_MAX, 1, 1},
      {"sink refuses the second batch", false, 2, INT_MAX, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    ListOptions options;
    options.cancelled = c.cancelled;
    options.accepted_events = c.accepted_events;
    options.cancel_after_batches = c.cancel_after_batches;
    const Listing listing = list(dir.path(), system, options);
    ASSERT_FALSE(listing.result.has_value());
    EXPECT_EQ(listing.result.error(), directory_cancelled());
    EXPECT_EQ(listing.volume_events.size(), c.volume_events);
    EXPECT_EQ(listing.batches.size(), c.batches);
    EXPECT_EQ(listing.progress.size(), c.batches);
    EXPECT_EQ(system.calls[Call::Read], static_cast<int>(c.batches));
    if (c.cancelled) {
      EXPECT_EQ(system.calls[Call::OpenPath] + system.calls[Call::OpenAt], 0);
    }
  }
}

TEST(PosixDirectoryReaderTest, DecidesOnTheVolumeAsTheTableSays) {
  TempDir dir;
  write_file(dir / "file", 1);
  constexpr uint64_t kDevice = 42;
  struct Case {
    const char* name;
    bool query_file_system;
    std::optional<uint64_t> expected_volume;
    bool volume_event;
    FileSystemKind kind;
    bool listed;
  };
  const Case cases[] = {
      {"same volume", false, kDevice, false, FileSystemKind::Other, true},
      {"first folder", false, std::nullopt, true, FileSystemKind::Other, true},
      {"mounted below the root", false, kDevice + 1, true, FileSystemKind::Other, false},
      {"scan root", true, std::nullopt, true, FileSystemKind::ExFat, true},
      {"scan root on its volume", true, kDevice, true, FileSystemKind::ExFat, true},
      {"scan root moved", true, kDevice - 1, true, FileSystemKind::ExFat, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    system.device = kDevice;
    system.file_system = FileSystemKind::ExFat;
    const Listing listing =
        list(dir.path(), system,
             {.expected_volume = c.expected_volume, .query_file_system = c.query_file_system});
    ASSERT_TRUE(listing.result.has_value());
    ASSERT_EQ(listing.volume_events.size(), c.volume_event ? 1u : 0u);
    if (c.volume_event) {
      EXPECT_EQ(listing.volume_events[0].volume_serial, kDevice);
      EXPECT_EQ(listing.volume_events[0].file_system, c.kind);
    }
    EXPECT_TRUE(listing.volume_before_batches);
    EXPECT_EQ(listing.batches.size(), c.listed ? 1u : 0u);
    if (c.listed) {
      EXPECT_EQ(listing.batches[0].at(0).volume_serial, kDevice);
    }
  }
}

TEST(PosixDirectoryReaderTest, ListsFromManyThreadsAtOnce) {
  TempDir dir;
  for (int i = 0; i < 50; ++i) write_file(dir / ("file-" + std::to_string(i)), i);
  ASSERT_EQ(::symlink("file-1", (dir / "link").c_str()), 0);
  const auto expected = list(dir.path()).entries_by_name();
  std::vector<std::map<std::string, EntryMetadata>> seen(4);
  {
    std::vector<std::jthread> threads;
    for (auto& entries : seen) {
      threads.emplace_back([&] {
        FakeSystem system;
        for (int round = 0; round < 5; ++round)
          entries = list(dir.path(), system).entries_by_name();
      });
    }
  }
  for (const auto& entries : seen) {
    ASSERT_EQ(entries.size(), expected.size());
    for (const auto& [name, entry] : expected) {
      EXPECT_EQ(entries.at(name).file_id, entry.file_id) << name;
      EXPECT_EQ(kind_of(entries.at(name)), kind_of(entry)) << name;
    }
  }
}

TEST(PosixDirectoryReaderTest, OpensPathsLongerThanPathMax) {
  TempDir dir;
  const std::string component(200, 'd');
  std::string deep = dir.path();
  int parent = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (deep.size() <= 2 * PATH_MAX + 300) {
    ASSERT_EQ(::mkdirat(parent, component.c_str(), 0755), 0);
    const int child = ::openat(parent, component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(parent);
    parent = child;
    deep += "/" + component;
  }
  ::close(::openat(parent, "leaf", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  ::close(parent);

  FakeSystem system;
  const Listing listing = list(deep, system);
  ASSERT_TRUE(listing.result.has_value()) << to_string(listing.result.error());
  EXPECT_TRUE(listing.entries_by_name().contains("leaf"));
  // The parent in three pieces of less than PATH_MAX bytes, then the folder itself: not one call
  // per component.
  EXPECT_EQ(system.calls[Call::OpenPath], 3);
  EXPECT_EQ(system.calls[Call::OpenAt], 1);
  EXPECT_EQ(system.opened, system.closed);

  FakeSystem walking;
  walking.injected[Call::OpenPath] = {-ENOSYS, -ENOSYS};
  const Listing walked = list(deep, walking);
  ASSERT_TRUE(walked.result.has_value()) << to_string(walked.result.error());
  EXPECT_TRUE(walked.entries_by_name().contains("leaf"));
  EXPECT_GT(walking.calls[Call::OpenAt], 20);
  EXPECT_EQ(walking.opened, walking.closed);
}

TEST(PosixDirectoryReaderTest, FollowsNoLinkInThePath) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "real").c_str(), 0755), 0);
  write_file(dir / "real/file", 1);
  ASSERT_EQ(::symlink("real", (dir / "link").c_str()), 0);
  struct Case {
    const char* name;
    std::string path;
    bool without_openat2;
    DirectoryError expected;
  };
  const Case cases[] = {
      {"final link", dir / "link", false, os_error(ENOTDIR, 3)},
      {"final link, walked", dir / "link", true, os_error(ENOTDIR, 3)},
      {"link inside", dir / "link/.", false, os_error(ELOOP, std::nullopt)},
      {"link inside, walked", dir / "link/.", true, os_error(ENOTDIR, 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    if (c.without_openat2) system.injected[Call::OpenPath] = {-ENOSYS, -ENOSYS, -ENOSYS};
    const Listing listing = list(c.path, system);
    ASSERT_FALSE(listing.result.has_value());
    EXPECT_EQ(listing.result.error(), c.expected);
    EXPECT_TRUE(listing.batches.empty());
  }
  EXPECT_TRUE(list(dir / "real").result.has_value());
}

TEST(PosixDirectoryReaderTest, MapsErrorsToWindowsCodes) {
  TempDir dir;
  write_file(dir / "file", 1);
  struct Case {
    const char* name;
    std::string path;
    std::map<Call, std::deque<std::optional<int>>> injected;
    DirectoryError expected;
    std::size_t batches;
  };
  const Case cases[] = {
      {"missing folder", dir / "missing", {}, os_error(ENOENT, 2), 0},
      {"a file, not a folder", dir / "file", {}, os_error(ENOTDIR, 3), 0},
      {"empty path", "", {}, os_error(ENOENT, 2), 0},
      {"empty path, walked", "", {{Call::OpenPath, {-ENOSYS}}}, os_error(ENOENT, 2), 0},
      {"path with a NUL",
       dir.path() + std::string(1, '\0') + "x",
       {},
       os_error(EINVAL, std::nullopt),
       0},
      {"open denied",
       dir.path(),
       {{Call::OpenPath, {-EACCES}}, {Call::OpenAt, {-EACCES}}},
       os_error(EACCES, 5),
       0},
      {"open denied, not even examined",
       dir.path(),
       {{Call::OpenPath, {-EACCES}}, {Call::OpenAt, {-EACCES}}, {Call::DeviceAt, {-EACCES}}},
       os_error(EACCES, 5),
       0},
      {"parent not searchable",
       dir.path(),
       {{Call::OpenPath, {-EACCES, -EACCES}}},
       os_error(EACCES, 5),
       0},
      {"open not permitted",
       dir.path(),
       {{Call::OpenPath, {-EPERM, -EPERM}}, {Call::OpenAt, {std::nullopt, std::nullopt, -EPERM}}},
       os_error(EPERM, 5),
       0},
      {"open fails otherwise",
       dir.path(),
       {{Call::OpenPath, {-EIO}}},
       os_error(EIO, std::nullopt),
       0},
      {"device unreadable", dir.path(), {{Call::Device, {-EACCES}}}, os_error(EACCES, 5), 0},
      {"first read denied", dir.path(), {{Call::Read, {-EACCES}}}, os_error(EACCES, 5), 0},
      {"first read vanished", dir.path(), {{Call::Read, {-ENOENT}}}, os_error(ENOENT, 2), 0},
      {"first read fails otherwise",
       dir.path(),
       {{Call::Read, {-EIO}}},
       os_error(EIO, std::nullopt),
       0},
      {"later read denied",
       dir.path(),
       {{Call::Read, {std::nullopt, -EACCES}}},
       os_error(EACCES, std::nullopt),
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    system.injected = c.injected;
    const Listing listing = list(c.path, system);
    ASSERT_FALSE(listing.result.has_value());
    EXPECT_EQ(listing.result.error(), c.expected);
    EXPECT_EQ(listing.batches.size(), c.batches);
    // The folder's time is known when it was opened, or examined from its parent.
    const std::set<std::string_view> timed = {
        "open denied",         "open not permitted",         "first read denied",
        "first read vanished", "first read fails otherwise", "later read denied"};
    EXPECT_EQ(listing.own_times.size(), timed.contains(c.name) ? 1u : 0u);
  }
}

TEST(PosixDirectoryReaderTest, AFolderRemovedWhileListedKeepsWhatWasListed) {
  TempDir dir;
  write_file(dir / "file", 1);
  FakeSystem system;
  system.injected[Call::Read] = {std::nullopt, -ENOENT};
  const Listing listing = list(dir.path(), system);
  ASSERT_TRUE(listing.result.has_value()) << to_string(listing.result.error());
  ASSERT_EQ(listing.batches.size(), 1u);
  EXPECT_TRUE(listing.entries_by_name().contains("file"));
}

TEST(PosixDirectoryReaderTest, AFolderThatCannotBeOpenedIsStillJudgedByItsDevice) {
  TempDir dir;
  const uint64_t device = lstat_of(dir.path()).st_dev;
  struct Case {
    const char* name;
    std::optional<uint64_t> reported_device;
    bool query_file_system;
    bool mount_point;
  };
  const Case cases[] = {
      {"on another device: a mount point", device + 1, false, true},
      {"the root's own volume asked for", device + 1, true, true},
      {"on the same device: denied", device, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    system.injected[Call::OpenPath] = {-EACCES};
    system.injected[Call::OpenAt] = {-EACCES};
    system.device_at_result = c.reported_device;
    const Listing listing = list(
        dir.path(), system, {.expected_volume = device, .query_file_system = c.query_file_system});
    EXPECT_TRUE(listing.batches.empty());
    EXPECT_EQ(system.opened, system.closed);
    if (c.mount_point) {
      ASSERT_TRUE(listing.result.has_value()) << to_string(listing.result.error());
      ASSERT_EQ(listing.volume_events.size(), 1u);
      EXPECT_EQ(listing.volume_events[0].volume_serial, *c.reported_device);
      EXPECT_EQ(listing.volume_events[0].file_system, FileSystemKind::Other);
    } else {
      ASSERT_FALSE(listing.result.has_value());
      EXPECT_EQ(listing.result.error(), os_error(EACCES, 5));
      EXPECT_TRUE(listing.volume_events.empty());
    }
  }
}

TEST(PosixDirectoryReaderTest, RetriesInterruptedCalls) {
  TempDir dir;
  write_file(dir / "file", 3);
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("folder", (dir / "link").c_str()), 0);
  const auto expected = list(dir.path()).entries_by_name();
  for (const Call call :
       {Call::OpenPath, Call::Device, Call::Read, Call::Stat, Call::ReadLink, Call::Resolves}) {
    SCOPED_TRACE(static_cast<int>(call));
    FakeSystem system;
    system.injected[call] = {-EINTR, -EINTR};
    const Listing listing = list(dir.path(), system);
    ASSERT_TRUE(listing.result.has_value()) << to_string(listing.result.error());
    const auto entries = listing.entries_by_name();
    ASSERT_EQ(entries.size(), expected.size());
    for (const auto& [name, entry] : expected) {
      SCOPED_TRACE(name);
      EXPECT_EQ(kind_of(entries.at(name)), kind_of(entry));
      EXPECT_EQ(entries.at(name).is_directory, entry.is_directory);
      EXPECT_EQ(entries.at(name).file_id, entry.file_id);
    }
  }
  FakeSystem walking;
  walking.injected[Call::OpenPath] = {-ENOSYS, -ENOSYS};
  walking.injected[Call::OpenAt] = {-EINTR, std::nullopt, -EINTR};
  EXPECT_TRUE(list(dir.path(), walking).result.has_value());
}

TEST(PosixDirectoryReaderTest, HandlesEntriesThatCannotBeExamined) {
  TempDir dir;
  write_file(dir / "kept", 7);
  write_file(dir / "gone", 7);
  write_file(dir / "broken file", 7);
  ASSERT_EQ(::mkdir((dir / "broken folder").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("kept", (dir / "broken link").c_str()), 0);
  FakeSystem system;
  system.stat_errors = {{"gone", -ENOENT},
                        {"broken file", -EIO},
                        {"broken folder", -EOVERFLOW},
                        {"broken link", -EIO}};
  const Listing listing = list(dir.path(), system);
  ASSERT_TRUE(listing.result.has_value());
  const auto entries = listing.entries_by_name();
  EXPECT_FALSE(entries.contains("gone"));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_TRUE(entries.at("kept").file_id.has_value());

  struct Case {
    const char* name;
    std::size_t kind_index;
    bool is_directory;
  };
  for (const Case& c : {Case{"broken file", 0, false}, Case{"broken folder", 1, true},
                        Case{"broken link", 2, false}}) {
    SCOPED_TRACE(c.name);
    const EntryMetadata& entry = entries.at(c.name);
    EXPECT_EQ(entry.kind.index(), c.kind_index);
    EXPECT_EQ(entry.is_directory, c.is_directory);
    EXPECT_EQ(entry.logical_bytes, 0u);
    EXPECT_EQ(entry.size_on_disk_bytes, 0u);
    EXPECT_EQ(entry.modified_at_epoch_seconds, 0u);
    EXPECT_FALSE(entry.file_id.has_value());
  }
  EXPECT_EQ(std::get<LinkEntry>(entries.at("broken link").kind).link_target, "kept");
  ASSERT_EQ(listing.progress.size(), 1u);
  EXPECT_EQ(listing.progress[0].files, 3u);
  EXPECT_EQ(listing.progress[0].folders, 1u);
}

TEST(PosixDirectoryReaderTest, LeavesAnUnreadableLinkWithoutTarget) {
  TempDir dir;
  ASSERT_EQ(::symlink(std::string(3000, 't').c_str(), (dir / "long").c_str()), 0);
  FakeSystem system;
  const auto entries = list(dir.path(), system).entries_by_name();
  EXPECT_EQ(std::get<LinkEntry>(entries.at("long").kind).link_target, std::string(3000, 't'));

  // A size that says nothing about the text: the buffer grows until the text fits.
  system.stat_results["long"] = EntryStatus{EntryType::SymbolicLink, 0, 0, 0, 1, false};
  system.calls.clear();
  const auto grown = list(dir.path(), system).entries_by_name();
  EXPECT_EQ(std::get<LinkEntry>(grown.at("long").kind).link_target, std::string(3000, 't'));
  EXPECT_GT(system.calls[Call::ReadLink], 1);

  system.injected[Call::ReadLink] = {-EACCES};
  const auto unreadable = list(dir.path(), system).entries_by_name();
  const auto& link = std::get<LinkEntry>(unreadable.at("long").kind);
  EXPECT_EQ(link.link_kind, LinkKind::SymbolicLink);
  EXPECT_FALSE(link.link_target.has_value());
}

}  // namespace
}  // namespace ketterlin::scanner::posix
