#include "storage/risk.h"

#include <string_view>
#include <vector>

#include "storage/known_locations.h"

namespace ketterlin::storage {
namespace {

// True when `path` equals `entry` or lies below it: a plain text prefix is not enough, the next
// character must be a separator (c:\tools2 is not below c:\tools). Normalised paths carry no
// trailing separator, so the entry "c:" covers the whole drive.
bool is_at_or_below(std::string_view path, std::string_view entry) {
  if (!path.starts_with(entry)) return false;
  return path.size() == entry.size() || path[entry.size()] == '\\';
}

bool equals_any(const std::vector<NormalizedPath>& entries, const NormalizedPath& path) {
  for (const NormalizedPath& entry : entries) {
    if (entry == path) return true;
  }
  return false;
}

bool at_or_below_any(const std::vector<NormalizedPath>& entries, const NormalizedPath& path) {
  for (const NormalizedPath& entry : entries) {
    if (is_at_or_below(path.text(), entry.text())) return true;
  }
  return false;
}

RiskLevel rating_of(KnownLocation location) {
  switch (location) {
    case KnownLocation::Downloads:
      return RiskLevel::Ordinary;
    case KnownLocation::RecycleBin:
    case KnownLocation::WindowsUpdateCache:
    case KnownLocation::ComponentStore:
    case KnownLocation::SystemVolumeInformation:
    case KnownLocation::WindowsApps:
      return RiskLevel::High;
    case KnownLocation::PreviousWindows:
    case KnownLocation::OneDrive:
    case KnownLocation::OtherCloudSync:
    case KnownLocation::DockerData:
    case KnownLocation::WslDisk:
    case KnownLocation::HyperV:
    case KnownLocation::VirtualMachines:
    case KnownLocation::Steam:
    case KnownLocation::EpicGames:
    case KnownLocation::XboxGames:
    case KnownLocation::DeviceBackups:
      return RiskLevel::Medium;
    case KnownLocation::TemporaryFiles:
    case KnownLocation::ApplicationCache:
      return RiskLevel::Low;
  }
  return RiskLevel::Ordinary;
}

}  // namespace

bool RiskPolicy::is_empty() const {
  return high_paths.empty() && high_trees.empty() && medium_paths.empty() && medium_trees.empty() &&
         low_trees.empty() && !use_known_locations;
}

RiskLevel classify_risk(const RiskPolicy& policy, const NormalizedPath& path) {
  if (equals_any(policy.high_paths, path)) return RiskLevel::High;
  if (at_or_below_any(policy.high_trees, path)) return RiskLevel::High;
  if (equals_any(policy.medium_paths, path)) return RiskLevel::Medium;
  if (at_or_below_any(policy.medium_trees, path)) return RiskLevel::Medium;
  if (policy.use_known_locations) {
    // A recognised location decides on its own, before low_trees.
    if (std::optional<KnownLocation> location = classify_known_location(path.text())) {
      return rating_of(*location);
    }
  }
  if (at_or_below_any(policy.low_trees, path)) return RiskLevel::Low;
  return RiskLevel::Ordinary;
}

}  // namespace ketterlin::storage
