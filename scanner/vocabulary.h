// The small values every part of the scanner uses to talk about one scan: its identifier, its
// status, and the failure record a scan delivers instead of a result.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

#include "platform/os_string.h"

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

// Why a scan did not complete. `path` is the path the failure concerns, stored exactly as the
// system gave it; it may be empty. `status` is Cancelled or Failed.
struct ScanFailure {
  ScanId id;
  platform::OsString path;
  ScanStatus status = ScanStatus::Failed;
  std::string message;

  friend bool operator==(const ScanFailure&, const ScanFailure&) = default;
};

// "Scan <id> failed at <path>: <message>", the path as text with every part that is not valid
// Unicode replaced by U+FFFD. The failure itself is not changed.
std::string to_string(const ScanFailure& failure);

// The fields in order, strings quoted and escaped, e.g.
// ScanFailure { id: ScanId(3), path: "C:\\Data", status: Cancelled, message: "Scan cancelled" }.
std::string debug_string(const ScanFailure& failure);

// {id, path, Cancelled, "Scan cancelled"}.
ScanFailure cancelled(ScanId id, platform::OsString path);

// {id, a copy of path, Failed, tree_error_text}: a failure of the tree model, whose error's
// display text the caller passes.
ScanFailure model_failure(ScanId id, platform::OsStringView path,
                          const std::string& tree_error_text);

}  // namespace ketterlin::scanner
