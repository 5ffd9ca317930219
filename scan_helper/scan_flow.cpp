#include "scan_helper/scan_flow.h"

#include <limits>
#include <utility>

namespace ketterlin::helper {
namespace {

using elevation::NodeRecordKind;
using storage::NodeKind;

elevation::ProgressStatus progress_status(scanner::ScanStatus status) {
  switch (status) {
    case scanner::ScanStatus::Queued:
      return elevation::ProgressStatus::Queued;
    case scanner::ScanStatus::Running:
      return elevation::ProgressStatus::Running;
    case scanner::ScanStatus::Completed:
      return elevation::ProgressStatus::Completed;
    case scanner::ScanStatus::Cancelled:
      return elevation::ProgressStatus::Cancelled;
    case scanner::ScanStatus::Failed:
    case scanner::ScanStatus::Stale:
      return elevation::ProgressStatus::Failed;
  }
  return elevation::ProgressStatus::Failed;
}

NodeRecordKind record_kind(NodeKind kind) {
  switch (kind) {
    case NodeKind::Drive:
      return NodeRecordKind::Drive;
    case NodeKind::Folder:
      return NodeRecordKind::Folder;
    case NodeKind::File:
      return NodeRecordKind::File;
    case NodeKind::Restricted:
      return NodeRecordKind::Restricted;
    case NodeKind::SymbolicLink:
      return NodeRecordKind::SymbolicLink;
    case NodeKind::Junction:
      return NodeRecordKind::Junction;
    case NodeKind::VolumeMountPoint:
      return NodeRecordKind::VolumeMountPoint;
    case NodeKind::OtherLink:
    case NodeKind::UnknownSpace:  // never converted: send_tree skips it
      return NodeRecordKind::OtherLink;
  }
  return NodeRecordKind::OtherLink;
}

// Whole milliseconds, saturating instead of wrapping; a negative duration counts as 0.
uint64_t whole_milliseconds(std::chrono::nanoseconds elapsed) {
  if (elapsed.count() <= 0) return 0;
  const uint64_t nanoseconds = static_cast<uint64_t>(elapsed.count());
  const uint64_t seconds = nanoseconds / 1'000'000'000;
  const uint64_t millis = (nanoseconds % 1'000'000'000) / 1'000'000;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (seconds > (kMax - millis) / 1000) return kMax;
  return seconds * 1000 + millis;
}

// Forwards every snapshot of the running scan until its terminal one or the end of the stream.
tl::expected<void, PipeError> forward_progress(PipeConnection& connection, uint64_t target_index,
                                               scanner::ScanHandle& handle) {
  for (;;) {
    scanner::NextProgress next = scanner::next_progress(handle, kProgressPollInterval);
    if (std::holds_alternative<scanner::ProgressTimedOut>(next)) continue;
    if (std::holds_alternative<scanner::ProgressClosed>(next)) return {};
    const auto& progress = std::get<scanner::ScanProgress>(next);
    auto sent = connection.send(progress_message(target_index, progress));
    if (!sent) return sent;
    if (progress.status == scanner::ScanStatus::Completed ||
        progress.status == scanner::ScanStatus::Cancelled ||
        progress.status == scanner::ScanStatus::Failed) {
      return {};
    }
  }
}

// Scans one available target and answers for it.
tl::expected<void, ScanFlowError> scan_target(PipeConnection& connection,
                                              const elevation::ValidatedScanRequest& request,
                                              scanner::ScanManager& manager, uint64_t target_index,
                                              const platform::OsString& target) {
  scanner::ScanRequest scan;
  scan.root = target;
  if (request.full_root && request.volume) {
    scan.volume = request.volume;
    scan.root_is_volume = true;
  }
  scanner::ScanHandle handle = manager.start(std::move(scan));
  if (auto forwarded = forward_progress(connection, target_index, handle); !forwarded) {
    // The run, and the process with it, ends here. The scan is stopped and waited for first: a
    // scan left running would destroy the worker pool on its own thread after the process's
    // static state is gone.
    handle.cancel_requested->store(true);
    (void)scanner::wait(std::move(handle));
    return tl::unexpected(std::move(forwarded.error()));
  }

  scanner::ScanOutcome outcome = scanner::wait(std::move(handle));
  if (const auto* result = std::get_if<scanner::ScanResult>(&outcome)) {
    auto sent = send_tree(connection, target_index, *result);
    if (!sent) return tl::unexpected(std::move(sent.error()));
    return {};
  }
  auto& failure = std::get<scanner::ScanFailure>(outcome);
  if (request.full_root) {
    const std::string text = scanner::to_string(failure);
    auto sent = connection.send(elevation::FailureMessage{text});
    if (!sent) return tl::unexpected(std::move(sent.error()));
    return tl::unexpected(std::move(failure));
  }
  auto sent = connection.send(elevation::TargetUnavailableMessage{target_index});
  if (!sent) return tl::unexpected(std::move(sent.error()));
  return {};
}

}  // namespace

elevation::EventMessage progress_message(uint64_t target_index,
                                         const scanner::ScanProgress& progress) {
  elevation::TargetProgress event;
  event.target_index = target_index;
  event.current_path = progress.current_path;
  event.files_discovered = progress.files_discovered;
  event.folders_discovered = progress.folders_discovered;
  event.bytes_measured = progress.bytes_measured;
  event.inaccessible_item_count = progress.inaccessible_item_count;
  event.elapsed_millis = whole_milliseconds(progress.elapsed);
  event.status = progress_status(progress.status);
  return elevation::EventMessage{event};
}

tl::expected<void, PipeError> send_tree(PipeConnection& connection, uint64_t target_index,
                                        const scanner::ScanResult& result) {
  const storage::FinishedTree& tree = result.tree;
  auto started = connection.send(elevation::TreeStartMessage{target_index, tree.file_system()});
  if (!started) return started;

  storage::PathWriter paths(tree);
  elevation::NodeMessage message;
  message.target_index = target_index;
  elevation::NodeRecord& record = message.node;
  for (storage::NodeId id = 0; id < tree.node_count(); ++id) {
    const NodeKind kind = tree.kind(id);
    if (kind == NodeKind::UnknownSpace) continue;
    const storage::NodeFlags flags = tree.flags(id);
    const auto own_size = tree.own_size(id);
    const auto identity = tree.identity(id);

    record.id = id;
    record.parent_id = tree.parent(id);
    record.path = paths.path(id);
    record.kind = record_kind(kind);
    record.logical_bytes = own_size ? own_size->logical_bytes : 0;
    record.size_on_disk_bytes = own_size ? own_size->size_on_disk_bytes : 0;
    record.flags = {
        flags.has(storage::NodeFlags::kCloudOnly), flags.has(storage::NodeFlags::kCompressed),
        flags.has(storage::NodeFlags::kSparse), flags.has(storage::NodeFlags::kDeduplicated)};
    record.identity.reset();
    if (identity)
      record.identity = elevation::NodeRecordIdentity{identity->volume_serial, identity->file_id};
    record.link_target = tree.link_target(id);
    record.modified_at_epoch_seconds = id < result.modified_at.size() ? result.modified_at[id] : 0;
    auto sent = connection.send(message);
    if (!sent) return sent;
  }
  return connection.send(elevation::TreeEndMessage{target_index});
}

tl::expected<void, ScanFlowError> scan_targets(PipeConnection& connection,
                                               const elevation::ValidatedScanRequest& request,
                                               scanner::ScanManager& manager) {
  for (uint64_t index = 0; index < request.targets.size(); ++index) {
    const auto& slot = request.targets[index];
    if (!slot) {
      auto sent = connection.send(elevation::TargetUnavailableMessage{index});
      if (!sent) return tl::unexpected(std::move(sent.error()));
      continue;
    }
    if (auto scanned = scan_target(connection, request, manager, index, *slot); !scanned) {
      return scanned;
    }
  }
  auto sent = connection.send(elevation::CompleteMessage{});
  if (!sent) return tl::unexpected(std::move(sent.error()));
  return {};
}

}  // namespace ketterlin::helper
