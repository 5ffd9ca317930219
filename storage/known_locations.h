// Known-locations classifier: recognises well-known Windows folders and files (recycle bin,
// update caches, cloud-sync folders, game libraries, ...) from a normalised path alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ketterlin::storage {

// The categories; the values are part of the interface (risk maps them by value).
enum class KnownLocation : uint8_t {
  Downloads = 0,
  RecycleBin = 1,
  WindowsUpdateCache = 2,
  ComponentStore = 3,
  PreviousWindows = 4,
  TemporaryFiles = 5,
  SystemVolumeInformation = 6,
  OneDrive = 7,
  OtherCloudSync = 8,
  DockerData = 9,
  WslDisk = 10,
  HyperV = 11,
  VirtualMachines = 12,
  Steam = 13,
  EpicGames = 14,
  XboxGames = 15,
  WindowsApps = 16,
  DeviceBackups = 17,
  ApplicationCache = 18,
};

// The category of the normalised path text `normalized` (as normalize_path gives it), or nullopt
// when no row of the location table matches; when several rows match, the first row in table
// order decides. Matching is byte-exact, so a text that is not normalised (upper case, slashes)
// may go unrecognised. Thread-safe: the pattern set is built once per process on first use
// (concurrent first callers wait), then read without locks. If it cannot be built, which the
// fixed table never causes, the calling thread stops with "static location patterns".
std::optional<KnownLocation> classify_known_location(std::string_view normalized);

}  // namespace ketterlin::storage
