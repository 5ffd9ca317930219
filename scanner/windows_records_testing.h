// Test support: writes directory-information records and reparse data the way Windows lays them
// out, from the documented structures (written out here on their own, so that a wrong offset in
// the decoder shows). Fields the decoder must not read get distinctive filler values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scanner/windows_records.h"

namespace ketterlin::scanner::windows_fs::testing {

struct TestRecord {
  std::u16string name;
  uint32_t attributes = 0;
  int64_t last_write_time = 0;
  int64_t end_of_file = 0;
  int64_t allocation_size = 0;
  uint32_t ea_size = 0;
  uint32_t reparse_point_tag = 0;     // the extended layout's own field
  std::array<uint8_t, 16> file_id{};  // the 64-bit layout stores the first 8 bytes
};

inline void put_le(std::vector<std::byte>& buffer, std::size_t offset, uint64_t value,
                   std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    buffer[offset + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
  }
}

inline void put_utf16(std::vector<std::byte>& buffer, std::size_t offset,
                      std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) put_le(buffer, offset + 2 * i, text[i], 2);
}

// Where each layout keeps its identifier and name, per FILE_ID_EXTD_DIR_INFO,
// FILE_ID_BOTH_DIR_INFO and FILE_FULL_DIR_INFO.
inline std::size_t name_offset_of(RecordLayout layout) {
  switch (layout) {
    case RecordLayout::IdExtended:
      return 88;
    case RecordLayout::IdBoth:
      return 104;
    case RecordLayout::Full:
      return 68;
  }
  return 0;
}

// The size of `record` in `layout`, rounded up to the 8-byte alignment records keep.
inline std::size_t record_size(RecordLayout layout, const TestRecord& record) {
  return (name_offset_of(layout) + 2 * record.name.size() + 7) / 8 * 8;
}

// Writes `record` at `offset` (the buffer must be large enough).
inline void write_record(std::vector<std::byte>& buffer, std::size_t offset, RecordLayout layout,
                         const TestRecord& record, uint32_t next_entry_offset) {
  put_le(buffer, offset + 0, next_entry_offset, 4);
  put_le(buffer, offset + 4, 0x1111, 4);               // FileIndex
  put_le(buffer, offset + 8, 0x0222222222222222, 8);   // CreationTime
  put_le(buffer, offset + 16, 0x0333333333333333, 8);  // LastAccessTime
  put_le(buffer, offset + 24, static_cast<uint64_t>(record.last_write_time), 8);
  put_le(buffer, offset + 32, 0x0444444444444444, 8);  // ChangeTime
  put_le(buffer, offset + 40, static_cast<uint64_t>(record.end_of_file), 8);
  put_le(buffer, offset + 48, static_cast<uint64_t>(record.allocation_size), 8);
  put_le(buffer, offset + 56, record.attributes, 4);
  put_le(buffer, offset + 60, 2 * record.name.size(), 4);
  put_le(buffer, offset + 64, record.ea_size, 4);
  switch (layout) {
    case RecordLayout::IdExtended:
      put_le(buffer, offset + 68, record.reparse_point_tag, 4);
      for (std::size_t i = 0; i < 16; ++i) buffer[offset + 72 + i] = std::byte{record.file_id[i]};
      break;
    case RecordLayout::IdBoth:
      put_le(buffer, offset + 68, 24, 1);               // ShortNameLength
      put_utf16(buffer, offset + 70, u"SHORTN~1.TXT");  // ShortName, 12 units
      for (std::size_t i = 0; i < 8; ++i) buffer[offset + 96 + i] = std::byte{record.file_id[i]};
      break;
    case RecordLayout::Full:
      break;
  }
  put_utf16(buffer, offset + name_offset_of(layout), record.name);
}

// A 65,536-byte listing buffer holding `records` one after another from offset 0.
inline std::vector<std::byte> listing_buffer(RecordLayout layout,
                                             const std::vector<TestRecord>& records) {
  std::vector<std::byte> buffer(kListingBufferBytes, std::byte{0xCD});
  std::size_t offset = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::size_t size = record_size(layout, records[i]);
    const bool last = i + 1 == records.size();
    write_record(buffer, offset, layout, records[i], last ? 0 : static_cast<uint32_t>(size));
    offset += size;
  }
  return buffer;
}

// REPARSE_DATA_BUFFER bytes for a symbolic link (with Flags) or a mount point, with a print name
// after the substitute name.
inline std::vector<std::byte> reparse_data(uint32_t tag, std::u16string_view substitute_name,
                                           uint32_t symlink_flags = 0) {
  const bool symlink = tag == kReparseTagSymlink;
  const std::size_t path_buffer = symlink ? 20 : 16;
  const std::u16string_view print_name = u"print name";
  const std::size_t total = path_buffer + 2 * (substitute_name.size() + print_name.size());
  std::vector<std::byte> data(total);
  put_le(data, 0, tag, 4);
  put_le(data, 4, total - 8, 2);  // ReparseDataLength
  put_le(data, 8, 0, 2);          // SubstituteNameOffset
  put_le(data, 10, 2 * substitute_name.size(), 2);
  put_le(data, 12, 2 * substitute_name.size(), 2);  // PrintNameOffset
  put_le(data, 14, 2 * print_name.size(), 2);
  if (symlink) put_le(data, 16, symlink_flags, 4);
  put_utf16(data, path_buffer, substitute_name);
  put_utf16(data, path_buffer + 2 * substitute_name.size(), print_name);
  return data;
}

}  // namespace ketterlin::scanner::windows_fs::testing
