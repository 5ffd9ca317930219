// What one run of the host produced: the request as sent, each target's report, and the figures
// derived from them (Unknown Space).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "elevation/protocol.h"
#include "host/session/session.h"
#include "storage/volume.h"

namespace ketterlin::host {

struct ScanResult {
  elevation::ElevatedScanMode mode = elevation::ElevatedScanMode::FullRoot;
  std::string root;                  // UTF-8, as sent in the request
  std::vector<std::string> targets;  // UTF-8, as sent, in request order
  std::optional<storage::ElevatedVolume> volume;
  std::vector<TargetReport> reports;  // one per target
  // Per target, when the host could tell (filled after the scan): the system's own name of the file
  // system ("ext4"), shown where the helper says only "other"; and why an unavailable target is
  // unavailable
  // ("does not exist"). Either may be shorter than `targets`.
  std::vector<std::optional<std::string>> file_system_names;
  std::vector<std::optional<std::string>> target_problems;
  // For a target with Unknown Space: the folders' own blocks, which the host measures itself
  // after the scan (part of the Unknown Space, since the helper measures no folder).
  std::vector<std::optional<uint64_t>> folder_bytes;
  uint64_t elapsed_millis = 0;  // the whole run as the host measured it
};

// The used space of the volume that the listed files do not explain: for a full-root scan that
// carried volume facts, the volume's used bytes minus the root's on-disk total, when positive;
// nullopt otherwise. The helper computes the same figure but does not send it.
std::optional<uint64_t> unknown_space_bytes(const ScanResult& result, std::size_t target);

}  // namespace ketterlin::host
