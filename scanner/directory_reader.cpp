// The parts of the directory reader that are the same on every platform.
#include "scanner/directory_reader.h"

#include <limits>

namespace ketterlin::scanner {

void BatchCounts::add(const EntryMetadata& entry) {
  if (entry.is_directory) {
    ++folders;
    return;
  }
  ++files;
  const uint64_t room = std::numeric_limits<uint64_t>::max() - bytes;
  bytes = entry.size_on_disk_bytes > room ? std::numeric_limits<uint64_t>::max()
                                          : bytes + entry.size_on_disk_bytes;
}

DirectoryError directory_cancelled() { return DirectoryError{"Scan cancelled", std::nullopt}; }

VolumeDecision decide_volume(uint64_t volume_serial, std::optional<uint64_t> expected_volume,
                             std::optional<storage::FileSystemKind> file_system) {
  const bool on_expected_volume = !expected_volume || *expected_volume == volume_serial;
  VolumeDecision decision;
  decision.list = on_expected_volume;
  // The caller already knows a matching volume unless it asked for the file system.
  const bool caller_knows_volume = expected_volume && on_expected_volume && !file_system;
  if (!caller_knows_volume) {
    decision.event =
        VolumeEvent{volume_serial, file_system.value_or(storage::FileSystemKind::Other)};
  }
  return decision;
}

}  // namespace ketterlin::scanner
