// The directory reader: lists exactly one directory in large batches straight from the file
// system (one system call per batch), turning each raw record into an EntryMetadata with name,
// identity, sizes, modification time, kind, link target and flags. No entry is opened to learn
// its metadata, except links, which are classified and have their targets read.
//
// read_directory is implemented once per platform: directory_reader_win32.cpp reads the
// directory-information classes of GetFileInformationByHandleEx; directory_reader_posix.cpp reads
// getdents64 batches and one statx per entry that is not a directory.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <tl/expected.hpp>

#include "platform/os_error.h"
#include "platform/os_string.h"
#include "storage/volume.h"

namespace ketterlin::scanner {

// Numbered as the tree model numbers its first four node kinds.
enum class LinkKind : uint8_t {
  SymbolicLink = 0,
  Junction = 1,
  VolumeMountPoint = 2,
  OtherLink = 3,
};

// Bits of EntryMetadata::flags; the bits 16 to 128 are never set.
enum EntryFlag : uint8_t {
  kCloudOnly = 1,
  kCompressed = 2,
  kSparse = 4,
  kDeduplicated = 8,
};

struct FileEntry {};
struct DirectoryEntry {};
struct LinkEntry {
  LinkKind link_kind = LinkKind::OtherLink;
  std::optional<platform::OsString> link_target;  // absent when it could not be read
};
// File, directory or link. An entry that is not a link is a Directory when is_directory is set.
using EntryKind = std::variant<FileEntry, DirectoryEntry, LinkEntry>;

using FileId = std::array<uint8_t, 16>;

// One listed entry. "." and ".." never produce one.
struct EntryMetadata {
  std::optional<FileId> file_id;  // absent when the listing method carries no identifier
  uint64_t volume_serial = 0;     // the listed directory's volume, same for every entry
  platform::OsString name;
  EntryKind kind;
  uint64_t logical_bytes = 0;
  uint64_t size_on_disk_bytes = 0;
  uint64_t modified_at_epoch_seconds = 0;  // 0 when unknown or before 1970
  bool is_directory = false;               // true for directory links too
  uint8_t flags = 0;                       // EntryFlag bits, computed for links too
};

// What the sink receives: at most one Volume event, always before any batch, then one Entries
// event per listing query that succeeded (possibly empty).
//
// A reader whose listing records carry no modification time for directories (POSIX: the
// directory entries of a batch are not examined one by one, and their time stays 0) sends one
// OwnTime event instead, for the listed directory itself, before any batch; and for a directory
// that cannot be opened but could be examined from its parent, before the failure. The Windows
// reader never sends one.
struct VolumeEvent {
  uint64_t volume_serial = 0;
  storage::FileSystemKind file_system = storage::FileSystemKind::Other;
};
struct OwnTimeEvent {
  uint64_t modified_at_epoch_seconds = 0;  // 0 when before 1970
};
using EntriesEvent = std::vector<EntryMetadata>;
using DirectoryEvent = std::variant<VolumeEvent, EntriesEvent, OwnTimeEvent>;

// Counts of one batch: entries without and with the directory attribute, and the on-disk bytes
// of the former (saturating at 2^64 - 1).
struct BatchCounts {
  uint64_t files = 0;
  uint64_t folders = 0;
  uint64_t bytes = 0;

  void add(const EntryMetadata& entry);
};

enum class DirectoryErrorKind : uint8_t {
  Cancelled,  // the cancel flag was seen or the sink stopped the listing: "Scan cancelled"
  Os,         // a POSIX system call failed with `os_error` (errno)
  Windows,    // a Windows system call failed with `hresult`, described by `system_text`
};

// A listing failure. Only the fields of its kind are meaningful. `win32_code` is present for
// errors of a first query or of opening the directory, as the Windows error code (on POSIX the
// equivalent: 5 for EACCES/EPERM, 2 for ENOENT, 3 for ENOTDIR, none otherwise).
struct DirectoryError {
  DirectoryErrorKind kind = DirectoryErrorKind::Cancelled;
  platform::OsError os_error;          // Os
  uint32_t hresult = 0;                // Windows: HRESULT_FROM_WIN32 of the call's last error
  std::string system_text;             // Windows: the system's text for `hresult`, trailing
                                       // blanks removed; empty when the system has none
  std::optional<uint32_t> win32_code;  // any kind but Cancelled, as said above

  static DirectoryError os(platform::OsError error, std::optional<uint32_t> win32_code);
  static DirectoryError windows(uint32_t hresult, std::string system_text,
                                std::optional<uint32_t> win32_code);

  friend bool operator==(const DirectoryError&, const DirectoryError&) = default;
};

// The display text: "Scan cancelled"; for Os the system error's text, "<description> (os error
// N)"; for Windows "<system text> (0xXXXXXXXX)", the HRESULT in eight upper-case hexadecimal
// digits, or the HRESULT alone when there is no system text.
std::string to_string(const DirectoryError& error);

// The reader's own error: the listing was stopped by the cancel flag or by the sink.
DirectoryError directory_cancelled();

// The volume check every reader makes after opening the directory: the Volume event to send
// before anything else (if any), and whether the directory is listed at all.
struct VolumeDecision {
  std::optional<VolumeEvent> event;
  bool list = true;
};

// Decides for a directory on volume `volume_serial`. `file_system` is the kind read from the
// volume, present exactly when the caller was asked to read it (query_file_system); without it a
// Volume event says Other. No event is sent only when no kind was read and `expected_volume`
// matches; a directory whose volume differs from a present `expected_volume` is not listed.
[[nodiscard]] VolumeDecision decide_volume(uint64_t volume_serial,
                                           std::optional<uint64_t> expected_volume,
                                           std::optional<storage::FileSystemKind> file_system);

inline constexpr std::size_t kListingBufferBytes = 65536;

// Called once per batch, before the sink sees it, with the directory path and the batch's counts.
using ProgressCallback = std::function<void(platform::OsStringView, const BatchCounts&)>;
// Receives each event; answering false stops the listing ("Scan cancelled").
using DirectorySink = std::function<bool(DirectoryEvent&&)>;

// Lists `directory_path` (the scan's canonical root joined with the folder's relative path; also
// the base of each link's full path).
// - `expected_volume`: when present and different from the directory's volume, the directory is
//   reported (Volume event) but not listed, and the call succeeds.
// - `query_file_system`: read the volume's file-system kind (the scan root only); otherwise the
//   Volume event, when one is sent, says Other.
// - `cancel`: only read; set on entry or before a query gives "Scan cancelled".
// All callbacks run synchronously on the calling thread. Thread-safe: many calls may run at once
// on different threads.
[[nodiscard]] tl::expected<void, DirectoryError> read_directory(
    platform::OsStringView directory_path, std::optional<uint64_t> expected_volume,
    bool query_file_system, const std::atomic<bool>& cancel, const ProgressCallback& progress,
    const DirectorySink& sink);

}  // namespace ketterlin::scanner
