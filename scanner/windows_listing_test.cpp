#include "scanner/windows_listing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "scanner/windows_records_testing.h"

namespace ketterlin::scanner::windows_fs {
namespace {

using platform::from_utf8;
using platform::OsString;
using platform::to_utf8_lossy;
using testing::listing_buffer;
using testing::reparse_data;
using testing::TestRecord;

constexpr Hresult kAccessDenied = 0x80070005;
constexpr Hresult kInvalidParameter = 0x80070057;
constexpr Hresult kInvalidFunction = 0x80070001;
constexpr Hresult kNotSupported = 0x80070032;
constexpr Hresult kNoMoreFiles = 0x80070012;

// The fake system's text for an HRESULT, as FormatMessageW would give it.
std::u16string fake_text(Hresult hresult) {
  char text[32];
  std::snprintf(text, sizeof text, "text %X\r\n", hresult);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

// The message list_directory must build for `hresult` from the fake's text.
std::string fake_message(Hresult hresult) {
  char text[48];
  std::snprintf(text, sizeof text, "text %X (0x%08X)", hresult, hresult);
  return text;
}

// One scripted answer to a listing query: the class it expects and a buffer or a failure.
struct QueryAnswer {
  uint32_t info_class;
  std::variant<std::vector<std::byte>, Hresult> result;
};

struct FakeState {
  std::optional<Hresult> open_failure;
  tl::expected<uint32_t, Hresult> serial = 0x1234ABCD;
  std::optional<std::u16string> file_system_name = u"NTFS";
  std::deque<QueryAnswer> answers;
  std::map<std::string, std::deque<std::optional<std::string>>> volume_names;  // per query path
  std::map<std::string, std::vector<std::byte>> reparse_points;
  std::vector<std::string> round_tripping_paths;

  // What happened.
  int opens = 0;
  int closes = 0;
  int file_system_reads = 0;
  std::vector<uint32_t> queried_classes;
  std::vector<std::string> volume_name_queries;
  std::vector<std::string> reparse_reads;
};

class FakeDirectory final : public OpenedDirectory {
 public:
  explicit FakeDirectory(FakeState& state) : state_(state) {}
  ~FakeDirectory() override { ++state_.closes; }

  tl::expected<uint32_t, Hresult> volume_serial() override { return state_.serial; }

  std::optional<std::u16string> file_system_name() override {
    ++state_.file_system_reads;
    return state_.file_system_name;
  }

  tl::expected<void, Hresult> query_directory(uint32_t info_class,
                                              std::span<std::byte> buffer) override {
    state_.queried_classes.push_back(info_class);
    EXPECT_EQ(buffer.size(), kListingBufferBytes);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % 8, 0u);
    if (state_.answers.empty()) {
      ADD_FAILURE() << "unscripted query of class " << info_class;
      return tl::unexpected(kNoMoreFiles);
    }
    QueryAnswer answer = std::move(state_.answers.front());
    state_.answers.pop_front();
    EXPECT_EQ(info_class, answer.info_class);
    if (const Hresult* failure = std::get_if<Hresult>(&answer.result)) {
      return tl::unexpected(*failure);
    }
    const auto& bytes = std::get<std::vector<std::byte>>(answer.result);
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
    return {};
  }

 private:
  FakeState& state_;
};

class FakeFileSystem final : public WindowsFileSystem {
 public:
  explicit FakeFileSystem(FakeState& state) : state_(state) {}

  tl::expected<std::unique_ptr<OpenedDirectory>, Hresult> open_directory(
      platform::OsStringView) override {
    ++state_.opens;
    if (state_.open_failure) return tl::unexpected(*state_.open_failure);
    return std::make_unique<FakeDirectory>(state_);
  }

  std::u16string system_message(Hresult hresult) override { return fake_text(hresult); }

  std::optional<OsString> volume_name_for_mount_point(platform::OsStringView path) override {
    const std::string key = to_utf8_lossy(path);
    state_.volume_name_queries.push_back(key);
    auto found = state_.volume_names.find(key);
    if (found == state_.volume_names.end() || found->second.empty()) return std::nullopt;
    const std::optional<std::string> name = found->second.front();
    found->second.pop_front();
    if (!name) return std::nullopt;
    return from_utf8(*name);
  }

  std::optional<std::vector<std::byte>> read_reparse_data(platform::OsStringView path) override {
    const std::string key = to_utf8_lossy(path);
    state_.reparse_reads.push_back(key);
    auto found = state_.reparse_points.find(key);
    if (found == state_.reparse_points.end()) return std::nullopt;
    return found->second;
  }

  bool full_path_round_trips(std::u16string_view plain) override {
    const std::string text = to_utf8_lossy(os_string_from_utf16(plain));
    return std::find(state_.round_tripping_paths.begin(), state_.round_tripping_paths.end(),
                     text) != state_.round_tripping_paths.end();
  }

 private:
  FakeState& state_;
};

struct ProgressCall {
  std::string path;
  uint64_t files, folders, bytes;
  friend bool operator==(const ProgressCall&, const ProgressCall&) = default;
};

// Everything the callbacks saw, in order.
struct Recorder {
  std::vector<std::variant<ProgressCall, VolumeEvent, EntriesEvent, OwnTimeEvent>> calls;
  std::optional<std::size_t> refuse_at;  // the sink answers false to this event (0-based)
  std::atomic<bool>* cancel_after_first_batch = nullptr;
  std::size_t events = 0;

  ProgressCallback progress() {
    return [this](platform::OsStringView path, const BatchCounts& counts) {
      calls.emplace_back(
          ProgressCall{to_utf8_lossy(path), counts.files, counts.folders, counts.bytes});
    };
  }
  DirectorySink sink() {
    return [this](DirectoryEvent&& event) {
      const bool batch = std::holds_alternative<EntriesEvent>(event);
      if (batch && cancel_after_first_batch) cancel_after_first_batch->store(true);
      std::visit([this](auto&& payload) { calls.emplace_back(std::move(payload)); },
                 std::move(event));
      return refuse_at != events++;
    };
  }

  // The calls of one kind, in order.
  template <typename Call>
  std::vector<Call> all() const {
    std::vector<Call> found;
    for (const auto& call : calls) {
      if (const auto* match = std::get_if<Call>(&call)) found.push_back(*match);
    }
    return found;
  }
};

const std::string kDirectory = "\\\\?\\C:\\Data";

struct FakeListing {
  FakeState state;
  Recorder recorder;
  std::atomic<bool> cancel{false};

  tl::expected<void, DirectoryError> list(std::optional<uint64_t> expected_volume = std::nullopt,
                                          bool query_file_system = false) {
    FakeFileSystem system(state);
    const OsString path = from_utf8(kDirectory);
    auto result = list_directory(system, path, expected_volume, query_file_system, cancel,
                                 recorder.progress(), recorder.sink());
    EXPECT_EQ(state.closes, state.open_failure ? 0 : state.opens) << "handle left open";
    return result;
  }
};

TestRecord file_record(std::u16string name, int64_t allocation = 4096) {
  TestRecord record;
  record.name = std::move(name);
  record.attributes = 0x20;
  record.end_of_file = allocation / 2;
  record.allocation_size = allocation;
  return record;
}

TestRecord directory_record(std::u16string name) {
  TestRecord record;
  record.name = std::move(name);
  record.attributes = 0x10;
  return record;
}

std::vector<std::string> names_of(const EntriesEvent& batch) {
  std::vector<std::string> names;
  for (const EntryMetadata& entry : batch) names.push_back(to_utf8_lossy(entry.name));
  return names;
}

TEST(WindowsListing, DecidesFromTheVolumeWhetherToList) {
  using Kind = storage::FileSystemKind;
  struct Case {
    const char* name;
    std::optional<uint64_t> expected_volume;
    bool query_file_system;
    bool name_readable;
    std::optional<Kind> event;  // the Volume event's file system; nullopt: no event
    bool listed;
  };
  const uint64_t serial = 0x1234ABCD;
  const Case cases[] = {
      {"expected volume, no file system", serial, false, true, std::nullopt, true},
      {"no expected volume", std::nullopt, false, true, Kind::Other, true},
      {"other volume", 77, false, true, Kind::Other, false},
      {"root without expected volume", std::nullopt, true, true, Kind::Ntfs, true},
      {"root on the expected volume", serial, true, true, Kind::Ntfs, true},
      {"root on another volume", 77, true, true, Kind::Ntfs, false},
      {"file system name unreadable", std::nullopt, true, false, Kind::Other, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeListing run;
    if (!c.name_readable) run.state.file_system_name = std::nullopt;
    run.state.answers.push_back({20, kNoMoreFiles});
    ASSERT_TRUE(run.list(c.expected_volume, c.query_file_system).has_value());
    const std::vector<VolumeEvent> events = run.recorder.all<VolumeEvent>();
    ASSERT_EQ(events.size(), c.event ? 1u : 0u);
    if (c.event) {
      EXPECT_EQ(events[0].volume_serial, serial);
      EXPECT_EQ(events[0].file_system, *c.event);
    }
    EXPECT_EQ(run.state.queried_classes.empty(), !c.listed);
    EXPECT_EQ(run.state.file_system_reads, c.query_file_system ? 1 : 0);
  }
}

TEST(WindowsListing, FailsWithTheSystemErrorBeforeListing) {
  struct Case {
    const char* name;
    std::optional<Hresult> open_failure;
    std::optional<Hresult> serial_failure;
    Hresult reported;
    uint32_t code;
  };
  const Case cases[] = {
      {"open denied", kAccessDenied, std::nullopt, kAccessDenied, 5},
      {"open: path not found", 0x80070003, std::nullopt, 0x80070003, 3},
      {"volume serial unreadable", std::nullopt, 0x80070015, 0x80070015, 21},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeListing run;
    run.state.open_failure = c.open_failure;
    if (c.serial_failure) run.state.serial = tl::unexpected(*c.serial_failure);
    const auto result = run.list();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(to_string(result.error()), fake_message(c.reported));
    EXPECT_EQ(result.error().win32_code, c.code);
    EXPECT_TRUE(run.recorder.calls.empty());
    EXPECT_TRUE(run.state.queried_classes.empty());
  }
}

TEST(WindowsListing, StopsWhenCancelledOrRefused) {
  struct Case {
    const char* name;
    bool cancelled_on_entry;
    bool cancel_after_first_batch;
    std::optional<std::size_t> refuse_at;
    int opens;
    std::vector<uint32_t> queried;
    std::size_t batches;
  };
  const Case cases[] = {
      {"cancelled on entry", true, false, std::nullopt, 0, {}, 0},
      {"sink refuses the volume event", false, false, 0, 1, {}, 0},
      {"sink refuses the first batch", false, false, 1, 1, {20}, 1},
      {"cancelled before the second query", false, true, std::nullopt, 1, {20}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeListing run;
    run.cancel = c.cancelled_on_entry;
    if (c.cancel_after_first_batch) run.recorder.cancel_after_first_batch = &run.cancel;
    run.recorder.refuse_at = c.refuse_at;
    run.state.answers.push_back(
        {20, listing_buffer(RecordLayout::IdExtended, {file_record(u"a")})});
    run.state.answers.push_back({19, kNoMoreFiles});
    const auto result = run.list();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), directory_cancelled());
    EXPECT_EQ(run.state.opens, c.opens);
    EXPECT_EQ(run.state.queried_classes, c.queried);
    EXPECT_EQ(run.recorder.all<EntriesEvent>().size(), c.batches);
  }
}

TEST(WindowsListing, EndsWithoutABatchWhenTheFirstQueryFindsNothing) {
  FakeListing run;
  run.state.answers.push_back({20, kNoMoreFiles});
  ASSERT_TRUE(run.list(0x1234ABCD).has_value());
  EXPECT_TRUE(run.recorder.calls.empty());
}

TEST(WindowsListing, HandsOverAnEmptyBatchForDotEntries) {
  FakeListing run;
  run.state.answers.push_back(
      {20, listing_buffer(RecordLayout::IdExtended, {{.name = u"."}, {.name = u".."}})});
  run.state.answers.push_back({19, kNoMoreFiles});
  ASSERT_TRUE(run.list(0x1234ABCD).has_value());
  ASSERT_EQ(run.recorder.calls.size(), 2u);
  EXPECT_EQ(std::get<ProgressCall>(run.recorder.calls[0]), (ProgressCall{kDirectory, 0, 0, 0}));
  EXPECT_TRUE(std::get<EntriesEvent>(run.recorder.calls[1]).empty());
}

TEST(WindowsListing, ReportsEachBatchToProgressBeforeTheSink) {
  FakeListing run;
  TestRecord directory_link = directory_record(u"dir-link");
  directory_link.attributes |= 0x400;
  directory_link.reparse_point_tag = kReparseTagSymlink;
  directory_link.allocation_size = 999;  // not counted: it has the directory attribute
  run.state.answers.push_back(
      {20,
       listing_buffer(
           RecordLayout::IdExtended,
           {{.name = u"."}, file_record(u"a", 4096), directory_record(u"sub"), directory_link})});
  run.state.answers.push_back(
      {19,
       listing_buffer(RecordLayout::IdExtended, {file_record(u"b", 100), file_record(u"c", 28)})});
  run.state.answers.push_back({19, kNoMoreFiles});
  ASSERT_TRUE(run.list().has_value());

  ASSERT_EQ(run.recorder.calls.size(), 5u);
  EXPECT_TRUE(std::holds_alternative<VolumeEvent>(run.recorder.calls[0]));
  EXPECT_EQ(std::get<ProgressCall>(run.recorder.calls[1]), (ProgressCall{kDirectory, 1, 2, 4096}));
  EXPECT_EQ(names_of(std::get<EntriesEvent>(run.recorder.calls[2])),
            (std::vector<std::string>{"a", "sub", "dir-link"}));
  EXPECT_EQ(std::get<ProgressCall>(run.recorder.calls[3]), (ProgressCall{kDirectory, 2, 0, 128}));
  EXPECT_EQ(names_of(std::get<EntriesEvent>(run.recorder.calls[4])),
            (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(run.state.queried_classes, (std::vector<uint32_t>{20, 19, 19}));
}

TEST(WindowsListing, FallsBackToOlderClassesThatTheFileSystemKnows) {
  TestRecord record = file_record(u"f");
  for (uint8_t i = 0; i < 16; ++i) record.file_id[i] = static_cast<uint8_t>(i + 1);
  const FileId full{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const FileId widened{1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0};
  struct Case {
    const char* name;
    std::vector<Hresult> refusals;  // answers to the first queries of the methods before
    std::vector<uint32_t> classes;
    RecordLayout layout;
    std::optional<FileId> file_id;
  };
  const Case cases[] = {
      {"extended class known", {}, {20, 19, 19}, RecordLayout::IdExtended, full},
      {"extended class refused",
       {kInvalidParameter},
       {20, 11, 10, 10},
       RecordLayout::IdBoth,
       widened},
      {"both id classes refused",
       {kInvalidFunction, kNotSupported},
       {20, 11, 15, 14, 14},
       RecordLayout::Full,
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeListing run;
    for (std::size_t i = 0; i < c.refusals.size(); ++i) {
      run.state.answers.push_back({kListingMethods[i].first_query_class, c.refusals[i]});
    }
    const ListingMethod& method = kListingMethods[c.refusals.size()];
    run.state.answers.push_back({method.first_query_class, listing_buffer(c.layout, {record})});
    run.state.answers.push_back({method.later_query_class, listing_buffer(c.layout, {record})});
    run.state.answers.push_back({method.later_query_class, kNoMoreFiles});
    ASSERT_TRUE(run.list().has_value());
    EXPECT_EQ(run.state.queried_classes, c.classes);
    const std::vector<EntriesEvent> batches = run.recorder.all<EntriesEvent>();
    ASSERT_EQ(batches.size(), 2u);
    for (const EntriesEvent& batch : batches) {
      ASSERT_EQ(batch.size(), 1u);
      EXPECT_EQ(batch[0].file_id, c.file_id);
    }
  }
}

TEST(WindowsListing, ReturnsQueryFailuresWithTheirCodeOnlyOnAFirstQuery) {
  struct Case {
    const char* name;
    std::vector<QueryAnswer> answers;
    Hresult reported;
    std::optional<uint32_t> code;
    std::size_t batches;
  };
  const std::vector<std::byte> one_file =
      listing_buffer(RecordLayout::IdExtended, {file_record(u"a")});
  const std::vector<std::byte> only_dots =
      listing_buffer(RecordLayout::IdExtended, {{.name = u".."}});
  const Case cases[] = {
      {"first query denied", {{20, kAccessDenied}}, kAccessDenied, 5, 0},
      {"continuation fails after a batch",
       {{20, one_file}, {19, 0x8007003B}},
       0x8007003B,
       std::nullopt,
       1},
      {"continuation refuses the class",
       {{20, one_file}, {19, kInvalidParameter}},
       kInvalidParameter,
       std::nullopt,
       1},
      {"continuation fails after dots only",
       {{20, only_dots}, {19, kAccessDenied}},
       kAccessDenied,
       std::nullopt,
       1},
      {"last method refuses its class",
       {{20, kInvalidParameter}, {11, kInvalidParameter}, {15, kInvalidFunction}},
       kInvalidFunction,
       1,
       0},
      {"fallback method denied", {{20, kNotSupported}, {11, kAccessDenied}}, kAccessDenied, 5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeListing run;
    run.state.answers.assign(c.answers.begin(), c.answers.end());
    const auto result = run.list();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(to_string(result.error()), fake_message(c.reported));
    EXPECT_EQ(result.error().win32_code, c.code);
    EXPECT_EQ(run.recorder.all<EntriesEvent>().size(), c.batches);
    EXPECT_TRUE(run.state.answers.empty());
  }
}

TEST(WindowsListing, DecodesEntryValues) {
  TestRecord negative = file_record(u"negative");
  negative.end_of_file = -5;
  negative.allocation_size = -4096;
  negative.last_write_time = 116'444'736'010'000'000;
  TestRecord deduplicated = file_record(u"dedup");
  deduplicated.attributes |= 0x400;
  deduplicated.ea_size = 0x80000013;
  TestRecord placeholder = file_record(u"cloud");
  placeholder.attributes |= 0x400400;
  placeholder.ea_size = 0x9000001A;
  TestRecord cloud_folder = directory_record(u"cloud-folder");
  cloud_folder.attributes |= 0x400 | 0x40000;
  cloud_folder.ea_size = 0x9000701A;

  FakeListing run;
  run.state.answers.push_back({20, kInvalidParameter});
  run.state.answers.push_back(
      {11,
       listing_buffer(RecordLayout::IdBoth, {negative, deduplicated, placeholder, cloud_folder})});
  run.state.answers.push_back({10, kNoMoreFiles});
  ASSERT_TRUE(run.list(0x1234ABCD).has_value());
  const std::vector<EntriesEvent> batches = run.recorder.all<EntriesEvent>();
  ASSERT_EQ(batches.size(), 1u);
  const EntriesEvent& entries = batches[0];
  ASSERT_EQ(entries.size(), 4u);

  EXPECT_EQ(entries[0].logical_bytes, 0u);
  EXPECT_EQ(entries[0].size_on_disk_bytes, 0u);
  EXPECT_EQ(entries[0].modified_at_epoch_seconds, 1u);
  EXPECT_TRUE(std::holds_alternative<FileEntry>(entries[0].kind));

  EXPECT_TRUE(std::holds_alternative<FileEntry>(entries[1].kind));
  EXPECT_EQ(entries[1].flags, kDeduplicated);
  EXPECT_EQ(entries[1].logical_bytes, 2048u);
  EXPECT_EQ(entries[1].size_on_disk_bytes, 4096u);

  EXPECT_TRUE(std::holds_alternative<FileEntry>(entries[2].kind));
  EXPECT_EQ(entries[2].flags, kCloudOnly);

  EXPECT_TRUE(std::holds_alternative<DirectoryEntry>(entries[3].kind));
  EXPECT_TRUE(entries[3].is_directory);
  EXPECT_EQ(entries[3].flags, kCloudOnly);

  for (const EntryMetadata& entry : entries) EXPECT_EQ(entry.volume_serial, 0x1234ABCDu);
  EXPECT_TRUE(run.state.reparse_reads.empty());
  EXPECT_TRUE(run.state.volume_name_queries.empty());
}

TEST(WindowsListing, ClassifiesLinksAndReadsTheirTargets) {
  const std::string mounted =
      to_utf8_lossy(platform::join_path(from_utf8(kDirectory), from_utf8("mounted")));
  const std::string junction =
      to_utf8_lossy(platform::join_path(from_utf8(kDirectory), from_utf8("junction")));
  const std::string symlink =
      to_utf8_lossy(platform::join_path(from_utf8(kDirectory), from_utf8("symlink")));
  const std::string relative =
      to_utf8_lossy(platform::join_path(from_utf8(kDirectory), from_utf8("relative")));
  const std::string other =
      to_utf8_lossy(platform::join_path(from_utf8(kDirectory), from_utf8("other")));
  const std::string flaky =
      to_utf8_lossy(platform::join_path(from_utf8(kDirectory), from_utf8("flaky")));
  const std::string volume = "\\\\?\\Volume{5e1f}\\";

  struct Case {
    const char* name;
    std::u16string record_name;
    uint32_t attributes;
    uint32_t tag;
    LinkKind kind;
    std::optional<std::string> target;
  };
  const Case cases[] = {
      {"volume mounted in a folder", u"mounted", 0x410, kReparseTagMountPoint,
       LinkKind::VolumeMountPoint, volume},
      {"junction to a folder", u"junction", 0x410, kReparseTagMountPoint, LinkKind::Junction,
       "C:\\Target"},
      {"absolute symbolic link", u"symlink", 0x400, kReparseTagSymlink, LinkKind::SymbolicLink,
       "\\\\?\\D:\\long."},
      {"relative symbolic link", u"relative", 0x410, kReparseTagSymlink, LinkKind::SymbolicLink,
       "..\\x"},
      {"other name surrogate", u"other", 0x400, 0xA000001D, LinkKind::OtherLink, std::nullopt},
      {"volume name lost on the second ask", u"flaky", 0x410, kReparseTagMountPoint,
       LinkKind::VolumeMountPoint, std::nullopt},
  };
  FakeListing run;
  run.state.volume_names[mounted + "\\"] = {volume, volume};
  run.state.volume_names[flaky + "\\"] = {volume, std::nullopt};
  run.state.reparse_points[junction] = reparse_data(kReparseTagMountPoint, u"\\??\\C:\\Target");
  run.state.reparse_points[symlink] = reparse_data(kReparseTagSymlink, u"\\??\\D:\\long.");
  run.state.reparse_points[relative] = reparse_data(kReparseTagSymlink, u"..\\x", 1);
  run.state.reparse_points[other] = reparse_data(0xA000001D, u"whatever");
  run.state.round_tripping_paths = {"C:\\Target"};  // "D:\long." loses its dot

  std::vector<TestRecord> records;
  for (const Case& c : cases) {
    TestRecord record;
    record.name = c.record_name;
    record.attributes = c.attributes;
    record.reparse_point_tag = c.tag;
    records.push_back(record);
  }
  run.state.answers.push_back({20, listing_buffer(RecordLayout::IdExtended, records)});
  run.state.answers.push_back({19, kNoMoreFiles});
  ASSERT_TRUE(run.list(0x1234ABCD).has_value());
  const std::vector<EntriesEvent> batches = run.recorder.all<EntriesEvent>();
  ASSERT_EQ(batches.size(), 1u);
  ASSERT_EQ(batches[0].size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const EntryMetadata& entry = batches[0][i];
    const LinkEntry* link = std::get_if<LinkEntry>(&entry.kind);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->link_kind, cases[i].kind);
    std::optional<std::string> target;
    if (link->link_target) target = to_utf8_lossy(*link->link_target);
    EXPECT_EQ(target, cases[i].target);
    EXPECT_EQ(entry.is_directory, (cases[i].attributes & 0x10) != 0);
  }
  // Only mount points ask for a volume name; volumes mounted in a folder are not read as links.
  EXPECT_EQ(run.state.volume_name_queries,
            (std::vector<std::string>{mounted + "\\", mounted + "\\", junction + "\\", flaky + "\\",
                                      flaky + "\\"}));
  EXPECT_EQ(run.state.reparse_reads,
            (std::vector<std::string>{junction, symlink, relative, other}));
}

}  // namespace
}  // namespace ketterlin::scanner::windows_fs
