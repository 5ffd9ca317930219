// The parts of the directory reader that are the same on every platform.
#include "scanner/directory_reader.h"

#include <cstdio>
#include <limits>
#include <utility>

#include "platform/panic.h"

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

DirectoryError DirectoryError::os(platform::OsError error, std::optional<uint32_t> win32_code) {
  DirectoryError result;
  result.kind = DirectoryErrorKind::Os;
  result.os_error = error;
  result.win32_code = win32_code;
  return result;
}

DirectoryError DirectoryError::windows(uint32_t hresult, std::string system_text,
                                       std::optional<uint32_t> win32_code) {
  DirectoryError result;
  result.kind = DirectoryErrorKind::Windows;
  result.hresult = hresult;
  result.system_text = std::move(system_text);
  result.win32_code = win32_code;
  return result;
}

std::string to_string(const DirectoryError& error) {
  switch (error.kind) {
    case DirectoryErrorKind::Cancelled:
      return "Scan cancelled";
    case DirectoryErrorKind::Os:
      return platform::to_string(error.os_error);
    case DirectoryErrorKind::Windows: {
      char hresult[11];
      std::snprintf(hresult, sizeof hresult, "0x%08X", error.hresult);
      if (error.system_text.empty()) return hresult;
      return error.system_text + " (" + hresult + ")";
    }
  }
  platform::panic("invalid DirectoryErrorKind");
}

DirectoryError directory_cancelled() {
  DirectoryError error;
  error.kind = DirectoryErrorKind::Cancelled;
  return error;
}

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
