// The parallel directory traversal: walks the folder hierarchy below one scan root with many
// folder listings under way at once, turning every listed entry into a node of the tree.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
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

// The working state of one walk, owned by scan execution and lent for the call.
struct Traversal {
  WorkerPool& pool;
  std::deque<storage::NodeId>& pending_folders;  // holds the root at the start
  const std::atomic<bool>& cancel_requested;     // only read
  ScanId scan_id;
  platform::OsString& current_path;  // the folder whose volume report or failure came last
  LiveScan& live;
  platform::OsStringView canonical_root;
  platform::OsStringView display_root;          // the root node's path
  std::optional<uint64_t>& root_volume_serial;  // filled from the root's volume report
  storage::NodeId root;
  ProgressReporter& progress;
  std::vector<ScanIssue>& issues;  // appended in the order met
  const ReadDirectoryFunction& read_directory;
};

// Walks the tree below `t.root` on the coordinator (the calling thread, which must not be a pool
// thread) and `t.pool`. Returns when nothing is pending or in flight, or with the first failure
// (status Cancelled or Failed). Every spawned job has finished when it returns.
[[nodiscard]] tl::expected<void, ScanFailure> traverse(const Traversal& t);

}  // namespace ketterlin::scanner
