// The directory reader against the real system, on Windows or under Wine: batches of a folder
// larger than one buffer, the values of every kind of entry checked against what the system says
// about the entry itself, volume events, errors with their system texts, and the system calls the
// reader makes for links and messages. Under Wine the extended-identifier class is refused (87),
// so the listing runs on FILE_ID_BOTH_DIR_INFO; every check here holds for either class.
#include "scanner/directory_reader.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "platform/file_system.h"
#include "platform/os_string.h"
#include "scanner/directory_reader_win32.h"
#include "scanner/windows_records.h"
#include "win32_testing.h"

namespace ketterlin::scanner {
namespace {

using platform::OsString;
using platform::testing::entry_facts;
using platform::testing::EntryFacts;
using platform::testing::ScratchFolder;

// Everything one read_directory call did, in order.
struct ProgressCall {
  OsString path;
  BatchCounts counts;
};
using Step = std::variant<VolumeEvent, ProgressCall, EntriesEvent>;

struct Listing {
  std::vector<Step> steps;
  tl::expected<void, DirectoryError> result;

  std::vector<EntriesEvent> batches() const {
    std::vector<EntriesEvent> found;
    for (const Step& step : steps) {
      if (const auto* batch = std::get_if<EntriesEvent>(&step)) found.push_back(*batch);
    }
    return found;
  }
  std::vector<VolumeEvent> volume_events() const {
    std::vector<VolumeEvent> found;
    for (const Step& step : steps) {
      if (const auto* volume = std::get_if<VolumeEvent>(&step)) found.push_back(*volume);
    }
    return found;
  }
  std::map<OsString, EntryMetadata> entries_by_name() const {
    std::map<OsString, EntryMetadata> entries;
    for (const EntriesEvent& batch : batches()) {
      for (const EntryMetadata& entry : batch) {
        EXPECT_TRUE(entries.emplace(entry.name, entry).second)
            << "listed twice: " << platform::to_utf8_lossy(entry.name);
      }
    }
    return entries;
  }
};

// Lists `path`; `stop_after_batches` makes the sink answer false to that batch.
Listing list(const OsString& path, std::optional<uint64_t> expected_volume = std::nullopt,
             bool query_file_system = false, int stop_after_batches = 0,
             bool cancel_after_first_batch = false) {
  Listing listing;
  std::atomic<bool> cancel{false};
  int batches = 0;
  listing.result = read_directory(
      path, expected_volume, query_file_system, cancel,
      [&](platform::OsStringView directory, const BatchCounts& counts) {
        listing.steps.push_back(ProgressCall{OsString(directory), counts});
      },
      [&](DirectoryEvent&& event) {
        if (auto* volume = std::get_if<VolumeEvent>(&event)) {
          listing.steps.emplace_back(std::in_place_type<VolumeEvent>, *volume);
          return stop_after_batches >= 0;
        }
        listing.steps.emplace_back(std::in_place_type<EntriesEvent>,
                                   std::move(std::get<EntriesEvent>(event)));
        ++batches;
        if (cancel_after_first_batch) cancel = true;
        return batches != stop_after_batches;
      });
  return listing;
}

// The canonical verbatim path of `path`, as the traversal hands folders to the reader.
OsString canonical(const std::wstring& path) {
  const auto result = platform::canonicalize(path);
  EXPECT_TRUE(result.has_value()) << platform::to_string(result.error());
  return result ? *result : OsString();
}

// A 64-bit file index widened as the reader widens identifiers: little-endian, then zeros.
FileId widened(uint64_t index) {
  FileId id{};
  for (int i = 0; i < 8; ++i) id[i] = static_cast<uint8_t>(index >> (8 * i));
  return id;
}

uint64_t seconds_since_1970(uint64_t ticks) {
  constexpr uint64_t k1970 = 116444736000000000ULL;
  return ticks < k1970 ? 0 : (ticks - k1970) / 10000000ULL;
}

// What the reader must say about an entry, from the system's facts about the entry itself.
void expect_entry_matches_system(const EntryMetadata& entry, const EntryFacts& facts) {
  const bool is_directory = (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  EXPECT_EQ(entry.is_directory, is_directory);
  EXPECT_EQ(entry.kind.index(), is_directory ? 1u : 0u) << "file 0, directory 1, link 2";
  EXPECT_EQ(entry.volume_serial, facts.volume_serial);
  if (!is_directory) {
    EXPECT_EQ(entry.logical_bytes, facts.end_of_file);
    EXPECT_EQ(entry.size_on_disk_bytes, facts.allocation_size);
  }
  EXPECT_EQ(entry.modified_at_epoch_seconds, seconds_since_1970(facts.last_write));
  uint8_t flags = 0;
  if (facts.attributes & FILE_ATTRIBUTE_SPARSE_FILE) flags |= kSparse;
  if (facts.attributes & FILE_ATTRIBUTE_COMPRESSED) flags |= kCompressed;
  EXPECT_EQ(entry.flags, flags);
  // The identifier: the extended class's 128 bits, or the 64-bit index widened; either way the
  // low half is the file index on NTFS and on Wine.
  ASSERT_TRUE(entry.file_id.has_value());
  EXPECT_EQ(*entry.file_id, widened(facts.file_index));
}

TEST(WindowsDirectoryReader, AFolderLargerThanOneBufferArrivesInBatches) {
  const ScratchFolder scratch;
  std::set<OsString> names;
  for (int i = 0; i < 2000; ++i) {
    const std::wstring name = L"entry-" + std::to_wstring(i) + L"-" + std::wstring(100, L'n');
    if (i % 100 == 0) {
      scratch.folder(name);
    } else {
      scratch.file(name, std::string(i % 7, 'x'));
    }
    names.insert(name);
  }
  const OsString path = canonical(scratch.path());

  const Listing listing = list(path);

  ASSERT_TRUE(listing.result.has_value()) << to_string(listing.result.error());
  const std::vector<EntriesEvent> batches = listing.batches();
  // 2000 records of more than 300 bytes each fill ten 64 KiB buffers at the least.
  EXPECT_GE(batches.size(), 2000u * 300 / kListingBufferBytes + 1);
  const std::map<OsString, EntryMetadata> entries = listing.entries_by_name();
  std::set<OsString> listed;
  for (const auto& [name, entry] : entries) listed.insert(name);
  EXPECT_EQ(listed, names) << "every entry once, and no \".\" or \"..\"";

  // One Volume event first, then each batch right after its progress call, counted exactly.
  ASSERT_FALSE(listing.steps.empty());
  ASSERT_TRUE(std::holds_alternative<VolumeEvent>(listing.steps.front()));
  ASSERT_EQ(listing.steps.size(), 1 + 2 * batches.size());
  for (std::size_t i = 1; i < listing.steps.size(); i += 2) {
    const auto* progress = std::get_if<ProgressCall>(&listing.steps[i]);
    const auto* batch = std::get_if<EntriesEvent>(&listing.steps[i + 1]);
    ASSERT_TRUE(progress != nullptr && batch != nullptr) << "step " << i;
    EXPECT_EQ(progress->path, path);
    BatchCounts counts;
    for (const EntryMetadata& entry : *batch) counts.add(entry);
    EXPECT_EQ(progress->counts.files, counts.files);
    EXPECT_EQ(progress->counts.folders, counts.folders);
    EXPECT_EQ(progress->counts.bytes, counts.bytes);
  }
  // Entries from every batch, checked against the system (each entry costs an open).
  int number = 0;
  for (const auto& [name, entry] : entries) {
    if (number++ % 50 != 0) continue;
    SCOPED_TRACE(platform::to_utf8_lossy(name));
    const std::optional<EntryFacts> facts = entry_facts(scratch / name);
    ASSERT_TRUE(facts.has_value());
    expect_entry_matches_system(entry, *facts);
  }
}

TEST(WindowsDirectoryReader, EntryValuesAreWhatTheSystemSaysOfEachEntry) {
  const ScratchFolder scratch;
  scratch.file(L"empty.txt");
  scratch.file(L"small.txt", std::string(5000, 's'));
  scratch.sparse_file(L"sparse.bin", int64_t{1} << 30);
  scratch.folder(L"folder");
  scratch.file(L"folder\\inner.txt", "inner");
  scratch.file(L"hard-a.txt", "shared");
  scratch.hard_link(L"hard-b.txt", L"hard-a.txt");
  scratch.hard_link(L"folder\\hard-c.txt", L"hard-a.txt");
  scratch.file(L"\u00fcn\u00efc\u00f8d\u00e9-\u65e5\u672c \U0001F4C1.txt", "u");
  scratch.file(std::wstring(255, L'L'), "l");
  scratch.file(L"dated.txt", "d");
  scratch.set_write_time(L"dated.txt", platform::testing::file_time(1234567890, 5000000));
  scratch.file(L"before-1970.txt", "b");
  scratch.set_write_time(L"before-1970.txt", platform::testing::file_time(-86400));
  scratch.file(L"at-1970.txt", "z");
  scratch.set_write_time(L"at-1970.txt", platform::testing::file_time(0, 9999999));

  const Listing listing = list(canonical(scratch.path()));

  ASSERT_TRUE(listing.result.has_value()) << to_string(listing.result.error());
  const std::map<OsString, EntryMetadata> entries = listing.entries_by_name();
  EXPECT_EQ(entries.size(), 11u);
  for (const auto& [name, entry] : entries) {
    SCOPED_TRACE(platform::to_utf8_lossy(name));
    const std::optional<EntryFacts> facts = entry_facts(scratch / name);
    ASSERT_TRUE(facts.has_value());
    expect_entry_matches_system(entry, *facts);
  }

  struct Expected {
    const wchar_t* name;
    uint64_t logical_bytes;
    std::optional<uint64_t> modified_at;
  };
  const Expected known[] = {
      {L"empty.txt", 0, std::nullopt},
      {L"small.txt", 5000, std::nullopt},
      {L"sparse.bin", uint64_t{1} << 30, std::nullopt},
      {L"dated.txt", 1, 1234567890},
      {L"before-1970.txt", 1, 0},
      {L"at-1970.txt", 1, 0},
  };
  for (const Expected& e : known) {
    SCOPED_TRACE(platform::to_utf8_lossy(e.name));
    ASSERT_TRUE(entries.contains(e.name));
    const EntryMetadata& entry = entries.at(e.name);
    EXPECT_EQ(entry.logical_bytes, e.logical_bytes);
    if (e.modified_at) {
      EXPECT_EQ(entry.modified_at_epoch_seconds, *e.modified_at);
    }
  }
  // Nothing of a sparse file's gigabyte is allocated; the flag follows the system's attribute
  // (Wine does not report FILE_ATTRIBUTE_SPARSE_FILE).
  EXPECT_LT(entries.at(L"sparse.bin").size_on_disk_bytes, uint64_t{1} << 20);
  EXPECT_TRUE(entries.at(L"folder").is_directory);
  EXPECT_EQ(entries.at(L"hard-a.txt").file_id, entries.at(L"hard-b.txt").file_id);

  const Listing inner = list(canonical(scratch / L"folder"));
  ASSERT_TRUE(inner.result.has_value()) << to_string(inner.result.error());
  const std::map<OsString, EntryMetadata> inner_entries = inner.entries_by_name();
  ASSERT_TRUE(inner_entries.contains(L"hard-c.txt"));
  EXPECT_EQ(inner_entries.at(L"hard-c.txt").file_id, entries.at(L"hard-a.txt").file_id)
      << "hard links in different folders share the identity";
}

TEST(WindowsDirectoryReader, AnEmptyFolderGivesOneEmptyBatch) {
  const ScratchFolder scratch;
  scratch.folder(L"empty");

  const Listing listing = list(canonical(scratch / L"empty"));

  ASSERT_TRUE(listing.result.has_value()) << to_string(listing.result.error());
  // "." and ".." fill the first buffer; they make no entry and count nothing.
  ASSERT_EQ(listing.steps.size(), 3u);
  const auto* progress = std::get_if<ProgressCall>(&listing.steps[1]);
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->counts.files + progress->counts.folders + progress->counts.bytes, 0u);
  ASSERT_EQ(listing.batches().size(), 1u);
  EXPECT_TRUE(listing.batches().front().empty());
}

// The file-system kind the reader must report for a volume named `name`.
storage::FileSystemKind kind_named(const std::wstring& name) {
  if (name == L"NTFS") return storage::FileSystemKind::Ntfs;
  if (name == L"ReFS") return storage::FileSystemKind::ReFs;
  if (name == L"FAT32") return storage::FileSystemKind::Fat32;
  if (name == L"exFAT") return storage::FileSystemKind::ExFat;
  return storage::FileSystemKind::Other;
}

TEST(WindowsDirectoryReader, VolumeEventsFollowTheExpectedVolume) {
  const ScratchFolder scratch;
  scratch.file(L"a.txt", "a");
  const OsString path = canonical(scratch.path());
  const std::optional<EntryFacts> facts = entry_facts(scratch.path());
  ASSERT_TRUE(facts.has_value());
  const uint64_t serial = facts->volume_serial;
  wchar_t file_system[MAX_PATH + 1] = {};
  ASSERT_TRUE(GetVolumeInformationW((scratch.path().substr(0, 3)).c_str(), nullptr, 0, nullptr,
                                    nullptr, nullptr, file_system, MAX_PATH + 1));
  const storage::FileSystemKind kind = kind_named(file_system);

  struct Case {
    const char* name;
    std::optional<uint64_t> expected_volume;
    bool query_file_system;
    std::vector<VolumeEvent> events;
    bool listed;
  };
  const uint64_t other = serial ^ 0xFFFF;
  const Case cases[] = {
      {"root of a scan", std::nullopt, true, {{serial, kind}}, true},
      {"no expectation", std::nullopt, false, {{serial, storage::FileSystemKind::Other}}, true},
      {"the expected volume", serial, false, {}, true},
      {"another volume", other, false, {{serial, storage::FileSystemKind::Other}}, false},
      {"another volume, kind asked", other, true, {{serial, kind}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Listing listing = list(path, c.expected_volume, c.query_file_system);
    ASSERT_TRUE(listing.result.has_value()) << to_string(listing.result.error());
    const std::vector<VolumeEvent> events = listing.volume_events();
    ASSERT_EQ(events.size(), c.events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ(events[i].volume_serial, c.events[i].volume_serial);
      EXPECT_EQ(events[i].file_system, c.events[i].file_system);
    }
    if (!c.events.empty()) {
      EXPECT_TRUE(std::holds_alternative<VolumeEvent>(listing.steps[0]));
    }
    EXPECT_EQ(listing.batches().empty(), !c.listed);
  }
}

// `message` is a system text, a blank and `suffix`.
void expect_system_text_then(const std::string& message, const std::string& suffix) {
  ASSERT_GT(message.size(), suffix.size() + 1) << message;
  EXPECT_TRUE(message.ends_with(" " + suffix)) << message;
  const char last_of_text = message[message.size() - suffix.size() - 2];
  EXPECT_FALSE(last_of_text == ' ' || last_of_text == '\n' || last_of_text == '\r') << message;
}

TEST(WindowsDirectoryReader, FailuresCarryTheSystemTextAndCode) {
  const ScratchFolder scratch;
  scratch.file(L"file.txt", "f");
  struct Case {
    const char* name;
    std::wstring path;
    uint32_t code;
    const char* suffix;
  };
  const Case cases[] = {
      {"missing folder", scratch.verbatim(L"missing"), 2, "(0x80070002)"},
      {"missing parent", scratch.verbatim(L"missing\\child"), 3, "(0x80070003)"},
      // Opened, but no listing class applies to a file: the last method's error stays.
      {"a file", scratch.verbatim(L"file.txt"), 87, "(0x80070057)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Listing listing = list(c.path);
    ASSERT_FALSE(listing.result.has_value());
    EXPECT_EQ(listing.result.error().win32_code, c.code);
    expect_system_text_then(to_string(listing.result.error()), c.suffix);
    EXPECT_TRUE(listing.batches().empty());
  }
}

// A folder the user cannot read. Unix permissions do not bind root under Wine, so this runs as
// its own CTest entry as an unprivileged user, which names the folder (made unreadable on the
// Unix side) in KETTERLIN_LOCKED_FOLDER.
TEST(WindowsDirectoryReader, AFolderTheUserCannotReadIsAccessDenied) {
  std::optional<std::wstring> locked =
      platform::testing::environment_variable(L"KETTERLIN_LOCKED_FOLDER");
  if (!locked) {
    GTEST_SKIP() << "runs in its own CTest entry as an unprivileged user, which sets "
                    "KETTERLIN_LOCKED_FOLDER";
  }
  if (locked->starts_with(L"/")) *locked = platform::testing::wine_path_of_unix_path(*locked);

  const Listing listing = list(L"\\\\?\\" + *locked);

  ASSERT_FALSE(listing.result.has_value());
  EXPECT_EQ(listing.result.error().win32_code, 5u);
  expect_system_text_then(to_string(listing.result.error()), "(0x80070005)");
}

TEST(WindowsDirectoryReader, StopsForTheCancelFlagAndTheSink) {
  const ScratchFolder scratch;
  // More than one buffer's worth of records.
  for (int i = 0; i < 400; ++i)
    scratch.file(L"file-" + std::to_wstring(i) + std::wstring(150, L'f'));
  const OsString path = canonical(scratch.path());
  struct Case {
    const char* name;
    int stop_after_batches;
    bool cancel_after_first_batch;
    std::size_t batches;
  };
  const Case cases[] = {
      {"sink refuses the Volume event", -1, false, 0},
      {"sink refuses the first batch", 1, false, 1},
      {"cancel raised during the first batch", 0, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Listing listing =
        list(path, std::nullopt, false, c.stop_after_batches, c.cancel_after_first_batch);
    ASSERT_FALSE(listing.result.has_value());
    EXPECT_EQ(listing.result.error(), directory_cancelled());
    EXPECT_EQ(listing.batches().size(), c.batches);
  }

  std::atomic<bool> cancelled{true};
  int calls = 0;
  const auto early = read_directory(
      path, std::nullopt, true, cancelled,
      [&](platform::OsStringView, const BatchCounts&) { ++calls; },
      [&](DirectoryEvent&&) {
        ++calls;
        return true;
      });
  ASSERT_FALSE(early.has_value());
  EXPECT_EQ(early.error(), directory_cancelled());
  EXPECT_EQ(calls, 0);
}

// ---- The system calls behind messages and links ----

TEST(WindowsSystemCalls, MessageTextsAndTheirFallback) {
  const std::unique_ptr<windows_fs::WindowsFileSystem> system =
      windows_fs::make_system_file_system();
  const bool wine = platform::testing::running_under_wine();
  struct Case {
    const char* name;
    windows_fs::Hresult hresult;
    bool has_text;
    std::string message;  // the whole message when there is no text, else its suffix
    std::optional<uint32_t> code;
  };
  const Case cases[] = {
      {"a Win32 error", 0x80070005, true, "(0x80070005)", 5},
      {"a Win32 code without any text", 0x8007FFFF, false, "0x8007FFFF", 0xFFFF},
      {"an NT status without any text", 0xD000FFFF, false, "0xD000FFFF", std::nullopt},
      // Wine's ntdll has no message table: the HRESULT alone.
      {"an NT status, ntdll's text", 0xD0000022, !wine, wine ? "0xD0000022" : "(0xD0000022)",
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DirectoryError error =
        windows_fs::directory_error(c.hresult, system->system_message(c.hresult));
    EXPECT_EQ(error.win32_code, c.code);
    if (c.has_text) {
      expect_system_text_then(to_string(error), c.message);
    } else {
      EXPECT_EQ(to_string(error), c.message);
    }
  }
}

TEST(WindowsSystemCalls, LinkLookupsOnPlainFoldersFindNothing) {
  const ScratchFolder scratch;
  scratch.folder(L"plain");
  const std::unique_ptr<windows_fs::WindowsFileSystem> system =
      windows_fs::make_system_file_system();
  const std::wstring plain = scratch.verbatim(L"plain");
  EXPECT_EQ(system->volume_name_for_mount_point(plain + L"\\"), std::nullopt);
  EXPECT_EQ(system->read_reparse_data(plain), std::nullopt);

  struct Case {
    const char* name;
    std::u16string path;
    bool round_trips;
  };
  const Case cases[] = {
      {"plain drive path", u"C:\\Data\\x.txt", true},
      {"trailing dot", u"C:\\Data\\x.", false},
      {"trailing blank", u"C:\\Data\\x ", false},
      {"dot-dot component", u"C:\\Data\\..\\x", false},
      {"forward slash", u"C:/Data", false},
      {"UNC path", u"\\\\server\\share\\x", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(system->full_path_round_trips(c.path), c.round_trips);
  }
}

}  // namespace
}  // namespace ketterlin::scanner
