// The parallel directory traversal.
//
// Design. One scan's walk has two roles:
//
// - The coordinator is a single loop on the scan's coordinator thread. It alone changes the tree,
//   and only while holding the live-scan lock. It owns the first-in first-out queue of folders
//   still to be listed, each with the path its listing opens (the parent's joined with the name),
//   dispatches them to the worker pool (at most 2·T listings unfinished at a time, for T pool
//   threads), and decides what every listing result means for the tree. A finished listing's
//   place is refilled before its entries are applied, so that a worker does not wait for the
//   coordinator's work on the tree.
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

#include <algorithm>
#include <chrono>
#include <deque>
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
  std::optional<uint64_t> own_time;  // from the listing's OwnTime event
};
struct FinishedWithBatchMessage {
  NodeId folder;
  EntriesEvent batch;
  ListingResult result;
  std::optional<uint64_t> own_time;
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

// Lists one folder and sends what it finds. The folder's own time travels with its Finished
// message. Catches every fault of the listing: the batch held back is sent first, then
// WorkerPanicked. Failed sends (the coordinator gone) are ignored.
void run_directory_job(DirectoryJob& job) {
  std::optional<EntriesEvent> held;
  std::optional<uint64_t> own_time;
  const DirectorySink sink = [&](DirectoryEvent&& event) {
    if (const auto* time = std::get_if<OwnTimeEvent>(&event)) {
      own_time = time->modified_at_epoch_seconds;
      return true;
    }
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
          FinishedWithBatchMessage{job.folder, std::move(*held), std::move(result), own_time});
    } else {
      (void)job.sender.send(FinishedMessage{job.folder, std::move(result), own_time});
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

// A folder to be listed, or being listed, with the path its listing opens.
struct PendingFolder {
  NodeId folder;
  platform::OsString listing_path;
};

class Coordinator {
 public:
  explicit Coordinator(Traversal t)
      : t_(std::move(t)), max_in_flight_(2 * static_cast<uint64_t>(t_.pool.thread_count())) {
    result_.root_volume_serial = t_.root_volume_serial;
    result_.last_path = tree_path(t_.root);
    pending_.push_back(PendingFolder{t_.root, platform::join_path(t_.canonical_root, {})});
  }

  tl::expected<TraversalResult, ScanFailure> run() {
    WorkerPool::Scope scope(t_.pool);
    Outcome outcome;
    {
      // Both ends are dropped at the end of this block, before the wait: workers still running
      // find their sends refused and stop.
      auto [sender, receiver] = make_channel<WorkerMessage>(max_in_flight_);
      outcome = loop(sender, receiver, scope);
    }
    scope.wait();
    if (!outcome) return tl::unexpected(std::move(outcome.error()));
    return std::move(result_);
  }

 private:
  using Outcome = tl::expected<void, ScanFailure>;

  Outcome loop(const Sender<WorkerMessage>& sender, Receiver<WorkerMessage>& receiver,
               WorkerPool::Scope& scope) {
    for (;;) {
      if (pending_.empty() && in_flight_ == 0) return {};
      if (t_.cancel_requested.load()) {
        return tl::unexpected(cancelled(t_.scan_id, result_.last_path));
      }
      if (Outcome dispatched = dispatch_pending(sender, scope); !dispatched) return dispatched;

      auto received = receiver.receive_for(kReceiveTimeout);
      if (received.timed_out()) continue;
      platform::check(!received.disconnected(), "coordinator owns sender");
      WorkerMessage& message = received.value();
      // A finished listing frees its place at once: the next folder goes to the pool before
      // this one's entries are applied, so that a worker does not wait for the tree.
      if (std::holds_alternative<FinishedMessage>(message) ||
          std::holds_alternative<FinishedWithBatchMessage>(message)) {
        --in_flight_;
        if (Outcome dispatched = dispatch_pending(sender, scope); !dispatched) return dispatched;
      }
      if (Outcome handled = handle(std::move(message)); !handled) return handled;
    }
  }

  // Spawns listings of pending folders while fewer than max_in_flight_ are unfinished. Fails
  // when the pool cannot take a job.
  Outcome dispatch_pending(const Sender<WorkerMessage>& sender, WorkerPool::Scope& scope) {
    while (in_flight_ < max_in_flight_ && !pending_.empty()) {
      const PendingFolder& next = listings_.emplace_back(std::move(pending_.front()));
      pending_.pop_front();
      auto job = std::make_shared<DirectoryJob>(
          DirectoryJob{result_.root_volume_serial, sender, next.listing_path, t_.cancel_requested,
                       t_.progress, next.folder, t_.root, t_.read_directory});
      if (auto spawned = scope.spawn([job] { run_directory_job(*job); }); !spawned) {
        return tl::unexpected(
            job_failure(t_.scan_id, tree_path(next.folder), std::move(spawned.error())));
      }
      ++in_flight_;
    }
    return {};
  }

  platform::OsString tree_path(NodeId folder) {
    auto guard = t_.live.lock();
    return tree().path(folder);
  }

  Outcome handle(WorkerMessage&& message) {
    auto guard = t_.live.lock();
    Outcome outcome =
        std::visit([this](auto&& m) { return apply(std::move(m)); }, std::move(message));
    if (outcome) ++t_.live.state().observed.generation;
    return outcome;
  }

  Outcome apply(EventMessage&& message) {
    if (auto* volume = std::get_if<VolumeEvent>(&message.event)) {
      return apply_volume(message.folder, *volume);
    }
    return apply_entries(*listing(message.folder),
                         std::get<EntriesEvent>(std::move(message.event)));
  }

  Outcome apply(FinishedWithBatchMessage&& message) {
    const auto found = listing(message.folder);
    if (Outcome added = apply_entries(*found, std::move(message.batch)); !added) return added;
    listings_.erase(found);
    return apply_finished(message.folder, std::move(message.result), message.own_time);
  }

  Outcome apply(FinishedMessage&& message) {
    listings_.erase(listing(message.folder));
    return apply_finished(message.folder, std::move(message.result), message.own_time);
  }

  // The listing of `folder`, which must have been spawned and not yet applied in full.
  std::vector<PendingFolder>::iterator listing(NodeId folder) {
    const auto found =
        std::find_if(listings_.begin(), listings_.end(),
                     [folder](const PendingFolder& l) { return l.folder == folder; });
    platform::check(found != listings_.end(), "listed folder was dispatched");
    return found;
  }

  Outcome apply(WorkerPanickedMessage&& message) {
    return tl::unexpected(worker_failure(t_.scan_id, tree().path(message.folder)));
  }

  Outcome apply_volume(NodeId folder, const VolumeEvent& volume) {
    result_.last_path = tree().path(folder);
    std::optional<uint64_t>& root_volume = result_.root_volume_serial;
    if (root_volume && *root_volume != volume.volume_serial) {
      if (folder == t_.root) {
        return tl::unexpected(volume_boundary_failure(t_.scan_id, result_.last_path));
      }
      tree().mark_mount_point(folder);
      result_.issues.push_back(ScanIssue::other_volume(result_.last_path));
    } else if (folder == t_.root) {
      root_volume = volume.volume_serial;
      tree().set_file_system(volume.file_system);
    }
    return {};
  }

  // Adds a batch of entries of the listed folder; the folders among them join the queue with
  // their listing paths, the parent's joined with the name.
  Outcome apply_entries(const PendingFolder& listed, EntriesEvent&& batch) {
    const NodeId folder = listed.folder;
    LiveScanState& state = t_.live.state();
    // The folder's display path is built only for a failure: adding entries never changes it.
    for (const EntryMetadata& entry : batch) {
      if (t_.cancel_requested.load()) {
        return tl::unexpected(cancelled(t_.scan_id, tree().path(folder)));
      }
      auto added = tree().add_entry(folder, node_entry(entry));
      if (!added) {
        return tl::unexpected(model_failure(
            t_.scan_id, platform::join_path(tree().path(folder), entry.name), added.error()));
      }
      if (std::holds_alternative<DirectoryEntry>(entry.kind)) {
        pending_.push_back(
            PendingFolder{*added, platform::join_path(listed.listing_path, entry.name)});
      }
      state.modified_at.push_back(entry.modified_at_epoch_seconds);
    }
    return {};
  }

  Outcome apply_finished(NodeId folder, ListingResult&& result, std::optional<uint64_t> own_time) {
    LiveScanState& state = t_.live.state();
    if (own_time) state.modified_at[folder] = *own_time;
    if (result) {
      state.observed.mark_finished(folder);
      return {};
    }
    const DirectoryError& error = result.error();
    result_.last_path = tree().path(folder);
    if (t_.cancel_requested.load()) {
      return tl::unexpected(cancelled(t_.scan_id, result_.last_path));
    }
    if (folder == t_.root || tree().has_children(folder)) {
      return tl::unexpected(listing_failure(t_.scan_id, result_.last_path, error));
    }
    tree().mark_restricted(folder);
    t_.progress.record_inaccessible(result_.last_path);
    result_.issues.push_back(
        ScanIssue::listing_failed(result_.last_path, issue_kind(error.win32_code), error));
    state.observed.mark_finished(folder);
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

  const Traversal t_;
  const uint64_t max_in_flight_;
  uint64_t in_flight_ = 0;               // listings spawned whose Finished message has not arrived
  std::deque<PendingFolder> pending_;    // first in, first out
  std::vector<PendingFolder> listings_;  // spawned and not yet applied in full
  TraversalResult result_;
};

}  // namespace

tl::expected<TraversalResult, ScanFailure> traverse(Traversal t) {
  return Coordinator(std::move(t)).run();
}

}  // namespace ketterlin::scanner
