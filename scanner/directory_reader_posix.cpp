// The directory reader on POSIX systems (Linux): getdents64 batches and one statx per entry that
// is not a directory.
//
// How a listing goes
// ------------------
// The directory is opened with O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC and without
// following a link in any component of its path: the traversal never descends through links, so
// every component is a real directory, and a link found there means the tree changed under us.
// openat2 with RESOLVE_NO_SYMLINKS does that in one call. A path of PATH_MAX bytes or more, or one
// whose direct opening is refused, is opened below its parent instead, and the parent is walked
// with O_PATH, which needs search permission only (as Windows' traverse checking allows): in
// pieces shorter than PATH_MAX, each one openat2 relative to the piece before, or one component
// at a time with openat where the kernel lacks openat2.
//
// The directory's st_dev is the listing's volume serial: a file system mounted below the scan
// root shows up as a folder on another device, which the shared volume check (decide_volume)
// reports to the caller instead of listing it, as the Windows reader does for a volume found
// behind a folder. A folder that may not be opened is examined from its parent, so that a mount
// point stays a mount point whatever its permissions. The file-system kind is read (fstatfs,
// plus the mount table for FUSE, by the platform layer) only when the caller asks, for the scan
// root.
//
// A directory removed while it is listed answers ENOENT to its next getdents64: the listing ends
// there with what it had delivered, as a Windows listing would, whose open handle keeps the
// directory listable until it is closed.
//
// Each batch is one getdents64 call into a 64 KiB buffer. "." and ".." produce nothing; a buffer
// that held only them is still delivered, as an empty batch. A call that answers 0 ends the
// listing. Every record but a directory's then costs exactly one statx relative to the directory
// descriptor (links not followed, automounts not triggered, only the fields we use): size,
// allocated blocks, modification time, inode and the compressed attribute. Links cost two more
// calls, one to read their text and one to learn whether they resolve to a directory. Of a
// directory the tree needs only its modification time, which its own listing reads anyway (the
// fstat of the volume check, or the fstatat from its parent when it cannot be opened) and sends as
// an OwnTime event: a record whose type says directory costs nothing more. A record of unknown
// type is examined. An entry that vanished between
// the listing and its statx is skipped; one whose statx fails otherwise is kept with the type the
// listing record gave it, sizes 0 and no identity.
//
// Mapping onto the Windows reader's rules
// ---------------------------------------
// - the first getdents64 answering 0 is the "no more files" of a first query: success, nothing
//   delivered; an error of the first getdents64, like one of opening the directory or reading its
//   device, keeps its Windows-equivalent code; an error of a later getdents64 carries none;
// - the message is the system's text with " (os error N)", N being errno;
// - file_id is the inode widened like a 64-bit file identifier; there is no listing method
//   without identifiers, so file_id is absent only for directories and when statx failed or gave
//   no inode;
// - compressed comes from STATX_ATTR_COMPRESSED; sparse is set for a regular file whose
//   allocated size is below its size while it is not compressed (the size of a directory or a
//   link is no data size, so the test means nothing there); cloudOnly and deduplicated have no
//   equivalent and are never set;
// - every link is a symbolic link: Linux has no junctions or mount-point reparse points.
//
// System calls go through DirectorySystem so that tests can inject faults; interrupted calls
// (EINTR) are retried here, around every call but close.
#include "scanner/directory_reader_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "descriptor_file_system.h"
#include "platform/os_error.h"

namespace ketterlin::scanner::posix {
namespace {

// Layout of a linux_dirent64 record: d_ino (8 bytes), d_off (8), d_reclen (2), d_type (1), then
// the NUL-terminated name.
constexpr std::size_t kRecordLengthOffset = 16;
constexpr std::size_t kRecordTypeOffset = 18;
constexpr std::size_t kRecordNameOffset = 19;

// The longest link text read; longer ones are left without a target.
constexpr std::size_t kMaxLinkTextBytes = 1 << 20;

template <class Call>
auto retry_interrupted(Call call) {
  for (;;) {
    auto result = call();
    if (result != -EINTR) return result;
  }
}

DirectoryError error_from_errno(int errno_value, bool keep_code) {
  return DirectoryError::os(platform::OsError{static_cast<uint32_t>(errno_value)},
                            keep_code ? win32_code_for_errno(errno_value) : std::nullopt);
}

// An open descriptor, closed through the system that opened it when dropped.
class OwnedDescriptor {
 public:
  OwnedDescriptor(const DirectorySystem& system, int fd) : system_(&system), fd_(fd) {}
  OwnedDescriptor(OwnedDescriptor&& other) noexcept
      : system_(other.system_), fd_(std::exchange(other.fd_, -1)) {}
  OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept {
    std::swap(system_, other.system_);
    std::swap(fd_, other.fd_);
    return *this;
  }
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
  // A failed close is ignored: the descriptor is released either way on Linux.
  ~OwnedDescriptor() {
    if (fd_ >= 0) system_->close(fd_);
  }

  int get() const { return fd_; }

 private:
  const DirectorySystem* system_;
  int fd_;
};

// Why a directory could not be opened: errno, and the device that holds the directory when its
// parent could be opened and the directory itself examined.
struct OpenFailure {
  int error = 0;
  std::optional<DirectoryStatus> status;  // of the directory, when it was examined from its parent
};

// Opens the directory `path` below `parent` (a descriptor, or the current directory) one
// component at a time, no link followed, each component only walked through (O_PATH).
tl::expected<OwnedDescriptor, int> walk_components(const DirectorySystem& system, int parent,
                                                   std::string_view path) {
  std::optional<OwnedDescriptor> current;
  if (path.starts_with('/')) {
    const int fd = retry_interrupted([&] { return system.open_directory_at(parent, "/", true); });
    if (fd < 0) return tl::unexpected(-fd);
    current.emplace(system, fd);
  }
  std::string component;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) {
      component.assign(path.substr(start, end - start));
      const int from = current ? current->get() : parent;
      const int fd = retry_interrupted(
          [&] { return system.open_directory_at(from, component.c_str(), true); });
      if (fd < 0) return tl::unexpected(-fd);
      current.emplace(system, fd);
    }
    start = end + 1;
  }
  if (!current) {
    const int fd = retry_interrupted([&] { return system.open_directory_at(parent, ".", true); });
    if (fd < 0) return tl::unexpected(-fd);
    current.emplace(system, fd);
  }
  return std::move(*current);
}

// Opens the directory `path` only to walk through it (O_PATH), no link followed: in pieces of
// less than PATH_MAX bytes, each one openat2 relative to the piece before, so that a folder of
// any depth costs about its length divided by PATH_MAX calls; one component at a time where the
// kernel lacks openat2.
tl::expected<OwnedDescriptor, int> open_walkable(const DirectorySystem& system,
                                                 std::string_view path) {
  constexpr std::size_t kMaxPiece = PATH_MAX - 1;
  std::optional<OwnedDescriptor> current;
  std::string piece;
  while (!path.empty()) {
    std::size_t length = path.size();
    if (length > kMaxPiece) {
      // A component is at most NAME_MAX bytes, so a separator lies within any PATH_MAX bytes.
      length = path.rfind('/', kMaxPiece);
      if (length == std::string_view::npos || length == 0) return tl::unexpected(ENAMETOOLONG);
    }
    piece.assign(path.substr(0, length));
    path.remove_prefix(length);
    while (path.starts_with('/')) path.remove_prefix(1);
    const int from = current ? current->get() : DirectorySystem::kCurrentDirectory;
    const int fd =
        retry_interrupted([&] { return system.open_without_links(from, piece.c_str(), true); });
    if (fd == -ENOSYS || fd == -EPERM) {
      // Without openat2 (ENOSYS, or EPERM from a filter that blocks unknown calls) the rest is
      // walked one component at a time, which gives the true error if there is one.
      auto walked =
          walk_components(system, from, piece + (path.empty() ? "" : "/") + std::string(path));
      if (!walked) return walked;
      return std::move(*walked);
    }
    if (fd < 0) return tl::unexpected(-fd);
    current.emplace(system, fd);
  }
  if (!current) return tl::unexpected(ENOENT);  // an empty path names nothing
  return std::move(*current);
}

// Opens the directory to list: the owned descriptor, or why not. A path shorter than PATH_MAX
// takes one openat2; a longer one, or one whose direct opening was refused, is opened below its
// parent, which is walked with search permission only, so that a folder below ancestors that
// may be searched but not read can still be listed, and a folder that may not be opened can
// still be examined (a mount point is a mount point whether or not this user may open it).
tl::expected<OwnedDescriptor, OpenFailure> open_directory(const DirectorySystem& system,
                                                          platform::OsStringView directory_path) {
  // The system reads a path up to its first NUL: a path holding one names some other directory.
  if (directory_path.find('\0') != platform::OsStringView::npos) {
    return tl::unexpected(OpenFailure{EINVAL, std::nullopt});
  }
  std::string_view path(directory_path);
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  if (path.empty())
    return tl::unexpected(OpenFailure{ENOENT, std::nullopt});  // an empty path names nothing
  if (path.size() < PATH_MAX) {
    const std::string whole(path);
    const int fd = retry_interrupted([&] {
      return system.open_without_links(DirectorySystem::kCurrentDirectory, whole.c_str(), false);
    });
    if (fd >= 0) return OwnedDescriptor(system, fd);
    if (fd != -ENOSYS && fd != -EPERM && fd != -EACCES && fd != -ENAMETOOLONG) {
      return tl::unexpected(OpenFailure{-fd, std::nullopt});
    }
  }
  const std::size_t cut = path.rfind('/');
  const std::string name(cut == std::string_view::npos ? path : path.substr(cut + 1));
  std::optional<OwnedDescriptor> parent;
  if (cut != std::string_view::npos) {
    auto walked = open_walkable(system, cut == 0 ? std::string_view("/") : path.substr(0, cut));
    if (!walked) return tl::unexpected(OpenFailure{walked.error(), std::nullopt});
    parent.emplace(std::move(*walked));
  }
  const int parent_fd = parent ? parent->get() : DirectorySystem::kCurrentDirectory;
  if (name.empty()) {  // the path is "/"
    const int fd =
        retry_interrupted([&] { return system.open_directory_at(parent_fd, ".", false); });
    if (fd < 0) return tl::unexpected(OpenFailure{-fd, std::nullopt});
    return OwnedDescriptor(system, fd);
  }
  const int fd =
      retry_interrupted([&] { return system.open_directory_at(parent_fd, name.c_str(), false); });
  if (fd >= 0) return OwnedDescriptor(system, fd);
  OpenFailure failure{-fd, std::nullopt};
  DirectoryStatus status;
  if (retry_interrupted([&] { return system.status_at(parent_fd, name.c_str(), status); }) == 0) {
    failure.status = status;
  }
  return tl::unexpected(failure);
}

EntryType type_from_listing(uint8_t d_type) {
  switch (d_type) {
    case DT_REG:
      return EntryType::Regular;
    case DT_DIR:
      return EntryType::Directory;
    case DT_LNK:
      return EntryType::SymbolicLink;
    case DT_UNKNOWN:
      return EntryType::Unknown;
    default:
      return EntryType::Other;
  }
}

uint64_t allocated_bytes(uint64_t blocks) {
  constexpr uint64_t kBlockBytes = 512;
  return blocks > std::numeric_limits<uint64_t>::max() / kBlockBytes
             ? std::numeric_limits<uint64_t>::max()
             : blocks * kBlockBytes;
}

FileId file_id_from_inode(uint64_t inode) {
  FileId id{};
  for (std::size_t i = 0; i < 8; ++i) id[i] = static_cast<uint8_t>(inode >> (8 * i));
  return id;
}

// The text of the link `name`, as stored; nullopt when it cannot be read.
std::optional<platform::OsString> read_link_target(const DirectorySystem& system, int directory_fd,
                                                   const char* name, uint64_t size_hint) {
  std::size_t capacity = size_hint > 0 && size_hint < kMaxLinkTextBytes ? size_hint + 1 : 256;
  platform::OsString text;
  while (capacity <= kMaxLinkTextBytes) {
    text.resize(capacity);
    const std::ptrdiff_t length = retry_interrupted(
        [&] { return system.read_link(directory_fd, name, text.data(), text.size()); });
    if (length < 0) return std::nullopt;
    // A result that fills the buffer may have been cut short.
    if (static_cast<std::size_t>(length) < capacity) {
      text.resize(static_cast<std::size_t>(length));
      return text;
    }
    capacity *= 2;
  }
  return std::nullopt;
}

// Fills `entry` from one listing record. False when the entry vanished before its statx.
bool decode_entry(const DirectorySystem& system, int directory_fd, const char* name,
                  std::size_t name_length, uint8_t d_type, EntryMetadata& entry) {
  if (d_type == DT_DIR) {
    // Its time comes with its own listing; nothing else of a directory's status is used.
    entry.name.assign(name, name_length);
    entry.kind = DirectoryEntry{};
    entry.is_directory = true;
    return true;
  }
  EntryStatus status;
  const int stat_result =
      retry_interrupted([&] { return system.stat_entry(directory_fd, name, status); });
  if (stat_result == -ENOENT) return false;

  entry.name.assign(name, name_length);
  EntryType type = type_from_listing(d_type);
  if (stat_result >= 0) {
    if (status.type != EntryType::Unknown) type = status.type;
    entry.logical_bytes = status.size;
    entry.size_on_disk_bytes = allocated_bytes(status.blocks);
    entry.modified_at_epoch_seconds =
        status.modified_seconds > 0 ? static_cast<uint64_t>(status.modified_seconds) : 0;
    if (status.inode) entry.file_id = file_id_from_inode(*status.inode);
    if (status.compressed) {
      entry.flags |= kCompressed;
    } else if (type == EntryType::Regular && entry.size_on_disk_bytes < entry.logical_bytes) {
      entry.flags |= kSparse;
    }
  }

  switch (type) {
    case EntryType::Directory:
      entry.kind = DirectoryEntry{};
      entry.is_directory = true;
      break;
    case EntryType::SymbolicLink:
      entry.kind = LinkEntry{LinkKind::SymbolicLink,
                             read_link_target(system, directory_fd, name, status.size)};
      entry.is_directory =
          retry_interrupted([&] { return system.resolves_to_directory(directory_fd, name); }) == 1;
      break;
    case EntryType::Regular:
    case EntryType::Other:
    case EntryType::Unknown:
      entry.kind = FileEntry{};
      break;
  }
  return true;
}

// One record of a getdents64 buffer, or nothing when the record is malformed.
struct Record {
  std::size_t length = 0;
  const char* name = nullptr;
  std::size_t name_length = 0;
  uint8_t d_type = 0;
};

std::optional<Record> record_at(const std::byte* records, std::size_t size, std::size_t offset) {
  if (size - offset <= kRecordNameOffset) return std::nullopt;
  uint16_t length = 0;
  std::memcpy(&length, records + offset + kRecordLengthOffset, sizeof length);
  if (length <= kRecordNameOffset || length > size - offset) return std::nullopt;
  Record record;
  record.length = length;
  record.name = reinterpret_cast<const char*>(records + offset + kRecordNameOffset);
  const void* terminator = std::memchr(record.name, '\0', length - kRecordNameOffset);
  if (terminator == nullptr) return std::nullopt;
  record.name_length = static_cast<std::size_t>(static_cast<const char*>(terminator) - record.name);
  record.d_type = static_cast<uint8_t>(records[offset + kRecordTypeOffset]);
  return record;
}

bool is_dot_or_dot_dot(const Record& record) {
  const std::string_view name(record.name, record.name_length);
  return name == "." || name == "..";
}

// Turns the `size` bytes of records into entries of one batch, counted into `counts`.
EntriesEvent decode_batch(const DirectorySystem& system, int directory_fd, uint64_t volume_serial,
                          const std::byte* records, std::size_t size, BatchCounts& counts) {
  std::size_t record_count = 0;
  std::size_t offset = 0;
  while (const auto record = record_at(records, size, offset)) {
    offset += record->length;
    ++record_count;
  }
  EntriesEvent batch;
  batch.reserve(record_count);
  offset = 0;
  while (const auto record = record_at(records, size, offset)) {
    offset += record->length;
    if (is_dot_or_dot_dot(*record)) continue;
    EntryMetadata& entry = batch.emplace_back();
    entry.volume_serial = volume_serial;
    if (!decode_entry(system, directory_fd, record->name, record->name_length, record->d_type,
                      entry)) {
      batch.pop_back();
      continue;
    }
    counts.add(entry);
  }
  return batch;
}

// The listing loop: one batch per getdents64 until it answers 0.
tl::expected<void, DirectoryError> list_entries(const DirectorySystem& system, int directory_fd,
                                                uint64_t volume_serial,
                                                platform::OsStringView directory_path,
                                                const std::atomic<bool>& cancel,
                                                const ProgressCallback& progress,
                                                const DirectorySink& sink) {
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(kListingBufferBytes);
  for (bool first_batch = true;; first_batch = false) {
    if (cancel.load(std::memory_order_acquire)) return tl::unexpected(directory_cancelled());
    const std::ptrdiff_t filled = retry_interrupted(
        [&] { return system.read_entries(directory_fd, buffer.get(), kListingBufferBytes); });
    // A directory removed while it is listed answers ENOENT from then on: what was listed
    // stands, as it would on Windows, where the open handle keeps the directory listable.
    if (filled == -ENOENT && !first_batch) return {};
    if (filled < 0) return tl::unexpected(error_from_errno(static_cast<int>(-filled), first_batch));
    if (filled == 0) return {};
    BatchCounts counts;
    EntriesEvent batch = decode_batch(system, directory_fd, volume_serial, buffer.get(),
                                      static_cast<std::size_t>(filled), counts);
    progress(directory_path, counts);
    if (!sink(DirectoryEvent(std::move(batch)))) return tl::unexpected(directory_cancelled());
  }
}

}  // namespace

const int DirectorySystem::kCurrentDirectory = AT_FDCWD;

int DirectorySystem::open_without_links(int parent_fd, const char* path, bool path_only) const {
  static std::atomic<bool> openat2_missing{false};
  if (openat2_missing.load(std::memory_order_relaxed)) return -ENOSYS;
  open_how how{};
  how.flags = (path_only ? O_PATH : O_RDONLY) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long fd = syscall(SYS_openat2, parent_fd, path, &how, sizeof how);
  if (fd >= 0) return static_cast<int>(fd);
  if (errno == ENOSYS || errno == E2BIG) {
    openat2_missing.store(true, std::memory_order_relaxed);
    return -ENOSYS;
  }
  return -errno;
}

int DirectorySystem::open_directory_at(int parent_fd, const char* name, bool path_only) const {
  const int fd = ::openat(parent_fd, name,
                          (path_only ? O_PATH : O_RDONLY) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

namespace {
DirectoryStatus directory_status(const struct stat& status) {
  return DirectoryStatus{static_cast<uint64_t>(status.st_dev),
                         static_cast<int64_t>(status.st_mtim.tv_sec)};
}
}  // namespace

int DirectorySystem::status_at(int parent_fd, const char* name, DirectoryStatus& result) const {
  struct stat status {};
  if (::fstatat(parent_fd, name, &status, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0) {
    return -errno;
  }
  result = directory_status(status);
  return 0;
}

int DirectorySystem::close(int fd) const { return ::close(fd) == 0 ? 0 : -errno; }

int DirectorySystem::status_of(int fd, DirectoryStatus& result) const {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return -errno;
  result = directory_status(status);
  return 0;
}

storage::FileSystemKind DirectorySystem::file_system_of(int fd) const {
  return platform::file_system_kind_of_descriptor(fd);
}

std::ptrdiff_t DirectorySystem::read_entries(int fd, std::byte* buffer, std::size_t size) const {
  const long filled = syscall(SYS_getdents64, fd, buffer, size);
  return filled >= 0 ? filled : -errno;
}

int DirectorySystem::stat_entry(int directory_fd, const char* name, EntryStatus& status) const {
  struct statx result {};
  if (::statx(directory_fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
              STATX_TYPE | STATX_SIZE | STATX_BLOCKS | STATX_MTIME | STATX_INO, &result) != 0) {
    return -errno;
  }
  if (result.stx_mask & STATX_TYPE) {
    switch (result.stx_mode & S_IFMT) {
      case S_IFREG:
        status.type = EntryType::Regular;
        break;
      case S_IFDIR:
        status.type = EntryType::Directory;
        break;
      case S_IFLNK:
        status.type = EntryType::SymbolicLink;
        break;
      default:
        status.type = EntryType::Other;
        break;
    }
  }
  if (result.stx_mask & STATX_SIZE) status.size = result.stx_size;
  if (result.stx_mask & STATX_BLOCKS) status.blocks = result.stx_blocks;
  if (result.stx_mask & STATX_MTIME) status.modified_seconds = result.stx_mtime.tv_sec;
  if (result.stx_mask & STATX_INO) status.inode = result.stx_ino;
  status.compressed = (result.stx_attributes & STATX_ATTR_COMPRESSED) != 0;
  return 0;
}

std::ptrdiff_t DirectorySystem::read_link(int directory_fd, const char* name, char* buffer,
                                          std::size_t size) const {
  const ssize_t length = ::readlinkat(directory_fd, name, buffer, size);
  return length >= 0 ? length : -errno;
}

int DirectorySystem::resolves_to_directory(int directory_fd, const char* name) const {
  struct stat status {};
  // Following the link must not mount what it leads to (an automounted or network file system).
  if (::fstatat(directory_fd, name, &status, AT_NO_AUTOMOUNT) != 0) return -errno;
  return S_ISDIR(status.st_mode) ? 1 : 0;
}

const DirectorySystem& real_directory_system() {
  // Never destroyed: when the helper ends its run with an error, the scan it abandoned may still
  // be listing on other threads while the process exits and runs static destructors.
  static const DirectorySystem* const system = new DirectorySystem;
  return *system;
}

std::optional<uint32_t> win32_code_for_errno(int errno_value) {
  switch (errno_value) {
    case EACCES:
    case EPERM:
      return platform::kWindowsAccessDenied;
    case ENOENT:
      return platform::kWindowsFileNotFound;
    case ENOTDIR:
      return platform::kWindowsPathNotFound;
    default:
      return std::nullopt;
  }
}

tl::expected<void, DirectoryError> read_directory_with(
    const DirectorySystem& system, platform::OsStringView directory_path,
    std::optional<uint64_t> expected_volume, bool query_file_system,
    const std::atomic<bool>& cancel, const ProgressCallback& progress, const DirectorySink& sink) {
  if (cancel.load(std::memory_order_acquire)) return tl::unexpected(directory_cancelled());

  const auto report_time = [&](const DirectoryStatus& status) {
    const uint64_t seconds =
        status.modified_seconds > 0 ? static_cast<uint64_t>(status.modified_seconds) : 0;
    return sink(DirectoryEvent(OwnTimeEvent{seconds}));
  };
  auto directory = open_directory(system, directory_path);
  if (!directory) {
    const OpenFailure& failure = directory.error();
    if (failure.status && !report_time(*failure.status)) {
      return tl::unexpected(directory_cancelled());
    }
    // A directory on another device than expected is that device's mount point, whether or not
    // it may be opened: reported as such, not as an access error.
    if (failure.status && expected_volume && failure.status->device != *expected_volume) {
      const VolumeDecision decision = decide_volume(
          failure.status->device, expected_volume,
          query_file_system ? std::optional(storage::FileSystemKind::Other) : std::nullopt);
      if (decision.event && !sink(DirectoryEvent(*decision.event))) {
        return tl::unexpected(directory_cancelled());
      }
      return {};
    }
    return tl::unexpected(error_from_errno(failure.error, true));
  }

  DirectoryStatus status;
  const int status_result =
      retry_interrupted([&] { return system.status_of(directory->get(), status); });
  if (status_result < 0) return tl::unexpected(error_from_errno(-status_result, true));
  if (!report_time(status)) return tl::unexpected(directory_cancelled());
  const uint64_t volume_serial = status.device;

  std::optional<storage::FileSystemKind> file_system;
  if (query_file_system) file_system = system.file_system_of(directory->get());
  VolumeDecision decision = decide_volume(volume_serial, expected_volume, file_system);
  if (decision.event && !sink(DirectoryEvent(*decision.event))) {
    return tl::unexpected(directory_cancelled());
  }
  if (!decision.list) return {};
  return list_entries(system, directory->get(), volume_serial, directory_path, cancel, progress,
                      sink);
}

}  // namespace ketterlin::scanner::posix

namespace ketterlin::scanner {

tl::expected<void, DirectoryError> read_directory(platform::OsStringView directory_path,
                                                  std::optional<uint64_t> expected_volume,
                                                  bool query_file_system,
                                                  const std::atomic<bool>& cancel,
                                                  const ProgressCallback& progress,
                                                  const DirectorySink& sink) {
  return posix::read_directory_with(posix::real_directory_system(), directory_path, expected_volume,
                                    query_file_system, cancel, progress, sink);
}

}  // namespace ketterlin::scanner
