// Scan execution: runs one scan request to its end on the calling (coordinator) thread —
// canonical root, tree with its root node, the traversal, the finished tree.
#pragma once

#include <atomic>
#include <optional>
#include <variant>
#include <vector>

#include "platform/os_string.h"
#include "scanner/live.h"
#include "scanner/progress.h"
#include "scanner/traversal.h"
#include "scanner/vocabulary.h"
#include "scanner/worker_pool.h"
#include "storage/model.h"
#include "storage/risk.h"
#include "storage/volume.h"

namespace ketterlin::scanner {

// One scan target.
struct ScanRequest {
  // The volume the scanned folders must be on; none lets the root's volume decide.
  std::optional<uint64_t> root_volume_serial;
  platform::OsString root;  // the folder to scan, as the caller gives it
  storage::RiskPolicy risk_policy;
  // Used bytes and file system of the volume, applied to the finished tree (Drive roots only).
  std::optional<storage::ElevatedVolume> volume;
  bool root_is_volume = false;  // the root node is a Drive rather than a Folder
};

// What a completed scan delivers.
struct ScanResult {
  storage::FinishedTree tree;
  std::vector<uint64_t> modified_at;  // one entry per node, indexed by NodeId; 0 when unknown
  std::vector<ScanIssue> issues;      // in the order met
  ScanProgress final_progress;        // the Completed snapshot
  ScanId id;
};

// Completed (a ScanResult) or Failed (a ScanFailure with status Failed or Cancelled).
using ScanOutcome = std::variant<ScanResult, ScanFailure>;

// Runs `request` on the calling thread; only the traversal uses `pool`. Every ordinary failure is
// returned as a ScanFailure. On a Completed outcome the Completed snapshot has been emitted.
ScanOutcome execute_scan(ScanId id, ScanRequest request, WorkerPool& pool,
                         const std::atomic<bool>& cancel_requested, ProgressReporter& progress,
                         LiveScan& live, const ReadDirectoryFunction& read_directory);

}  // namespace ketterlin::scanner
