#include "scanner/vocabulary.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/os_string.h"

namespace ketterlin::scanner {
namespace {

using platform::from_utf8;

const std::string kReplacement = "\xEF\xBF\xBD";

// "C:\Data" followed by one code unit that is not valid Unicode in the system's encoding.
platform::OsString path_with_invalid_unit() {
  platform::OsString path = from_utf8("C:\\Data");
  path.push_back(sizeof(platform::OsChar) == 1 ? static_cast<platform::OsChar>(0xFF)
                                               : static_cast<platform::OsChar>(0xDC00));
  return path;
}

TEST(ScanId, ShowsItsNumberAndItsDebugForm) {
  const struct {
    uint64_t value;
    const char* display;
    const char* debug;
  } cases[] = {
      {0, "0", "ScanId(0)"},
      {7, "7", "ScanId(7)"},
      {1234567890123, "1234567890123", "ScanId(1234567890123)"},
      {UINT64_MAX, "18446744073709551615", "ScanId(18446744073709551615)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.display);
    EXPECT_EQ(to_string(ScanId{c.value}), c.display);
    EXPECT_EQ(debug_string(ScanId{c.value}), c.debug);
  }
  EXPECT_LT(ScanId{1}, ScanId{2});
  EXPECT_NE(ScanId{1}, ScanId{2});
}

TEST(ScanStatus, HasFixedValuesNamesAndTerminalStates) {
  const struct {
    ScanStatus status;
    int value;
    const char* name;
    bool terminal;
  } cases[] = {
      {ScanStatus::Queued, 0, "Queued", false},      {ScanStatus::Running, 1, "Running", false},
      {ScanStatus::Completed, 2, "Completed", true}, {ScanStatus::Cancelled, 3, "Cancelled", true},
      {ScanStatus::Failed, 4, "Failed", true},       {ScanStatus::Stale, 5, "Stale", false},
  };
  static_assert(sizeof(ScanStatus) == 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(static_cast<int>(c.status), c.value);
    EXPECT_EQ(debug_string(c.status), c.name);
    EXPECT_EQ(is_terminal(c.status), c.terminal);
  }
}

struct FailureCase {
  const char* name;
  ScanFailure failure;
  std::string display;
  std::string debug;
};

TEST(ScanFailure, DisplaysAndDebugPrintsEveryField) {
  const FailureCase cases[] = {
      {"cancelled at a folder", cancelled(ScanId{3}, from_utf8("C:\\Data")),
       "Scan 3 failed at C:\\Data: Scan cancelled",
       "ScanFailure { id: ScanId(3), path: \"C:\\\\Data\", status: Cancelled, message: \"Scan "
       "cancelled\" }"},
      {"empty path", no_outcome_failure(ScanId{9}),
       "Scan 9 failed at : Scan worker stopped before reporting a result",
       "ScanFailure { id: ScanId(9), path: \"\", status: Failed, message: \"Scan worker stopped "
       "before reporting a result\" }"},
      {"non-ASCII path kept as text",
       job_failure(ScanId{1},
                   from_utf8("D:\\B\xC3\xBC"
                             "cher"),
                   "Access is denied."),
       "Scan 1 failed at D:\\B\xC3\xBC"
       "cher: Access is denied.",
       "ScanFailure { id: ScanId(1), path: \"D:\\\\B\xC3\xBC"
       "cher\", status: Failed, message: "
       "\"Access is denied.\" }"},
      {"path that is not valid Unicode", job_failure(ScanId{4}, path_with_invalid_unit(), "x"),
       "Scan 4 failed at C:\\Data" + kReplacement + ": x",
       "ScanFailure { id: ScanId(4), path: \"C:\\\\Data" + kReplacement +
           "\", status: Failed, message: \"x\" }"},
      {"quotes and control characters are escaped in the debug form only",
       job_failure(ScanId{5}, from_utf8("C:\\\"q\""), "line\nnext\ttab\x01"),
       "Scan 5 failed at C:\\\"q\": line\nnext\ttab\x01",
       "ScanFailure { id: ScanId(5), path: \"C:\\\\\\\"q\\\"\", status: Failed, message: "
       "\"line\\nnext\\ttab\\u{1}\" }"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_string(c.failure), c.display);
    EXPECT_EQ(debug_string(c.failure), c.debug);
  }
}

TEST(ScanFailure, DisplayLeavesTheStoredPathUnchanged) {
  const platform::OsString original = path_with_invalid_unit();
  const ScanFailure failure = job_failure(ScanId{2}, original, "m");
  (void)to_string(failure);
  (void)debug_string(failure);
  EXPECT_EQ(failure.path, original);
}

TEST(ScanFailure, ConstructorsFillTheFixedFields) {
  const platform::OsString root = from_utf8("\\\\?\\C:\\Data");
  const platform::OsError system_error{2};
  const DirectoryError listing_error = DirectoryError::windows(0x80070005, "Access is denied.", 5);
  const struct {
    const char* name;
    ScanFailure failure;
    ScanStatus status;
    std::string message;
  } cases[] = {
      {"cancelled", cancelled(ScanId{6}, root), ScanStatus::Cancelled, "Scan cancelled"},
      {"root unavailable", root_unavailable_failure(ScanId{6}, root, system_error),
       ScanStatus::Failed, platform::to_string(system_error)},
      {"thread not started", thread_failure(ScanId{6}, root, system_error), ScanStatus::Failed,
       platform::to_string(system_error)},
      {"listing failed", listing_failure(ScanId{6}, root, listing_error), ScanStatus::Failed,
       "Access is denied. (0x80070005)"},
      {"volume boundary changed", volume_boundary_failure(ScanId{6}, root), ScanStatus::Failed,
       "Volume boundary changed at Scan root"},
      {"worker stopped", worker_failure(ScanId{6}, root), ScanStatus::Failed,
       "Directory worker stopped unexpectedly"},
      {"job not queued", job_failure(ScanId{6}, root, "a job could not be queued"),
       ScanStatus::Failed, "a job could not be queued"},
      {"tree model", model_failure(ScanId{6}, root, storage::TreeError::size_overflow(4)),
       ScanStatus::Failed, "size overflow at node 4"},
      {"no outcome", no_outcome_failure(ScanId{6}), ScanStatus::Failed,
       "Scan worker stopped before reporting a result"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.failure.id, ScanId{6});
    EXPECT_EQ(c.failure.path,
              c.failure.kind == ScanFailureKind::NoOutcome ? platform::OsString() : root);
    EXPECT_EQ(c.failure.status(), c.status);
    EXPECT_EQ(c.failure.message(), c.message);
  }
  EXPECT_EQ(to_string(model_failure(ScanId{8}, from_utf8("C:\\Data\\x"),
                                    storage::TreeError::volume_usage_requires_drive())),
            "Scan 8 failed at C:\\Data\\x: volume usage can only be applied to a Drive scan");
}

TEST(ScanIssue, ShowsTheListingErrorOrTheVolumeText) {
  const platform::OsString folder = from_utf8("C:\\Data\\x");
  const ScanIssue denied = ScanIssue::listing_failed(
      folder, IssueKind::AccessDenied, DirectoryError::windows(0x80070005, "Access is denied.", 5));
  EXPECT_EQ(denied.message(), "Access is denied. (0x80070005)");
  EXPECT_EQ(denied.win32_code(), 5u);
  const ScanIssue other_volume = ScanIssue::other_volume(folder);
  EXPECT_EQ(other_volume.message(), "Directory volume differs from Scan root");
  EXPECT_EQ(other_volume.win32_code(), std::nullopt);
  EXPECT_EQ(other_volume.kind, IssueKind::OtherVolume);
  EXPECT_EQ(other_volume.path, folder);
}

}  // namespace
}  // namespace ketterlin::scanner
