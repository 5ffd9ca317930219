// The parallel directory traversal: walks the folder hierarchy below one scan root with many
// folder listings under way at once, turning every listed entry into a node of the tree.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "platform/os_string.h"
#include "scanner/directory_reader.h"
#include "scanner/live.h"
#include "scanner/progress.h"
#include "scanner/vocabulary.h"
#include "scanner/worker_pool.h"
#include "storage/model.h"

namespace ketterlin::scanner {

// The directory reader the workers call: read_directory, or a fake in tests.
using ReadDirectoryFunction = std::function<tl::expected<void, DirectoryError>(
    platform::OsStringView directory_path, std::optional<uint64_t> expected_volume,
    bool query_file_system, const std::atomic<bool>& cancel, const ProgressCallback& progress,
    const DirectorySink& sink)>;

// What one walk is given. The references are lent by scan execution for the call.
struct Traversal {
  WorkerPool& pool;
  const std::atomic<bool>& cancel_requested;  // only read
  ScanId scan_id;
  LiveScan& live;                     // holds the tree, whose root node is `root`
  platform::OsString canonical_root;  // the root's own path, the base of every listing path
  storage::NodeId root;
  std::optional<uint64_t> root_volume_serial;  // when known before the walk
  ProgressReporter& progress;
  const ReadDirectoryFunction& read_directory;
};

// What a completed walk found besides the tree.
struct TraversalResult {
  std::vector<ScanIssue> issues;               // in the order met
  std::optional<uint64_t> root_volume_serial;  // as given, or from the root's volume report
  platform::OsString last_path;  // the display path of the folder whose volume report or
                                 // failure came last; the root's when none did
};

// Walks the tree below `t.root` on the coordinator (the calling thread, which must not be a pool
// thread) and `t.pool`. Returns when nothing is pending or in flight, or with the first failure
// (status Cancelled or Failed). Every spawned job has finished when it returns.
[[nodiscard]] tl::expected<TraversalResult, ScanFailure> traverse(Traversal t);

}  // namespace ketterlin::scanner
