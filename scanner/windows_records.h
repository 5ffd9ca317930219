// The Windows directory reader's rules that are pure functions of bytes and numbers: the record
// layouts of the three directory-information classes and their decoding, the time and size
// conversions, attribute and reparse-tag interpretation, the file-system name, HRESULT error
// texts, reparse-point data and the plain form of link targets. Nothing here calls the system,
// so every rule runs and is tested on any host; directory_reader_win32.cpp makes the calls.
//
// Byte buffers are read as the little-endian records Windows writes, at any alignment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/os_string.h"
#include "scanner/directory_reader.h"
#include "storage/volume.h"

namespace ketterlin::scanner::windows_fs {

// File attribute bits.
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeSparseFile = 0x200;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;
inline constexpr uint32_t kAttributeCompressed = 0x800;
// FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_RECALL_ON_OPEN | FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS.
inline constexpr uint32_t kCloudAttributes = 0x441000;

// Reparse tags.
inline constexpr uint32_t kNameSurrogateBit = 0x20000000;
inline constexpr uint32_t kReparseTagMountPoint = 0xA0000003;
inline constexpr uint32_t kReparseTagSymlink = 0xA000000C;
inline constexpr uint32_t kReparseTagDedup = 0x80000013;

// HRESULT_FROM_WIN32(ERROR_NO_MORE_FILES): the end of a listing.
inline constexpr uint32_t kNoMoreFilesHresult = 0x80070012;

// ----- Listing methods and record layouts -----

enum class RecordLayout : uint8_t {
  IdExtended,  // FILE_ID_EXTD_DIR_INFO: 128-bit FileId, ReparsePointTag
  IdBoth,      // FILE_ID_BOTH_DIR_INFO: 64-bit FileId, the tag in EaSize
  Full,        // FILE_FULL_DIR_INFO: no FileId, the tag in EaSize
};

// Byte offsets of the fields a record layout provides. `reparse_point_tag` is present only in
// the extended layout; `file_id_bytes` is 0 when the layout has no identifier.
struct RecordFields {
  std::size_t next_entry_offset;
  std::size_t last_write_time;
  std::size_t end_of_file;
  std::size_t allocation_size;
  std::size_t file_attributes;
  std::size_t file_name_length;
  std::size_t ea_size;
  std::optional<std::size_t> reparse_point_tag;
  std::size_t file_id;
  std::size_t file_id_bytes;
  std::size_t file_name;  // where the name starts; the size of the fixed part
};

constexpr RecordFields record_fields(RecordLayout layout) {
  switch (layout) {
    case RecordLayout::IdExtended:
      return {0, 24, 40, 48, 56, 60, 64, std::size_t{68}, 72, 16, 88};
    case RecordLayout::IdBoth:
      return {0, 24, 40, 48, 56, 60, 64, std::nullopt, 96, 8, 104};
    case RecordLayout::Full:
      return {0, 24, 40, 48, 56, 60, 64, std::nullopt, 0, 0, 68};
  }
  return {0, 0, 0, 0, 0, 0, 0, std::nullopt, 0, 0, 0};
}

// A listing method: the FILE_INFO_BY_HANDLE_CLASS of its first query, that of every later query,
// and the layout of the records both return.
struct ListingMethod {
  uint32_t first_query_class;
  uint32_t later_query_class;
  RecordLayout layout;
};

// The methods in the order they are tried.
inline constexpr std::array<ListingMethod, 3> kListingMethods{{
    {20, 19, RecordLayout::IdExtended},  // FileIdExtdDirectory{Restart}Info
    {11, 10, RecordLayout::IdBoth},      // FileIdBothDirectory{Restart}Info
    {15, 14, RecordLayout::Full},        // FileFullDirectory{Restart}Info
}};

// ----- Records -----

// One record as stored. The name stays in the buffer: `name_offset` is its byte offset there.
struct RawRecord {
  uint32_t next_entry_offset = 0;
  int64_t last_write_time = 0;
  int64_t end_of_file = 0;
  int64_t allocation_size = 0;
  uint32_t attributes = 0;
  // ReparsePointTag in the extended layout; elsewhere EaSize when the reparse-point attribute is
  // set, else 0.
  uint32_t reparse_tag = 0;
  std::optional<FileId> file_id;  // a 64-bit identifier widened with 8 zero bytes
  std::size_t name_offset = 0;
  std::size_t name_units = 0;  // FileNameLength / 2
};

// Decodes the record at `offset`. nullopt when its fixed part or its name would reach past the
// end of `buffer`.
[[nodiscard]] std::optional<RawRecord> decode_record(std::span<const std::byte> buffer,
                                                     std::size_t offset, RecordLayout layout);

// The offset of the record after one at `offset` whose NextEntryOffset is `next_entry_offset`;
// nullopt when it was the last one (0) or the next one would start outside a buffer of
// `buffer_size` bytes.
[[nodiscard]] std::optional<std::size_t> next_record_offset(std::size_t offset,
                                                            uint32_t next_entry_offset,
                                                            std::size_t buffer_size);

// True for the names "." and "..".
[[nodiscard]] bool is_dot_entry(std::span<const std::byte> buffer, const RawRecord& record);

// The record's name as an OS string: the UTF-16 units exactly (unpaired surrogates kept) where
// OS strings are UTF-16; elsewhere its lossy UTF-8 form.
[[nodiscard]] platform::OsString record_name(std::span<const std::byte> buffer,
                                             const RawRecord& record);

// Calls `visit(record)` for each record of a filled listing buffer, in order, "." and ".." and
// records without a name excepted. The walk starts at offset 0 and stops after a record whose
// NextEntryOffset is 0, at an offset outside the buffer, or at a record that does not fit in it.
template <typename Visit>
void for_each_record(std::span<const std::byte> buffer, RecordLayout layout, Visit&& visit) {
  std::size_t offset = 0;
  while (true) {
    const std::optional<RawRecord> record = decode_record(buffer, offset, layout);
    if (!record) return;
    if (record->name_units != 0 && !is_dot_entry(buffer, *record)) visit(*record);
    const std::optional<std::size_t> next =
        next_record_offset(offset, record->next_entry_offset, buffer.size());
    if (!next) return;
    offset = *next;
  }
}

// ----- Entry values -----

// A LastWriteTime (100-ns intervals since 1601) as whole seconds since 1970; 0 before 1970.
[[nodiscard]] uint64_t epoch_seconds_from_file_time(int64_t file_time);

// A signed size field; negative values become 0.
[[nodiscard]] uint64_t size_or_zero(int64_t size);

// The EntryFlag bits of an entry with these attributes and this reparse tag.
[[nodiscard]] uint8_t entry_flags(uint32_t attributes, uint32_t reparse_tag);

// What kind of link a name-surrogate reparse point is, by its tag.
enum class LinkTag : uint8_t { MountPoint, SymbolicLink, Other };

// The link kind of an entry; nullopt when it is not a link (no reparse-point attribute, or a tag
// without the name-surrogate bit: deduplicated files, cloud placeholders and the like).
[[nodiscard]] std::optional<LinkTag> link_tag(uint32_t attributes, uint32_t reparse_tag);

// The text before the first NUL of a UTF-16 buffer filled by the system.
[[nodiscard]] std::u16string_view text_before_nul(std::u16string_view buffer);

// The file system named in the 32-unit buffer of GetVolumeInformationByHandleW, by
// platform::file_system_kind_from_name.
[[nodiscard]] storage::FileSystemKind file_system_kind(std::u16string_view name_buffer);

// ----- Errors -----

// HRESULT_FROM_WIN32: values that are not positive as signed 32-bit numbers pass unchanged;
// others become 0x8007 followed by their lower 16 bits.
[[nodiscard]] uint32_t hresult_from_win32(uint32_t error);

// The Win32 code inside an HRESULT: its lower 16 bits when the upper 16 are 0x8007.
[[nodiscard]] std::optional<uint32_t> win32_code(uint32_t hresult);

// Where the text of an HRESULT is looked up: the message identifier and whether it is ntdll.dll's
// message table (HRESULTs with bit 0x10000000, which is cleared) rather than the system's.
struct MessageSource {
  uint32_t message_id = 0;
  bool from_ntdll = false;

  friend bool operator==(const MessageSource&, const MessageSource&) = default;
};
[[nodiscard]] MessageSource message_source(uint32_t hresult);

// The error for `hresult` given the system's text for it (empty when it has none), with the Win32
// code inside the HRESULT. Trailing tab, line-feed, vertical-tab, form-feed, carriage-return and
// space characters are removed; its text is then "<text> (0xXXXXXXXX)", or the hexadecimal
// HRESULT alone when no text is left.
[[nodiscard]] DirectoryError directory_error(uint32_t hresult, std::u16string_view system_text);

// What a failed listing query means.
enum class QueryFailure : uint8_t {
  EndOfListing,      // ERROR_NO_MORE_FILES: the listing ended normally
  NextMethod,        // the method's first query was refused; try the next method
  Error,             // return the error, keeping its Win32 code
  ErrorWithoutCode,  // return the error without a Win32 code (a later query failed)
};

// Classifies a failed query. Only a method's first query can fall back, on codes 1, 50 and 87,
// and only when another method follows.
[[nodiscard]] QueryFailure classify_query_failure(uint32_t hresult, bool first_query,
                                                  bool has_next_method);

// ----- Links -----

// The path handed to GetVolumeNameForVolumeMountPointW: `link_path` ending with `\` (added unless
// it already ends with `\` or `/`).
[[nodiscard]] platform::OsString mount_point_query_path(platform::OsStringView link_path);

// The part of FSCTL_GET_REPARSE_POINT output that names a link's target.
struct ReparseTarget {
  uint32_t tag = 0;
  std::u16string substitute_name;
  bool relative = false;  // a symbolic link with SYMLINK_FLAG_RELATIVE

  friend bool operator==(const ReparseTarget&, const ReparseTarget&) = default;
};

// Reads the substitute name from REPARSE_DATA_BUFFER bytes (`data` holds what the call returned).
// nullopt for tags other than mount points and symbolic links and for data that is cut short or
// names text outside itself.
[[nodiscard]] std::optional<ReparseTarget> parse_reparse_data(std::span<const std::byte> data);

// Whether GetFullPathNameW gives `plain_path` back unchanged.
using FullPathRoundTrip = std::function<bool(std::u16string_view plain_path)>;

// `path` in plain form when that is safe: `\\?\X:\...` as `X:\...` and `\\?\UNC\server\...` as
// `\\server\...`, when the plain form with its terminating NUL fits in 260 units and
// `round_trips` accepts it. Any other path is returned unchanged.
[[nodiscard]] std::u16string offer_plain_form(std::u16string path,
                                              const FullPathRoundTrip& round_trips);

// The target text of a link: a relative symbolic link's substitute name as stored; otherwise the
// substitute name with a leading `\??\` made `\\?\`, offered in plain form.
[[nodiscard]] std::u16string link_target_text(const ReparseTarget& target,
                                              const FullPathRoundTrip& round_trips);

// `units` as an OS string: exactly where OS strings are UTF-16, as lossy UTF-8 elsewhere.
[[nodiscard]] platform::OsString os_string_from_utf16(std::u16string_view units);

}  // namespace ketterlin::scanner::windows_fs
