// The small values every part of the scanner uses to talk about one scan: its identifier, its
// status, the failure record a scan delivers instead of a result, and the non-fatal issues it
// records on the way.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/os_error.h"
#include "platform/os_string.h"
#include "scanner/directory_reader.h"
#include "storage/model.h"

namespace ketterlin::scanner {

// Identifies one scan of a scan manager; issued in increasing order starting at 1.
struct ScanId {
  uint64_t value = 0;

  friend auto operator<=>(ScanId, ScanId) = default;
};

// The decimal number, e.g. "7" (thread names, failure texts).
std::string to_string(ScanId id);

// "ScanId(7)".
std::string debug_string(ScanId id);

// Where a scan stands. Completed, Cancelled and Failed are terminal; Stale is never reported by
// a scan and exists for the enumeration's completeness.
enum class ScanStatus : uint8_t {
  Queued = 0,     // started, waiting for a scan slot
  Running = 1,    // holds a slot, execution under way
  Completed = 2,  // finished with a scan result
  Cancelled = 3,  // stopped because its cancel flag was raised
  Failed = 4,     // stopped by an error
  Stale = 5,
};

// The variant's name: "Queued", "Running", ... "Stale".
std::string debug_string(ScanStatus status);

// True for Completed, Cancelled and Failed.
bool is_terminal(ScanStatus status);

enum class ScanFailureKind : uint8_t {
  Cancelled,              // the scan's cancel flag was raised: "Scan cancelled"
  RootUnavailable,        // the root could not be canonicalised: `os_error`'s text
  ThreadNotStarted,       // the scan's coordinator thread could not be created: `os_error`'s text
  ListingFailed,          // the root's listing, or one that failed after children were added:
                          // `directory_error`'s text
  VolumeBoundaryChanged,  // the root lies on another volume than the preset one
  WorkerStopped,          // a directory worker stopped abnormally
  JobNotQueued,           // the worker pool refused a directory job: `pool_text`
  Model,                  // the tree model failed: `tree_error`'s text
  NoOutcome,              // the scan's thread ended without delivering an outcome
};

// Why a scan did not complete. `path` is the path the failure concerns, stored exactly as the
// system gave it; it may be empty. Only the fields of its kind are meaningful.
struct ScanFailure {
  ScanId id;
  platform::OsString path;
  ScanFailureKind kind = ScanFailureKind::Cancelled;
  platform::OsError os_error;      // RootUnavailable, ThreadNotStarted
  DirectoryError directory_error;  // ListingFailed
  storage::TreeError tree_error;   // Model
  std::string pool_text;           // JobNotQueued: the pool's own text

  // Cancelled for the Cancelled kind, Failed for every other.
  ScanStatus status() const;
  // "Scan cancelled", "Volume boundary changed at Scan root", "Directory worker stopped
  // unexpectedly", "Scan worker stopped before reporting a result", or the text of the error the
  // kind carries.
  std::string message() const;

  friend bool operator==(const ScanFailure&, const ScanFailure&) = default;
};

// "Scan <id> failed at <path>: <message>", the path as text with every part that is not valid
// Unicode replaced by U+FFFD. The failure itself is not changed.
std::string to_string(const ScanFailure& failure);

// The fields in order, strings quoted and escaped, e.g.
// ScanFailure { id: ScanId(3), path: "C:\\Data", status: Cancelled, message: "Scan cancelled" }.
std::string debug_string(const ScanFailure& failure);

// The failures of each kind, at `path`.
ScanFailure cancelled(ScanId id, platform::OsString path);
ScanFailure root_unavailable_failure(ScanId id, platform::OsString path, platform::OsError error);
ScanFailure thread_failure(ScanId id, platform::OsString path, platform::OsError error);
ScanFailure listing_failure(ScanId id, platform::OsString path, DirectoryError error);
ScanFailure volume_boundary_failure(ScanId id, platform::OsString path);
ScanFailure worker_failure(ScanId id, platform::OsString path);
ScanFailure job_failure(ScanId id, platform::OsString path, std::string pool_text);
ScanFailure model_failure(ScanId id, platform::OsStringView path, storage::TreeError error);
// At an empty path.
ScanFailure no_outcome_failure(ScanId id);

enum class IssueKind : uint8_t {
  AccessDenied = 0,  // the listing failed with Windows code 5
  NotFound = 1,      // ... with code 2 or 3
  OtherVolume = 2,   // the folder lies on another volume than the scan root
  OtherError = 3,    // any other code, or none
};

// A non-fatal problem with one folder. `error` is meaningful for the listing kinds
// (AccessDenied, NotFound, OtherError) only.
struct ScanIssue {
  platform::OsString path;  // the folder's display path
  IssueKind kind = IssueKind::OtherError;
  DirectoryError error;  // the listing's error

  // "Directory volume differs from Scan root" for OtherVolume, else the error's text.
  std::string message() const;
  // The error's Win32 code; none for OtherVolume.
  std::optional<uint32_t> win32_code() const;

  // A folder whose listing failed with `error`, of kind `kind` (one of the listing kinds).
  static ScanIssue listing_failed(platform::OsString path, IssueKind kind, DirectoryError error);
  // A folder on another volume than the scan root.
  static ScanIssue other_volume(platform::OsString path);

  friend bool operator==(const ScanIssue&, const ScanIssue&) = default;
};

}  // namespace ketterlin::scanner
