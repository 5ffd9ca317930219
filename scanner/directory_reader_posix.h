// The POSIX directory reader's seam: the few system calls it makes, behind one small interface,
// so that tests can inject interrupted calls, denied opens, failing listings, vanishing entries
// and foreign volumes without root or special file systems. Only the POSIX reader and its tests
// include this header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <tl/expected.hpp>

#include "platform/os_string.h"
#include "scanner/directory_reader.h"
#include "storage/volume.h"

namespace ketterlin::scanner::posix {

// The type of an entry as statx or the listing record reports it.
enum class EntryType : uint8_t {
  Unknown,  // the listing did not say (DT_UNKNOWN)
  Regular,
  Directory,
  SymbolicLink,
  Other,  // fifo, socket, device
};

// What one statx of an entry says. Fields the file system did not fill stay at their defaults.
struct EntryStatus {
  EntryType type = EntryType::Unknown;
  uint64_t size = 0;
  uint64_t blocks = 0;  // 512-byte units
  int64_t modified_seconds = 0;
  std::optional<uint64_t> inode;
  bool compressed = false;
};

// What fstat says of a directory: the device that holds it and its modification time.
struct DirectoryStatus {
  uint64_t device = 0;
  int64_t modified_seconds = 0;
};

// The system calls of one listing. Every call answers the raw result: a non-negative value on
// success, or the negated errno on failure. EINTR is answered, not retried; the reader retries.
// The default implementations make the real calls; a test overrides the ones it needs to fake.
// Thread-safe: one instance serves all listings at once.
class DirectorySystem {
 public:
  // A parent descriptor that means the current directory (AT_FDCWD).
  static const int kCurrentDirectory;

  virtual ~DirectorySystem() = default;

  // Opens `path` (relative to `parent_fd`) as a directory without following a link in any
  // component (openat2 with RESOLVE_NO_SYMLINKS): for listing (O_RDONLY), or with `path_only`
  // for walking through it (O_PATH, which needs only search permission). A descriptor, or
  // -ENOSYS where the kernel lacks the call.
  virtual int open_without_links(int parent_fd, const char* path, bool path_only) const;
  // Opens the single component `name` below `parent_fd` as a directory, a final link not followed
  // (O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, with O_RDONLY or, with `path_only`, O_PATH).
  virtual int open_directory_at(int parent_fd, const char* name, bool path_only) const;
  // The status of `name` below `parent_fd`, a final link not followed and no automount
  // triggered (fstatat).
  virtual int status_at(int parent_fd, const char* name, DirectoryStatus& status) const;
  virtual int close(int fd) const;
  // The status of the open directory `fd` (fstat).
  virtual int status_of(int fd, DirectoryStatus& status) const;
  // The kind of file system that holds `fd` (platform::file_system_kind_of_descriptor); Other
  // when it cannot be told. Never fails.
  virtual storage::FileSystemKind file_system_of(int fd) const;
  // One getdents64: the number of bytes of records written into `buffer`, 0 at the end.
  virtual std::ptrdiff_t read_entries(int fd, std::byte* buffer, std::size_t size) const;
  // One statx of `name` below `directory_fd`, links not followed, automounts not triggered.
  virtual int stat_entry(int directory_fd, const char* name, EntryStatus& status) const;
  // readlinkat: the number of bytes of the link text written into `buffer` (not terminated).
  virtual std::ptrdiff_t read_link(int directory_fd, const char* name, char* buffer,
                                   std::size_t size) const;
  // Whether `name` below `directory_fd`, links followed, is a directory: 1 or 0.
  virtual int resolves_to_directory(int directory_fd, const char* name) const;
};

// The real system calls.
const DirectorySystem& real_directory_system();

// read_directory, making its system calls through `system`.
[[nodiscard]] tl::expected<void, DirectoryError> read_directory_with(
    const DirectorySystem& system, platform::OsStringView directory_path,
    std::optional<uint64_t> expected_volume, bool query_file_system,
    const std::atomic<bool>& cancel, const ProgressCallback& progress, const DirectorySink& sink);

// The Windows error code that stands for `errno_value` in a DirectoryError: 5 for EACCES and
// EPERM, 2 for ENOENT, 3 for ENOTDIR; none for anything else.
std::optional<uint32_t> win32_code_for_errno(int errno_value);

}  // namespace ketterlin::scanner::posix
