#include "host/session/scan_result.h"

namespace ketterlin::host {

std::optional<uint64_t> unknown_space_bytes(const ScanResult& result, std::size_t target) {
  if (result.mode != elevation::ElevatedScanMode::FullRoot || !result.volume) return std::nullopt;
  if (target >= result.reports.size() || !result.reports[target].tree) return std::nullopt;
  const uint64_t listed = result.reports[target].tree->totals(0).size_on_disk_bytes;
  if (result.volume->used_bytes <= listed) return std::nullopt;
  return result.volume->used_bytes - listed;
}

}  // namespace ketterlin::host
