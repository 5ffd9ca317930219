// Facts about a volume that travel between the host, the scanner and the tree model.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ketterlin::storage {

// The file system of a volume. The values are part of the wire contract.
enum class FileSystemKind : uint8_t {
  Ntfs = 0,
  ReFs = 1,
  Fat32 = 2,
  ExFat = 3,
  Other = 4,
};

// The kind a Windows file-system name stands for (GetVolumeInformation's name: "NTFS", "ReFS",
// "FAT32", "exFAT", matched exactly and case-sensitively); anything else, "FAT" and "ntfs"
// included, is Other. The one rule for the reader and the host alike.
[[nodiscard]] FileSystemKind file_system_kind_from_name(std::u16string_view name);

// The host's facts about the volume that holds a full-root scan's root.
struct ElevatedVolume {
  uint64_t used_bytes = 0;
  FileSystemKind file_system = FileSystemKind::Other;

  friend bool operator==(const ElevatedVolume&, const ElevatedVolume&) = default;
};

}  // namespace ketterlin::storage
