// The parallel directory traversal.
//
// Design. One scan's walk has two roles:
//
// - The coordinator is a single loop on the scan's coordinator thread. It alone changes the tree,
//   and only while holding the live-scan lock. It owns the first-in first-out queue of folders
//   still to be listed, dispatches them to the worker pool (at most 2·T listings unfinished at a
//   time, for T pool threads), and decides what every listing result means for the tree.
// - Directory workers are pool jobs. Each lists exactly one folder with the directory reader and
//   sends what it finds to the coordinator over a bounded channel (capacity 2·T, blocking sends,
//   which holds back workers that outpace the coordinator). Workers never touch the tree; they
//   report progress counts straight to the progress reporter.
//
// A worker holds back one batch of a non-root folder, so a typical folder, listed in one 64 KiB
// buffer, reaches the coordinator as one FinishedWithBatch message and costs one lock. The root's
// batches are sent at once, so its subfolders are dispatched while it is still being listed.
//
// The walk ends when nothing is pending or in flight, or at the first failure: a failure of the
// root, a listing that fails after children were added, a worker that stops abnormally, a tree
// model error, or cancellation (seen at the top of the loop, between the entries of a batch, or
// through a worker's "Scan cancelled"). On every way out the coordinator drops its receiving end
// and its own sender, then waits for every job: a worker still running finds its next send
// refused, its sink answers false, the reader stops with "Scan cancelled", and its final send is
// dropped, so the wait always ends.
#include "scanner/traversal.h"

#include <chrono>
#include <utility>
#include <variant>

#include "platform/os_error.h"
#include "platform/panic.h"
#include "scanner/channel.h"

namespace ketterlin::scanner {
namespace {

using storage::NodeId;
using ListingResult = tl::expected<void, DirectoryError>;

constexpr std::chrono::milliseconds kReceiveTimeout{10};

// ---- Worker messages ----

struct EventMessage {
  NodeId folder;
  DirectoryEvent event;
};
struct FinishedMessage {
  NodeId folder;
  ListingResult result;
};
struct FinishedWithBatchMessage {
  NodeId folder;
  EntriesEvent batch;
  ListingResult result;
};
struct WorkerPanickedMessage {
  NodeId folder;
};
using WorkerMessage =
    std::variant<EventMessage, FinishedMessage, FinishedWithBatchMessage, WorkerPanickedMessage>;

// ---- Directory worker ----

struct DirectoryJob {
  std::optional<uint64_t> expected_volume;
  Sender<WorkerMessage> sender;
  platform::OsString directory_path;
  const std::atomic<bool>& cancel_requested;
  ProgressReporter& progress;
  NodeId folder;
  NodeId root;
  const ReadDirectoryFunction& read_directory;
};

// Lists one folder and sends what it finds. Catches every fault of the listing: the batch held
// back is sent first, then WorkerPanicked. Failed sends (the coordinator gone) are ignored.
void run_directory_job(DirectoryJob& job) {
  std::optional<EntriesEvent> held;
  const DirectorySink sink = [&](DirectoryEvent&& event) {
    if (std::holds_alternative<EntriesEvent>(event) && job.folder != job.root) {
      std::optional<EntriesEvent> previous =
          std::exchange(held, std::get<EntriesEvent>(std::move(event)));
      if (!previous) return true;
      return job.sender.send(EventMessage{job.folder, std::move(*previous)});
    }
    return job.sender.send(EventMessage{job.folder, std::move(event)});
  };
  const ProgressCallback progress = [&](platform::OsStringView path, const BatchCounts& counts) {
    job.progress.record_batch(path, counts);
  };

  try {
    ListingResult result =
        job.read_directory(job.directory_path, job.expected_volume, job.folder == job.root,
                           job.cancel_requested, progress, sink);
    if (held) {
      (void)job.sender.send(
          FinishedWithBatchMessage{job.folder, std::move(*held), std::move(result)});
    } else {
      (void)job.sender.send(FinishedMessage{job.folder, std::move(result)});
    }
  } catch (...) {
    if (held) (void)job.sender.send(EventMessage{job.folder, std::move(*held)});
    (void)job.sender.send(WorkerPanickedMessage{job.folder});
  }
}

IssueKind issue_kind(std::optional<uint32_t> win32_code) {
  if (!win32_code) return IssueKind::OtherError;
  switch (*win32_code) {
    case platform::kWindowsAccessDenied:
      return IssueKind::AccessDenied;
    case platform::kWindowsFileNotFound:
    case platform::kWindowsPathNotFound:
      return IssueKind::NotFound;
    default:
      return IssueKind::OtherError;
  }
}

// ---- Coordinator ----

class Coordinator {
 public:
  explicit Coordinator(const Traversal& t)
      : t_(t), max_in_flight_(2 * static_cast<uint64_t>(t.pool.thread_count())) {}

  tl::expected<void, ScanFailure> run() {
    WorkerPool::Scope scope(t_.pool);
    tl::expected<void, ScanFailure> outcome;
    {
      // Both ends are dropped at the end of this block, before the wait: workers still running
      // find their sends refused and stop.
      auto [sender, receiver] = make_channel<WorkerMessage>(max_in_flight_);
      outcome = loop(sender, receiver, scope);
    }
    scope.wait();
    return outcome;
  }

 private:
  using Outcome = tl::expected<void, ScanFailure>;

  Outcome loop(const Sender<WorkerMessage>& sender, Receiver<WorkerMessage>& receiver,
               WorkerPool::Scope& scope) {
    for (;;) {
      if (t_.pending_folders.empty() && in_flight_ == 0) return {};
      if (t_.cancel_requested.load()) return tl::unexpected(cancelled(t_.scan_id, t_.current_path));
      while (in_flight_ < max_in_flight_ && !t_.pending_folders.empty()) {
        if (Outcome dispatched = dispatch(sender, scope); !dispatched) return dispatched;
      }

      auto received = receiver.receive_for(kReceiveTimeout);
      if (received.timed_out()) continue;
      platform::check(!received.disconnected(), "coordinator owns sender");
      if (Outcome handled = handle(std::move(received.value())); !handled) return handled;
    }
  }

  // Spawns the listing of the next pending folder. Fails when the pool cannot take the job.
  Outcome dispatch(const Sender<WorkerMessage>& sender, WorkerPool::Scope& scope) {
    const NodeId folder = t_.pending_folders.front();
    t_.pending_folders.pop_front();
    platform::OsString directory_path;
    {
      auto guard = t_.live.lock();
      directory_path = directory_path_of(t_.live.state().builder->path(folder));
    }
    auto job = std::make_shared<DirectoryJob>(
        DirectoryJob{t_.root_volume_serial, sender, std::move(directory_path), t_.cancel_requested,
                     t_.progress, folder, t_.root, t_.read_directory});
    if (auto spawned = scope.spawn([job] { run_directory_job(*job); }); !spawned) {
      return tl::unexpected(job_failure(t_.scan_id, tree_path(folder), std::move(spawned.error())));
    }
    ++in_flight_;
    return {};
  }

  platform::OsString tree_path(NodeId folder) {
    auto guard = t_.live.lock();
    return tree().path(folder);
  }

  // The canonical root joined with the folder's path relative to the display root.
  platform::OsString directory_path_of(platform::OsStringView folder_path) const {
    platform::check(folder_path.starts_with(t_.display_root), "scan descendant");
    platform::OsStringView relative = folder_path.substr(t_.display_root.size());
    while (!relative.empty() && relative.front() == platform::kPathSeparator) {
      relative.remove_prefix(1);
    }
    return platform::join_path(t_.canonical_root, relative);
  }

  Outcome handle(WorkerMessage&& message) {
    auto guard = t_.live.lock();
    Outcome outcome =
        std::visit([this](auto&& m) { return apply(std::move(m)); }, std::move(message));
    if (outcome) ++t_.live.state().generation;
    return outcome;
  }

  Outcome apply(EventMessage&& message) {
    if (auto* volume = std::get_if<VolumeEvent>(&message.event)) {
      return apply_volume(message.folder, *volume);
    }
    return apply_entries(message.folder, std::get<EntriesEvent>(std::move(message.event)));
  }

  Outcome apply(FinishedWithBatchMessage&& message) {
    if (Outcome added = apply_entries(message.folder, std::move(message.batch)); !added) {
      return added;
    }
    return apply_finished(message.folder, std::move(message.result));
  }

  Outcome apply(FinishedMessage&& message) {
    return apply_finished(message.folder, std::move(message.result));
  }

  Outcome apply(WorkerPanickedMessage&& message) {
    return tl::unexpected(worker_failure(t_.scan_id, tree().path(message.folder)));
  }

  Outcome apply_volume(NodeId folder, const VolumeEvent& volume) {
    t_.current_path = tree().path(folder);
    if (t_.root_volume_serial && *t_.root_volume_serial != volume.volume_serial) {
      if (folder == t_.root) {
        return tl::unexpected(volume_boundary_failure(t_.scan_id, t_.current_path));
      }
      tree().mark_mount_point(folder);
      t_.issues.push_back(ScanIssue::other_volume(t_.current_path));
    } else if (folder == t_.root) {
      t_.root_volume_serial = volume.volume_serial;
      tree().set_file_system(volume.file_system);
    }
    return {};
  }

  Outcome apply_entries(NodeId folder, EntriesEvent&& batch) {
    LiveScanState& state = t_.live.state();
    // The folder's path is built only for a failure: adding entries never changes it.
    for (const EntryMetadata& entry : batch) {
      if (t_.cancel_requested.load()) {
        return tl::unexpected(cancelled(t_.scan_id, tree().path(folder)));
      }
      auto added = tree().add_entry(folder, node_entry(entry));
      if (!added) {
        return tl::unexpected(model_failure(
            t_.scan_id, platform::join_path(tree().path(folder), entry.name), added.error()));
      }
      if (std::holds_alternative<DirectoryEntry>(entry.kind)) t_.pending_folders.push_back(*added);
      state.modified_at.push_back(entry.modified_at_epoch_seconds);
    }
    return {};
  }

  Outcome apply_finished(NodeId folder, ListingResult&& result) {
    LiveScanState& state = t_.live.state();
    if (result) {
      state.mark_finished(folder);
      --in_flight_;
      return {};
    }
    const DirectoryError& error = result.error();
    t_.current_path = tree().path(folder);
    if (t_.cancel_requested.load()) return tl::unexpected(cancelled(t_.scan_id, t_.current_path));
    if (folder == t_.root || tree().has_children(folder)) {
      return tl::unexpected(listing_failure(t_.scan_id, t_.current_path, error));
    }
    tree().mark_restricted(folder);
    t_.progress.record_inaccessible(t_.current_path);
    t_.issues.push_back(
        ScanIssue::listing_failed(t_.current_path, issue_kind(error.win32_code), error));
    state.mark_finished(folder);
    --in_flight_;
    return {};
  }

  static storage::NodeEntry node_entry(const EntryMetadata& entry) {
    storage::NodeEntry node;
    node.name = entry.name;
    if (std::holds_alternative<DirectoryEntry>(entry.kind)) {
      node.kind = storage::NodeKind::Folder;
    } else if (const auto* link = std::get_if<LinkEntry>(&entry.kind)) {
      node.kind = static_cast<storage::NodeKind>(link->link_kind);
      if (link->link_target) node.link_target = platform::OsStringView(*link->link_target);
    } else {
      node.kind = storage::NodeKind::File;
      node.own_size = storage::NodeSizes{entry.logical_bytes, entry.size_on_disk_bytes};
      if (entry.file_id) node.identity = storage::FileIdentity{*entry.file_id, entry.volume_serial};
      node.flags = entry.flags;
    }
    return node;
  }

  storage::ScanTree& tree() { return *t_.live.state().builder; }

  const Traversal& t_;
  const uint64_t max_in_flight_;
  uint64_t in_flight_ = 0;
};

}  // namespace

tl::expected<void, ScanFailure> traverse(const Traversal& t) { return Coordinator(t).run(); }

}  // namespace ketterlin::scanner
