#include "scanner/execution.h"

#include <utility>

#include "platform/file_system.h"
#include "platform/panic.h"
#include "storage/display_path.h"

namespace ketterlin::scanner {

ScanOutcome execute_scan(ScanId id, ScanRequest request, WorkerPool& pool,
                         const std::atomic<bool>& cancel_requested, ProgressReporter& progress,
                         LiveScan& live, const ReadDirectoryFunction& read_directory) {
  if (cancel_requested.load()) return cancelled(id, request.root);

  auto canonical = platform::canonicalize(request.root);
  if (!canonical) {
    return root_unavailable_failure(id, request.root, canonical.error());
  }
  const platform::OsString canonical_root = std::move(*canonical);
  const platform::OsString display_root = storage::display_path(canonical_root);

  storage::ScanTree tree(
      display_root, request.root_is_volume ? storage::NodeKind::Drive : storage::NodeKind::Folder);
  tree.enable_accounting(request.risk_policy);
  {
    auto guard = live.lock();
    LiveScanState& state = live.state();
    state.builder = std::move(tree);
    state.observed.status = ScanStatus::Running;
    ++state.observed.generation;
    state.modified_at.assign(1, platform::last_write_epoch_seconds(canonical_root).value_or(0));
  }

  progress.add_root_folder();
  progress.set_current_path(display_root);

  auto walked = traverse(Traversal{
      .pool = pool,
      .cancel_requested = cancel_requested,
      .scan_id = id,
      .live = live,
      .canonical_root = canonical_root,
      .root = 0,
      .root_volume_serial = request.root_volume_serial,
      .progress = progress,
      .read_directory = read_directory,
  });
  if (!walked) return std::move(walked.error());
  if (cancel_requested.load()) return cancelled(id, walked->last_path);

  std::optional<storage::ScanTree> builder;
  {
    auto guard = live.lock_without_wait();
    builder = std::exchange(live.state().builder, std::nullopt);
  }
  platform::check(builder.has_value(), "live Scan builder missing");

  auto finished = std::move(*builder).finish(request.risk_policy, request.volume);
  if (!finished) return model_failure(id, display_root, finished.error());
  if (cancel_requested.load()) {
    auto guard = live.lock();
    live.state().observed.retained_tree = std::move(*finished);
    return cancelled(id, display_root);
  }

  std::vector<uint64_t> modified_at;
  {
    auto guard = live.lock();
    modified_at = std::exchange(live.state().modified_at, {});
  }
  modified_at.resize(finished->node_count(), 0);

  ScanProgress final_progress = progress.emit(ScanStatus::Completed);
  return ScanResult{std::move(*finished), std::move(modified_at), std::move(walked->issues),
                    std::move(final_progress), id};
}

}  // namespace ketterlin::scanner
