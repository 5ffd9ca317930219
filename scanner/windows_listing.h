// The Windows directory reader's algorithm, written against a small seam of system calls so that
// it runs on any host: tests drive it with a scripted file system (refused information classes,
// failing continuations, foreign volumes, links), directory_reader_win32.cpp with the real calls.
//
// One listing: open the directory, read its volume serial (and, for the scan root, its file
// system), decide from the expected volume whether to list it, then try the three listing methods
// in order on the same handle. Each method queries its restart class once and its continuation
// class after that, into its own 64 KiB buffer; every successful query becomes one batch, handed
// to `progress` and then to the sink. Links are the only entries that cost extra calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include "platform/os_string.h"
#include "scanner/directory_reader.h"
#include "scanner/windows_records.h"

namespace ketterlin::scanner::windows_fs {

// An HRESULT that reports why a system call failed (HRESULT_FROM_WIN32 of its last error).
using Hresult = uint32_t;

// One opened directory handle. Destroying the object closes the handle (close failures are
// ignored). Used by one thread at a time.
class OpenedDirectory {
 public:
  virtual ~OpenedDirectory() = default;

  // dwVolumeSerialNumber of GetFileInformationByHandle.
  [[nodiscard]] virtual tl::expected<uint32_t, Hresult> volume_serial() = 0;
  // The file-system-name buffer of GetVolumeInformationByHandleW (32 units, NUL-padded);
  // nullopt when the call fails.
  [[nodiscard]] virtual std::optional<std::u16string> file_system_name() = 0;
  // GetFileInformationByHandleEx(handle, info_class, buffer, buffer size).
  [[nodiscard]] virtual tl::expected<void, Hresult> query_directory(
      uint32_t info_class, std::span<std::byte> buffer) = 0;
};

// The system calls of a listing. Implementations are stateless between calls and may be used by
// many threads at once.
class WindowsFileSystem {
 public:
  virtual ~WindowsFileSystem() = default;

  // CreateFileW on the directory (list and read-attributes access, all sharing, backup semantics,
  // reparse point itself, no recall). The caller owns the result.
  [[nodiscard]] virtual tl::expected<std::unique_ptr<OpenedDirectory>, Hresult> open_directory(
      platform::OsStringView path) = 0;
  // The system's message text for `hresult`, untrimmed; empty when it has none.
  [[nodiscard]] virtual std::u16string system_message(Hresult hresult) = 0;
  // GetVolumeNameForVolumeMountPointW on `path` (which ends with a separator): the volume name up
  // to its NUL; nullopt when `path` is not a volume mount point.
  [[nodiscard]] virtual std::optional<platform::OsString> volume_name_for_mount_point(
      platform::OsStringView path) = 0;
  // FSCTL_GET_REPARSE_POINT on the link itself, opened without access rights: the bytes returned
  // into a 16 KiB buffer; nullopt when the open or the call fails.
  [[nodiscard]] virtual std::optional<std::vector<std::byte>> read_reparse_data(
      platform::OsStringView link_path) = 0;
  // Whether GetFullPathNameW gives `plain_path` back unchanged.
  [[nodiscard]] virtual bool full_path_round_trips(std::u16string_view plain_path) = 0;
};

// The link kind and target of a name-surrogate reparse point at `link_path` whose tag says
// `tag`. Lookups that fail leave the target absent (or make a mount point a junction); they are
// never errors.
[[nodiscard]] LinkEntry resolve_link(WindowsFileSystem& system, LinkTag tag,
                                     platform::OsStringView link_path);

// The entry of one record ("." and ".." are skipped by the caller). Links are resolved on
// `directory_path` joined with the name.
[[nodiscard]] EntryMetadata make_entry(WindowsFileSystem& system, std::span<const std::byte> buffer,
                                       const RawRecord& record, uint64_t volume_serial,
                                       platform::OsStringView directory_path);

// read_directory, with its system calls made through `system`.
[[nodiscard]] tl::expected<void, DirectoryError> list_directory(
    WindowsFileSystem& system, platform::OsStringView directory_path,
    std::optional<uint64_t> expected_volume, bool query_file_system,
    const std::atomic<bool>& cancel, const ProgressCallback& progress, const DirectorySink& sink);

}  // namespace ketterlin::scanner::windows_fs
