#include "scanner/directory_reader.h"

#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace ketterlin::scanner {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

EntryMetadata entry_of(bool is_directory, uint64_t on_disk) {
  EntryMetadata entry;
  entry.is_directory = is_directory;
  entry.size_on_disk_bytes = on_disk;
  entry.logical_bytes = on_disk + 1;  // counts use the allocated size, never the logical one
  return entry;
}

TEST(BatchCountsTest, CountsFilesFoldersAndFileBytes) {
  struct Case {
    const char* name;
    std::vector<EntryMetadata> entries;
    BatchCounts expected;
  };
  const Case cases[] = {
      {"empty", {}, {0, 0, 0}},
      {"files add their bytes", {entry_of(false, 10), entry_of(false, 32)}, {2, 0, 42}},
      {"folders add no bytes", {entry_of(true, 4096), entry_of(false, 5)}, {1, 1, 5}},
      {"bytes saturate", {entry_of(false, kMax - 1), entry_of(false, 2)}, {2, 0, kMax}},
      {"saturated stays saturated", {entry_of(false, kMax), entry_of(false, kMax)}, {2, 0, kMax}},
      {"exactly the maximum", {entry_of(false, kMax - 5), entry_of(false, 5)}, {2, 0, kMax}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BatchCounts counts;
    for (const EntryMetadata& entry : c.entries) counts.add(entry);
    EXPECT_EQ(counts.files, c.expected.files);
    EXPECT_EQ(counts.folders, c.expected.folders);
    EXPECT_EQ(counts.bytes, c.expected.bytes);
  }
}

TEST(DirectoryCancelledTest, HasTheFixedTextAndNoCode) {
  const DirectoryError error = directory_cancelled();
  EXPECT_EQ(to_string(error), "Scan cancelled");
  EXPECT_FALSE(error.win32_code.has_value());
}

TEST(DirectoryErrorTest, ShowsTheSystemsTextOfEachKind) {
  const struct {
    const char* name;
    DirectoryError error;
    std::string text;
  } cases[] = {
      {"POSIX call", DirectoryError::os(platform::OsError{13}, 5),
       platform::to_string(platform::OsError{13})},
      {"Windows call", DirectoryError::windows(0x80070005, "Access is denied.", 5),
       "Access is denied. (0x80070005)"},
      {"Windows call without a system text", DirectoryError::windows(0xD000002A, "", std::nullopt),
       "0xD000002A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_string(c.error), c.text);
  }
}

TEST(DecideVolumeTest, FollowsTheVolumeTable) {
  using storage::FileSystemKind;
  constexpr uint64_t kSerial = 0x1234;
  struct Case {
    const char* name;
    std::optional<uint64_t> expected_volume;
    std::optional<FileSystemKind> file_system;
    bool event_sent;
    FileSystemKind event_kind;
    bool listed;
  };
  const Case cases[] = {
      {"matching, not queried", kSerial, std::nullopt, false, FileSystemKind::Other, true},
      {"unknown, not queried", std::nullopt, std::nullopt, true, FileSystemKind::Other, true},
      {"different, not queried", kSerial + 1, std::nullopt, true, FileSystemKind::Other, false},
      {"unknown, queried", std::nullopt, FileSystemKind::ExFat, true, FileSystemKind::ExFat, true},
      {"matching, queried", kSerial, FileSystemKind::Ntfs, true, FileSystemKind::Ntfs, true},
      {"different, queried", 0, FileSystemKind::Fat32, true, FileSystemKind::Fat32, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VolumeDecision decision = decide_volume(kSerial, c.expected_volume, c.file_system);
    EXPECT_EQ(decision.list, c.listed);
    ASSERT_EQ(decision.event.has_value(), c.event_sent);
    if (!decision.event) continue;
    EXPECT_EQ(decision.event->volume_serial, kSerial);
    EXPECT_EQ(decision.event->file_system, c.event_kind);
  }
}

}  // namespace
}  // namespace ketterlin::scanner
