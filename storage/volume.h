// Facts about a volume that travel between the host, the scanner and the tree model.
#pragma once

#include <cstdint>

#include "platform/file_system_kind.h"

namespace ketterlin::storage {

// The file system of a volume, as the platform layer classifies it; the values are part of the
// wire contract.
using FileSystemKind = platform::FileSystemKind;

// The host's facts about the volume that holds a full-root scan's root.
struct ElevatedVolume {
  uint64_t used_bytes = 0;
  FileSystemKind file_system = FileSystemKind::Other;

  friend bool operator==(const ElevatedVolume&, const ElevatedVolume&) = default;
};

}  // namespace ketterlin::storage
