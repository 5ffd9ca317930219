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

// The category of the normalised path text `normalized` (as normalize_path gives it), or nullopt.
// Thread-safe: the pattern set is built once per process on first use, then read without locks.
std::optional<KnownLocation> classify_known_location(std::string_view normalized);

}  // namespace ketterlin::storage
