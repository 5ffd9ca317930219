// Scan request validation: checks an ElevatedScanRequest against the rules of its mode and turns
// it into a ValidatedScanRequest whose root and usable targets are canonical paths, each target
// kept in its request slot. After validation every target that will be scanned is an existing
// folder inside the root the host named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "elevation/protocol.h"
#include "platform/os_string.h"
#include "platform/path_style.h"
#include "storage/volume.h"

namespace ketterlin::elevation {

// The most targets one request may name.
inline constexpr std::size_t MAX_TARGETS = 256;

struct ValidatedScanRequest {
  platform::OsString root;  // canonical
  // One slot per requested target, in request order: the target's canonical path, or nullopt
  // when it is not an available folder (restricted top-up only).
  std::vector<std::optional<platform::OsString>> targets;
  std::optional<storage::ElevatedVolume> volume;  // as the host sent it
  bool full_root = false;                         // the request's mode is FullRoot

  friend bool operator==(const ValidatedScanRequest&, const ValidatedScanRequest&) = default;
};

enum class ScanRequestErrorKind : uint8_t {
  MissingTargets,
  TooManyTargets,
  RootUnavailable,
  TargetUnavailable,
  OutsideRoot,
  RootCannotBeTopUp,
  DuplicateTarget,
  FullRootTargetRequired,
};

// Why a request was refused. Only the fields of its kind are meaningful.
struct ScanRequestError {
  ScanRequestErrorKind kind = ScanRequestErrorKind::MissingTargets;
  std::size_t target_count = 0;  // TooManyTargets
  // RootUnavailable: the root as received; TargetUnavailable and OutsideRoot: the target as
  // received; DuplicateTarget: the repeated target's canonical path.
  platform::OsString path;

  friend bool operator==(const ScanRequestError&, const ScanRequestError&) = default;
};

// The display text, e.g. "at least one scan target is required" or "scan target is repeated: "
// and the path (parts of it that are not valid Unicode shown as U+FFFD).
std::string to_string(const ScanRequestError& error);

// Checks `request` against the rules, in order, on this system's file system; the first rule that
// fails decides the error. Touches the file system only to canonicalise paths and read their
// attributes. Main thread, before any scan starts.
[[nodiscard]] tl::expected<ValidatedScanRequest, ScanRequestError> validate(
    ElevatedScanRequest request);

// ---- The same rules over any file system and path style (tests, other systems' rules) ----

// How a system's paths compare: canonical paths are split at the style's preferred separator
// alone, and compared without regard to letter case where the style ignores it.
using platform::PathStyle;

// The canonical path of `path` when it is an available folder, else nullopt.
using FolderResolver =
    std::function<std::optional<platform::OsString>(platform::OsStringView path)>;

[[nodiscard]] tl::expected<ValidatedScanRequest, ScanRequestError> validate(
    ElevatedScanRequest request, const FolderResolver& resolve_folder, PathStyle style);

// True when `path`'s components (split at the preferred separator, empty pieces dropped) begin with
// all of `root`'s, compared as exact text: `root` lies inside itself, but a sibling folder whose
// name merely begins with the root's last name does not.
bool lies_inside(platform::OsStringView root, platform::OsStringView path, PathStyle style);

// True when both paths have the same components.
bool same_components(platform::OsStringView a, platform::OsStringView b, PathStyle style);

// What two canonical paths share when they designate the same folder: where the style ignores
// letter case, the full Unicode lower case of the path's text (ill-formed parts as U+FFFD);
// otherwise the path's own code units, unchanged.
std::string duplicate_key(platform::OsStringView canonical_path, PathStyle style);

}  // namespace ketterlin::elevation
