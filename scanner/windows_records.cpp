#include "scanner/windows_records.h"

#include <algorithm>
#include <cstring>

#include "platform/file_system_kind.h"
#include "platform/unicode.h"

namespace ketterlin::scanner::windows_fs {
namespace {

// Reads a little-endian unsigned integer of sizeof(T) bytes. The caller has checked the bounds.
template <typename T>
T read_le(std::span<const std::byte> buffer, std::size_t offset) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<uint64_t>(std::to_integer<uint8_t>(buffer[offset + i])) << (8 * i);
  }
  return static_cast<T>(value);
}

int64_t read_signed_64(std::span<const std::byte> buffer, std::size_t offset) {
  return static_cast<int64_t>(read_le<uint64_t>(buffer, offset));
}

bool fits(std::size_t buffer_size, std::size_t offset, std::size_t length) {
  return offset <= buffer_size && length <= buffer_size - offset;
}

// `units` UTF-16 units at byte `offset` (the caller has checked the bounds).
std::u16string read_utf16(std::span<const std::byte> buffer, std::size_t offset,
                          std::size_t units) {
  std::u16string text(units, u'\0');
  for (std::size_t i = 0; i < units; ++i) text[i] = read_le<char16_t>(buffer, offset + 2 * i);
  return text;
}

bool is_trailing_blank(char16_t unit) {
  return unit == u'\t' || unit == u'\n' || unit == u'\v' || unit == u'\f' || unit == u'\r' ||
         unit == u' ';
}

bool is_ascii_letter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

// The Windows limit on a path in plain form, terminating NUL included (MAX_PATH).
constexpr std::size_t kMaxPlainPathUnits = 260;

}  // namespace

std::optional<RawRecord> decode_record(std::span<const std::byte> buffer, std::size_t offset,
                                       RecordLayout layout) {
  const RecordFields fields = record_fields(layout);
  if (!fits(buffer.size(), offset, fields.file_name)) return std::nullopt;
  const std::span<const std::byte> record = buffer.subspan(offset);
  const uint32_t name_bytes = read_le<uint32_t>(record, fields.file_name_length);
  if (!fits(record.size(), fields.file_name, name_bytes)) return std::nullopt;

  RawRecord raw;
  raw.next_entry_offset = read_le<uint32_t>(record, fields.next_entry_offset);
  raw.last_write_time = read_signed_64(record, fields.last_write_time);
  raw.end_of_file = read_signed_64(record, fields.end_of_file);
  raw.allocation_size = read_signed_64(record, fields.allocation_size);
  raw.attributes = read_le<uint32_t>(record, fields.file_attributes);
  if (fields.reparse_point_tag) {
    raw.reparse_tag = read_le<uint32_t>(record, *fields.reparse_point_tag);
  } else if (raw.attributes & kAttributeReparsePoint) {
    raw.reparse_tag = read_le<uint32_t>(record, fields.ea_size);
  }
  if (fields.file_id_bytes > 0) {
    FileId id{};
    std::memcpy(id.data(), record.data() + fields.file_id, fields.file_id_bytes);
    raw.file_id = id;
  }
  raw.name_offset = offset + fields.file_name;
  raw.name_units = name_bytes / 2;
  return raw;
}

std::optional<std::size_t> next_record_offset(std::size_t offset, uint32_t next_entry_offset,
                                              std::size_t buffer_size) {
  if (next_entry_offset == 0) return std::nullopt;
  const std::size_t next = offset + next_entry_offset;
  if (next >= buffer_size) return std::nullopt;
  return next;
}

bool is_dot_entry(std::span<const std::byte> buffer, const RawRecord& record) {
  if (record.name_units == 0 || record.name_units > 2) return false;
  for (std::size_t i = 0; i < record.name_units; ++i) {
    if (read_le<char16_t>(buffer, record.name_offset + 2 * i) != u'.') return false;
  }
  return true;
}

platform::OsString record_name(std::span<const std::byte> buffer, const RawRecord& record) {
  if constexpr (sizeof(platform::OsChar) == sizeof(char16_t)) {
    platform::OsString name(record.name_units, platform::OsChar{});
    for (std::size_t i = 0; i < record.name_units; ++i) {
      name[i] =
          static_cast<platform::OsChar>(read_le<char16_t>(buffer, record.name_offset + 2 * i));
    }
    return name;
  } else {
    return os_string_from_utf16(read_utf16(buffer, record.name_offset, record.name_units));
  }
}

uint64_t epoch_seconds_from_file_time(int64_t file_time) {
  constexpr int64_t kUnixEpochFileTime = 116'444'736'000'000'000;
  constexpr int64_t kTicksPerSecond = 10'000'000;
  constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;
  if (file_time < kUnixEpochFileTime) return 0;
  return static_cast<uint64_t>(file_time / kTicksPerSecond - kSecondsFrom1601To1970);
}

uint64_t size_or_zero(int64_t size) { return size < 0 ? 0 : static_cast<uint64_t>(size); }

uint8_t entry_flags(uint32_t attributes, uint32_t reparse_tag) {
  uint8_t flags = 0;
  if (attributes & kCloudAttributes) flags |= kCloudOnly;
  if (attributes & kAttributeCompressed) flags |= kCompressed;
  if (attributes & kAttributeSparseFile) flags |= kSparse;
  if (reparse_tag == kReparseTagDedup) flags |= kDeduplicated;
  return flags;
}

std::optional<LinkTag> link_tag(uint32_t attributes, uint32_t reparse_tag) {
  if (!(attributes & kAttributeReparsePoint) || !(reparse_tag & kNameSurrogateBit)) {
    return std::nullopt;
  }
  switch (reparse_tag) {
    case kReparseTagMountPoint:
      return LinkTag::MountPoint;
    case kReparseTagSymlink:
      return LinkTag::SymbolicLink;
    default:
      return LinkTag::Other;
  }
}

std::u16string_view text_before_nul(std::u16string_view buffer) {
  return buffer.substr(0, std::min(buffer.find(u'\0'), buffer.size()));
}

storage::FileSystemKind file_system_kind(std::u16string_view name_buffer) {
  constexpr std::size_t kNameBufferUnits = 32;
  const std::u16string_view name =
      text_before_nul(name_buffer.substr(0, std::min(name_buffer.size(), kNameBufferUnits)));
  // The names compared are plain ASCII, so comparing the units equals comparing the lossy text.
  return platform::file_system_kind_from_name(name);
}

uint32_t hresult_from_win32(uint32_t error) {
  if (static_cast<int32_t>(error) <= 0) return error;
  return (error & 0xFFFF) | 0x80070000;
}

std::optional<uint32_t> win32_code(uint32_t hresult) {
  if ((hresult >> 16) != 0x8007) return std::nullopt;
  return hresult & 0xFFFF;
}

MessageSource message_source(uint32_t hresult) {
  constexpr uint32_t kNtStatusBit = 0x10000000;
  if (hresult & kNtStatusBit) return {hresult & ~kNtStatusBit, true};
  return {hresult, false};
}

DirectoryError directory_error(uint32_t hresult, std::u16string_view system_text) {
  while (!system_text.empty() && is_trailing_blank(system_text.back())) {
    system_text.remove_suffix(1);
  }
  return DirectoryError::windows(hresult, platform::utf16_to_utf8_lossy(system_text),
                                 win32_code(hresult));
}

QueryFailure classify_query_failure(uint32_t hresult, bool first_query, bool has_next_method) {
  if (hresult == kNoMoreFilesHresult) return QueryFailure::EndOfListing;
  if (!first_query) return QueryFailure::ErrorWithoutCode;
  const std::optional<uint32_t> code = win32_code(hresult);
  // ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER: the file system does
  // not know the information class.
  const bool class_refused = code == 1u || code == 50u || code == 87u;
  if (class_refused && has_next_method) return QueryFailure::NextMethod;
  return QueryFailure::Error;
}

platform::OsString mount_point_query_path(platform::OsStringView link_path) {
  platform::OsString path(link_path);
  if (path.empty() ||
      (path.back() != platform::OsChar('\\') && path.back() != platform::OsChar('/'))) {
    path.push_back(platform::OsChar('\\'));
  }
  return path;
}

std::optional<ReparseTarget> parse_reparse_data(std::span<const std::byte> data) {
  constexpr std::size_t kHeaderBytes = 8;  // ReparseTag, ReparseDataLength, Reserved
  if (data.size() < kHeaderBytes) return std::nullopt;
  const uint32_t tag = read_le<uint32_t>(data, 0);
  const std::size_t data_end = std::min(data.size(), kHeaderBytes + read_le<uint16_t>(data, 4));
  std::size_t path_buffer = 0;  // where PathBuffer starts
  if (tag == kReparseTagSymlink) {
    path_buffer = 20;  // four name fields and Flags
  } else if (tag == kReparseTagMountPoint) {
    path_buffer = 16;  // four name fields
  } else {
    return std::nullopt;
  }
  if (data_end < path_buffer) return std::nullopt;
  const std::size_t name_offset = path_buffer + read_le<uint16_t>(data, 8);
  const std::size_t name_bytes = read_le<uint16_t>(data, 10);
  if (name_bytes % 2 != 0 || !fits(data_end, name_offset, name_bytes)) return std::nullopt;

  ReparseTarget target;
  target.tag = tag;
  target.substitute_name = read_utf16(data, name_offset, name_bytes / 2);
  target.relative = tag == kReparseTagSymlink && (read_le<uint32_t>(data, 16) & 1) != 0;
  return target;
}

std::u16string offer_plain_form(std::u16string path, const FullPathRoundTrip& round_trips) {
  const std::u16string_view text = path;
  std::u16string plain;
  if (text.starts_with(u"\\\\?\\UNC\\")) {
    plain = u"\\\\" + std::u16string(text.substr(8));
  } else if (text.size() >= 7 && text.starts_with(u"\\\\?\\") && is_ascii_letter(text[4]) &&
             text[5] == u':' && text[6] == u'\\') {
    plain = std::u16string(text.substr(4));
  } else {
    return path;
  }
  if (plain.size() + 1 > kMaxPlainPathUnits || !round_trips(plain)) return path;
  return plain;
}

std::u16string link_target_text(const ReparseTarget& target, const FullPathRoundTrip& round_trips) {
  if (target.relative) return target.substitute_name;
  std::u16string path = target.substitute_name;
  if (path.starts_with(u"\\??\\")) path[1] = u'\\';
  return offer_plain_form(std::move(path), round_trips);
}

platform::OsString os_string_from_utf16(std::u16string_view units) {
  if constexpr (sizeof(platform::OsChar) == sizeof(char16_t)) {
    return platform::OsString(units.begin(), units.end());
  } else {
    return platform::from_utf8(platform::utf16_to_utf8_lossy(units));
  }
}

}  // namespace ketterlin::scanner::windows_fs
