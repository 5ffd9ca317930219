// Facts about a volume that travel between the host, the scanner and the tree model.
#pragma once

#include <cstdint>
#include <optional>

namespace ketterlin::storage {

// The file system of a volume. The values are part of the wire contract.
enum class FileSystemKind : uint8_t {
  Ntfs = 0,
  ReFs = 1,
  Fat32 = 2,
  ExFat = 3,
  Other = 4,
};

// The host's facts about the volume that holds a full-root scan's root.
struct ElevatedVolume {
  uint64_t used_bytes = 0;
  FileSystemKind file_system = FileSystemKind::Other;

  friend bool operator==(const ElevatedVolume&, const ElevatedVolume&) = default;
};

}  // namespace ketterlin::storage
