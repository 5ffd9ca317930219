#include "elevation/request.h"

#include <unordered_set>
#include <utility>

#include "platform/file_system.h"
#include "platform/unicode.h"

namespace ketterlin::elevation {
namespace {

// The non-empty pieces of `path` between the style's preferred separators. A canonical path holds
// no other separator; in a Windows one, a '/' is no separator but a character no name may hold.
std::vector<platform::OsStringView> components(platform::OsStringView path, PathStyle style) {
  const auto separator = static_cast<platform::OsChar>(platform::preferred_separator(style));
  std::vector<platform::OsStringView> pieces;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(separator, start);
    if (end == platform::OsStringView::npos) end = path.size();
    if (end > start) pieces.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

tl::unexpected<ScanRequestError> refuse(ScanRequestErrorKind kind, platform::OsString path = {}) {
  return tl::unexpected(ScanRequestError{.kind = kind, .target_count = 0, .path = std::move(path)});
}

// Rule 5: full root needs exactly the root as its one target; restricted top-up must not name it.
tl::expected<void, ScanRequestError> check_mode(
    bool full_root, platform::OsStringView root,
    const std::vector<std::optional<platform::OsString>>& slots, PathStyle style) {
  if (full_root) {
    if (slots.size() != 1 || !slots[0] || !same_components(*slots[0], root, style)) {
      return refuse(ScanRequestErrorKind::FullRootTargetRequired);
    }
    return {};
  }
  for (const auto& slot : slots) {
    if (slot && same_components(*slot, root, style)) {
      return refuse(ScanRequestErrorKind::RootCannotBeTopUp);
    }
  }
  return {};
}

}  // namespace

std::string to_string(const ScanRequestError& error) {
  switch (error.kind) {
    case ScanRequestErrorKind::MissingTargets:
      return "at least one scan target is required";
    case ScanRequestErrorKind::TooManyTargets:
      return "scan request has " + std::to_string(error.target_count) + " targets, maximum is " +
             std::to_string(MAX_TARGETS);
    case ScanRequestErrorKind::RootUnavailable:
      return "scan root is not an available folder: " + platform::to_utf8_lossy(error.path);
    case ScanRequestErrorKind::TargetUnavailable:
      return "scan target is not an available folder: " + platform::to_utf8_lossy(error.path);
    case ScanRequestErrorKind::OutsideRoot:
      return "scan target is outside the requested root: " + platform::to_utf8_lossy(error.path);
    case ScanRequestErrorKind::RootCannotBeTopUp:
      return "a Restricted top-up cannot request the full root";
    case ScanRequestErrorKind::DuplicateTarget:
      return "scan target is repeated: " + platform::to_utf8_lossy(error.path);
    case ScanRequestErrorKind::FullRootTargetRequired:
      return "a full-root Scan requires exactly the root target";
  }
  return "ScanRequestError(" + std::to_string(static_cast<unsigned>(error.kind)) + ")";
}

tl::expected<ValidatedScanRequest, ScanRequestError> validate(ElevatedScanRequest request) {
  return validate(std::move(request), platform::available_folder, platform::native_path_style());
}

tl::expected<ValidatedScanRequest, ScanRequestError> validate(ElevatedScanRequest request,
                                                              const FolderResolver& resolve_folder,
                                                              PathStyle style) {
  const bool full_root = request.mode == ElevatedScanMode::FullRoot;
  if (request.targets.empty()) {
    return refuse(full_root ? ScanRequestErrorKind::FullRootTargetRequired
                            : ScanRequestErrorKind::MissingTargets);
  }
  if (request.targets.size() > MAX_TARGETS) {
    return tl::unexpected(ScanRequestError{.kind = ScanRequestErrorKind::TooManyTargets,
                                           .target_count = request.targets.size(),
                                           .path = {}});
  }
  std::optional<platform::OsString> root = resolve_folder(request.root);
  if (!root) return refuse(ScanRequestErrorKind::RootUnavailable, std::move(request.root));

  std::vector<std::optional<platform::OsString>> slots;
  slots.reserve(request.targets.size());
  std::unordered_set<std::string> seen_keys;
  for (platform::OsString& target : request.targets) {
    std::optional<platform::OsString> canonical = resolve_folder(target);
    if (!canonical) {
      if (full_root) return refuse(ScanRequestErrorKind::TargetUnavailable, std::move(target));
      slots.emplace_back(std::nullopt);
      continue;
    }
    if (!lies_inside(*root, *canonical, style)) {
      return refuse(ScanRequestErrorKind::OutsideRoot, std::move(target));
    }
    if (!seen_keys.insert(duplicate_key(*canonical, style)).second) {
      return refuse(ScanRequestErrorKind::DuplicateTarget, std::move(*canonical));
    }
    slots.emplace_back(std::move(canonical));
  }
  if (auto mode = check_mode(full_root, *root, slots, style); !mode) {
    return tl::unexpected(std::move(mode.error()));
  }
  return ValidatedScanRequest{.root = std::move(*root),
                              .targets = std::move(slots),
                              .volume = request.volume,
                              .full_root = full_root};
}

bool lies_inside(platform::OsStringView root, platform::OsStringView path, PathStyle style) {
  const auto root_parts = components(root, style);
  const auto path_parts = components(path, style);
  if (path_parts.size() < root_parts.size()) return false;
  for (std::size_t i = 0; i < root_parts.size(); ++i) {
    if (root_parts[i] != path_parts[i]) return false;
  }
  return true;
}

bool same_components(platform::OsStringView a, platform::OsStringView b, PathStyle style) {
  return components(a, style) == components(b, style);
}

std::string duplicate_key(platform::OsStringView canonical_path, PathStyle style) {
  if (platform::ignores_case(style))
    return platform::to_lower_full(platform::to_utf8_lossy(canonical_path));
  // The code units themselves: two names that differ only in bytes that are not valid Unicode
  // stay two keys.
  return std::string(reinterpret_cast<const char*>(canonical_path.data()),
                     canonical_path.size() * sizeof(platform::OsChar));
}

}  // namespace ketterlin::elevation
