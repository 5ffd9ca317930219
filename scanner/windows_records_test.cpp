#include "scanner/windows_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scanner/windows_records_testing.h"

namespace ketterlin::scanner::windows_fs {
namespace {

using testing::listing_buffer;
using testing::reparse_data;
using testing::TestRecord;

std::string utf8_of(std::u16string_view text) {
  return platform::to_utf8_lossy(os_string_from_utf16(text));
}

TEST(WindowsRecords, ConvertsLastWriteTimesToSecondsSince1970) {
  struct Case {
    const char* name;
    int64_t file_time;
    uint64_t seconds;
  };
  const Case cases[] = {
      {"start of 1970", 116'444'736'000'000'000, 0},
      {"one tick before 1970", 116'444'735'999'999'999, 0},
      {"one second after 1970", 116'444'736'010'000'000, 1},
      {"just short of a whole second", 116'444'736'009'999'999, 0},
      {"zero", 0, 0},
      {"negative", -1, 0},
      {"2024-01-01", 133'485'408'000'000'000, 1'704'067'200},
      {"largest value", INT64_MAX, 922'337'203'685 - 11'644'473'600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(epoch_seconds_from_file_time(c.file_time), c.seconds);
  }
}

TEST(WindowsRecords, TellsFlagsAndLinksFromAttributesAndTags) {
  struct Case {
    const char* name;
    uint32_t attributes;
    uint32_t tag;
    uint8_t flags;
    std::optional<LinkTag> link;
  };
  const Case cases[] = {
      {"plain file", 0x20, 0, 0, std::nullopt},
      {"offline", 0x1000, 0, kCloudOnly, std::nullopt},
      {"recall on open", 0x40000, 0, kCloudOnly, std::nullopt},
      {"recall on data access", 0x400000, 0, kCloudOnly, std::nullopt},
      {"cloud placeholder reparse point", 0x400400, 0x9000001A, kCloudOnly, std::nullopt},
      {"compressed", 0x800, 0, kCompressed, std::nullopt},
      {"sparse", 0x200, 0, kSparse, std::nullopt},
      {"deduplicated", 0x400, 0x80000013, kDeduplicated, std::nullopt},
      {"all flags at once", 0x441A00, 0x80000013,
       kCloudOnly | kCompressed | kSparse | kDeduplicated, std::nullopt},
      {"symbolic link", 0x400, 0xA000000C, 0, LinkTag::SymbolicLink},
      {"directory symbolic link", 0x410, 0xA000000C, 0, LinkTag::SymbolicLink},
      {"mount point", 0x410, 0xA0000003, 0, LinkTag::MountPoint},
      {"other name surrogate", 0x400, 0xA000001D, 0, LinkTag::Other},
      {"compressed link keeps its flag", 0xC00, 0xA000000C, kCompressed, LinkTag::SymbolicLink},
      {"name-surrogate tag without the attribute", 0x10, 0xA0000003, 0, std::nullopt},
      {"reparse point without a tag", 0x400, 0, 0, std::nullopt},
      {"other attributes only", 0x80 | 0x1 | 0x2 | 0x4, 0, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(entry_flags(c.attributes, c.tag), c.flags);
    EXPECT_EQ(link_tag(c.attributes, c.tag), c.link);
  }
}

TEST(WindowsRecords, NamesFileSystemsByExactName) {
  struct Case {
    const char* name;
    std::u16string buffer;
    storage::FileSystemKind kind;
  };
  const auto padded = [](std::u16string text) {
    text.resize(32, u'\0');
    return text;
  };
  const Case cases[] = {
      {"NTFS", padded(u"NTFS"), storage::FileSystemKind::Ntfs},
      {"ReFS", padded(u"ReFS"), storage::FileSystemKind::ReFs},
      {"FAT32", padded(u"FAT32"), storage::FileSystemKind::Fat32},
      {"exFAT", padded(u"exFAT"), storage::FileSystemKind::ExFat},
      {"FAT", padded(u"FAT"), storage::FileSystemKind::Other},
      {"lower-case ntfs", padded(u"ntfs"), storage::FileSystemKind::Other},
      {"upper-case EXFAT", padded(u"EXFAT"), storage::FileSystemKind::Other},
      {"trailing blank", padded(u"NTFS "), storage::FileSystemKind::Other},
      {"empty", padded(u""), storage::FileSystemKind::Other},
      {"text after the NUL ignored", padded(std::u16string(u"NTFS\0XY", 7)),
       storage::FileSystemKind::Ntfs},
      {"no NUL in 32 units", std::u16string(32, u'N'), storage::FileSystemKind::Other},
      {"only the first 32 units count", std::u16string(32, u'A') + u"NTFS",
       storage::FileSystemKind::Other},
      {"unpaired surrogate", padded(u"NTFS\xD800"), storage::FileSystemKind::Other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(file_system_kind(c.buffer), c.kind);
  }
}

TEST(WindowsRecords, BuildsErrorsFromHresults) {
  struct Case {
    const char* name;
    uint32_t hresult;
    std::u16string system_text;
    std::string message;
    std::optional<uint32_t> code;
  };
  const Case cases[] = {
      {"access denied", 0x80070005, u"Access is denied.\r\n", "Access is denied. (0x80070005)", 5},
      {"every trailing blank removed", 0x80070002, u"Not found. \t\n\v\f\r ",
       "Not found. (0x80070002)", 2},
      {"inner line breaks kept", 0x80070003, u"Line one.\r\nLine two.\r\n",
       "Line one.\r\nLine two. (0x80070003)", 3},
      {"no system text", 0x80070005, u"", "0x80070005", 5},
      {"only blanks", 0x8007007B, u" \r\n", "0x8007007B", 123},
      {"upper-case digits", 0x800700AB, u"", "0x800700AB", 0xAB},
      {"not a Win32 error", 0x80004005, u"Unspecified error\r\n", "Unspecified error (0x80004005)",
       std::nullopt},
      {"NT status", 0xD0000022, u"{Access Denied}\r\n", "{Access Denied} (0xD0000022)",
       std::nullopt},
      {"zero", 0, u"The operation completed successfully.\r\n",
       "The operation completed successfully. (0x00000000)", std::nullopt},
      {"unpaired surrogate in the text", 0x80070005, u"bad \xDC00 text",
       "bad \xEF\xBF\xBD text (0x80070005)", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DirectoryError error = directory_error(c.hresult, c.system_text);
    EXPECT_EQ(to_string(error), c.message);
    EXPECT_EQ(error.win32_code, c.code);
  }
}

TEST(WindowsRecords, MapsWin32ErrorsToHresultsAndMessageSources) {
  struct Case {
    const char* name;
    uint32_t error;
    uint32_t hresult;
    std::optional<uint32_t> code;
    MessageSource source;
  };
  const Case cases[] = {
      {"access denied", 5, 0x80070005, 5, {0x80070005, false}},
      {"large code keeps its lower 16 bits", 0x12345, 0x80072345, 0x2345, {0x80072345, false}},
      {"zero", 0, 0, std::nullopt, {0, false}},
      {"already an HRESULT", 0x80070005, 0x80070005, 5, {0x80070005, false}},
      {"NT status from ntdll", 0xD0000022, 0xD0000022, std::nullopt, {0xC0000022, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hresult_from_win32(c.error), c.hresult);
    EXPECT_EQ(win32_code(c.hresult), c.code);
    EXPECT_EQ(message_source(c.hresult), c.source);
  }
}

TEST(WindowsRecords, DecodesEachLayout) {
  TestRecord record;
  record.name = u"report.docx";
  record.attributes = 0x420;
  record.last_write_time = 133'485'408'000'000'000;
  record.end_of_file = 1234;
  record.allocation_size = 4096;
  record.ea_size = 0x80000013;
  record.reparse_point_tag = 0xA000000C;
  for (uint8_t i = 0; i < 16; ++i) record.file_id[i] = static_cast<uint8_t>(0xA0 + i);

  struct Case {
    const char* name;
    RecordLayout layout;
    std::optional<FileId> file_id;
    uint32_t reparse_tag;
  };
  const FileId full_id{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                       0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
  const FileId widened_id{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0, 0, 0, 0, 0, 0, 0, 0};
  const Case cases[] = {
      {"extended: 128-bit id, own tag field", RecordLayout::IdExtended, full_id, 0xA000000C},
      {"both: 64-bit id widened, tag from EaSize", RecordLayout::IdBoth, widened_id, 0x80000013},
      {"full: no id, tag from EaSize", RecordLayout::Full, std::nullopt, 0x80000013},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::byte> buffer = listing_buffer(c.layout, {record, record});
    const std::optional<RawRecord> raw = decode_record(buffer, 0, c.layout);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->next_entry_offset, testing::record_size(c.layout, record));
    EXPECT_EQ(raw->last_write_time, record.last_write_time);
    EXPECT_EQ(raw->end_of_file, 1234);
    EXPECT_EQ(raw->allocation_size, 4096);
    EXPECT_EQ(raw->attributes, 0x420u);
    EXPECT_EQ(raw->reparse_tag, c.reparse_tag);
    EXPECT_EQ(raw->file_id, c.file_id);
    EXPECT_EQ(platform::to_utf8_lossy(record_name(buffer, *raw)), "report.docx");
    EXPECT_FALSE(is_dot_entry(buffer, *raw));
  }
}

TEST(WindowsRecords, TakesTheTagFromEaSizeOnlyForReparsePoints) {
  TestRecord record;
  record.name = u"plain";
  record.attributes = 0x20;
  record.ea_size = 0xA000000C;  // extended attributes of a plain file, not a tag
  for (RecordLayout layout : {RecordLayout::IdBoth, RecordLayout::Full}) {
    const std::vector<std::byte> buffer = listing_buffer(layout, {record});
    const std::optional<RawRecord> raw = decode_record(buffer, 0, layout);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->reparse_tag, 0u);
  }
}

TEST(WindowsRecords, KeepsUnpairedSurrogatesInNames) {
  TestRecord record;
  record.name = std::u16string{u'a', char16_t{0xD800}, u'b'};
  const std::vector<std::byte> buffer = listing_buffer(RecordLayout::Full, {record});
  const std::optional<RawRecord> raw = decode_record(buffer, 0, RecordLayout::Full);
  ASSERT_TRUE(raw.has_value());
  const platform::OsString name = record_name(buffer, *raw);
  EXPECT_EQ(platform::to_utf8_lossy(name),
            "a\xEF\xBF\xBD"
            "b");
  if constexpr (sizeof(platform::OsChar) == sizeof(char16_t)) {
    EXPECT_EQ(name,
              (platform::OsString{platform::OsChar('a'), static_cast<platform::OsChar>(0xD800),
                                  platform::OsChar('b')}));
  }
}

TEST(WindowsRecords, RefusesRecordsThatDoNotFit) {
  TestRecord record;
  record.name = u"name";
  std::vector<std::byte> buffer = listing_buffer(RecordLayout::IdBoth, {record});
  struct Case {
    const char* name;
    std::size_t buffer_size;
    std::size_t offset;
    bool decoded;
  };
  const std::size_t whole = 104 + 8;  // fixed part and four name units
  const Case cases[] = {
      {"exactly fits", whole, 0, true},
      {"name cut short", whole - 1, 0, false},
      {"fixed part cut short", 100, 0, false},
      {"offset at the end", whole, whole, false},
      {"offset past the end", whole, whole + 8, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::span<const std::byte> view(buffer.data(), c.buffer_size);
    EXPECT_EQ(decode_record(view, c.offset, RecordLayout::IdBoth).has_value(), c.decoded);
  }
  // A name length far beyond the buffer.
  testing::put_le(buffer, 60, 0xFFFFFFF0, 4);
  EXPECT_FALSE(decode_record(buffer, 0, RecordLayout::IdBoth).has_value());
}

std::vector<std::string> walked_names(std::span<const std::byte> buffer, RecordLayout layout) {
  std::vector<std::string> names;
  for_each_record(buffer, layout, [&](const RawRecord& record) {
    names.push_back(platform::to_utf8_lossy(record_name(buffer, record)));
  });
  return names;
}

TEST(WindowsRecords, WalksRecordsAndSkipsDotEntriesAndNamelessOnes) {
  // A file system driver may hand back a record without a name: it cannot become a tree entry.
  const std::vector<TestRecord> records = {{.name = u"."}, {.name = u".."},   {.name = u"..."},
                                           {.name = u""},  {.name = u".git"}, {.name = u"a"}};
  for (RecordLayout layout : {RecordLayout::IdExtended, RecordLayout::IdBoth, RecordLayout::Full}) {
    const std::vector<std::byte> buffer = listing_buffer(layout, records);
    EXPECT_EQ(walked_names(buffer, layout), (std::vector<std::string>{"...", ".git", "a"}));
  }
  const std::vector<std::byte> dots_only =
      listing_buffer(RecordLayout::Full, {{.name = u"."}, {.name = u".."}});
  EXPECT_TRUE(walked_names(dots_only, RecordLayout::Full).empty());
}

TEST(WindowsRecords, StopsWalkingAtTheEndOfTheBuffer) {
  const RecordLayout layout = RecordLayout::Full;
  struct Case {
    const char* name;
    std::size_t second_offset;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"second record well inside", 1024, {"first", "second"}},
      {"second record last in the buffer", 65536 - 80, {"first", "second"}},
      {"second record would start at 65,536", 65536, {"first"}},
      {"second record far outside", 0x7FFFFFF8, {"first"}},
      {"second record cut off by the end", 65536 - 40, {"first"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::byte> buffer(kListingBufferBytes + 1024, std::byte{0});
    testing::write_record(buffer, 0, layout, {.name = u"first"},
                          static_cast<uint32_t>(c.second_offset));
    if (c.second_offset + 80 <= buffer.size()) {
      testing::write_record(buffer, c.second_offset, layout, {.name = u"second"}, 0);
    }
    const std::span<const std::byte> listing(buffer.data(), kListingBufferBytes);
    EXPECT_EQ(walked_names(listing, layout), c.names);
  }
}

TEST(WindowsRecords, ParsesReparseData) {
  struct Case {
    const char* name;
    std::vector<std::byte> data;
    std::optional<ReparseTarget> target;
  };
  std::vector<std::byte> cut_short = reparse_data(kReparseTagSymlink, u"\\??\\C:\\Target");
  cut_short.resize(30);
  std::vector<std::byte> name_outside = reparse_data(kReparseTagMountPoint, u"\\??\\C:\\T");
  testing::put_le(name_outside, 8, 200, 2);
  std::vector<std::byte> odd_length = reparse_data(kReparseTagMountPoint, u"\\??\\C:\\T");
  testing::put_le(odd_length, 10, 3, 2);
  std::vector<std::byte> short_data_length = reparse_data(kReparseTagMountPoint, u"\\??\\C:\\T");
  testing::put_le(short_data_length, 4, 8, 2);
  const Case cases[] = {
      {"absolute symbolic link", reparse_data(kReparseTagSymlink, u"\\??\\C:\\Target"),
       ReparseTarget{kReparseTagSymlink, u"\\??\\C:\\Target", false}},
      {"relative symbolic link", reparse_data(kReparseTagSymlink, u"..\\sibling", 1),
       ReparseTarget{kReparseTagSymlink, u"..\\sibling", true}},
      {"mount point", reparse_data(kReparseTagMountPoint, u"\\??\\D:\\Data\\"),
       ReparseTarget{kReparseTagMountPoint, u"\\??\\D:\\Data\\", false}},
      {"empty substitute name", reparse_data(kReparseTagMountPoint, u""),
       ReparseTarget{kReparseTagMountPoint, u"", false}},
      {"other tag", reparse_data(0xA000001D, u"\\??\\C:\\x"), std::nullopt},
      {"header only", std::vector<std::byte>(8), std::nullopt},
      {"nothing", {}, std::nullopt},
      {"cut short", cut_short, std::nullopt},
      {"name outside the data", name_outside, std::nullopt},
      {"odd name length", odd_length, std::nullopt},
      {"data length shorter than the name", short_data_length, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse_reparse_data(c.data), c.target);
  }
}

TEST(WindowsRecords, OffersLinkTargetsInPlainForm) {
  struct Case {
    const char* name;
    uint32_t tag;
    std::u16string substitute_name;
    bool relative;
    bool round_trips;
    std::string expected;
    std::string asked;  // the plain form offered to GetFullPathNameW; empty when not asked
  };
  const uint32_t mount = kReparseTagMountPoint;
  const uint32_t symlink = kReparseTagSymlink;
  const Case cases[] = {
      {"junction to a folder", mount, u"\\??\\C:\\Target", false, true, "C:\\Target", "C:\\Target"},
      {"plain form not read back the same", mount, u"\\??\\C:\\Target.", false, false,
       "\\\\?\\C:\\Target.", "C:\\Target."},
      {"absolute symbolic link", symlink, u"\\??\\D:\\x\\y", false, true, "D:\\x\\y", "D:\\x\\y"},
      {"network target", symlink, u"\\??\\UNC\\server\\share\\x", false, true,
       "\\\\server\\share\\x", "\\\\server\\share\\x"},
      {"already verbatim", symlink, u"\\\\?\\E:\\z", false, true, "E:\\z", "E:\\z"},
      {"volume GUID path stays", mount, u"\\??\\Volume{1234}\\", false, true,
       "\\\\?\\Volume{1234}\\", ""},
      {"drive without root stays", mount, u"\\??\\C:", false, true, "\\\\?\\C:", ""},
      {"relative symbolic link as stored", symlink, u"..\\up", true, true, "..\\up", ""},
      {"relative flag keeps the NT prefix", symlink, u"\\??\\C:\\x", true, true, "\\??\\C:\\x", ""},
      {"plain form of 259 units fits", mount, u"\\??\\C:\\" + std::u16string(256, u'a'), false,
       true, "C:\\" + std::string(256, 'a'), "C:\\" + std::string(256, 'a')},
      {"plain form of 260 units does not", mount, u"\\??\\C:\\" + std::u16string(257, u'a'), false,
       true, "\\\\?\\C:\\" + std::string(257, 'a'), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> asked;
    const FullPathRoundTrip round_trips = [&](std::u16string_view plain) {
      asked.push_back(utf8_of(plain));
      return c.round_trips;
    };
    const ReparseTarget target{c.tag, c.substitute_name, c.relative};
    EXPECT_EQ(utf8_of(link_target_text(target, round_trips)), c.expected);
    EXPECT_EQ(asked,
              c.asked.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.asked});
  }
}

TEST(WindowsRecords, EndsMountPointQueriesWithASeparator) {
  const auto query = [](const char* path) {
    return platform::to_utf8_lossy(mount_point_query_path(platform::from_utf8(path)));
  };
  EXPECT_EQ(query("\\\\?\\C:\\mnt"), "\\\\?\\C:\\mnt\\");
  EXPECT_EQ(query("\\\\?\\C:\\mnt\\"), "\\\\?\\C:\\mnt\\");
  EXPECT_EQ(query("C:/mnt/"), "C:/mnt/");
}

}  // namespace
}  // namespace ketterlin::scanner::windows_fs
