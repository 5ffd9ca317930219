// The live scan: the lock-protected home of a scan's tree while it is being built, shared by the
// scan's execution, its traversal's coordinator and the scan's handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "scanner/poison_mutex.h"
#include "scanner/vocabulary.h"
#include "storage/model.h"

namespace ketterlin::scanner {

// What the scan records about itself for an observer of the live scan (a debugger, a test, a
// future live view): nothing in the scan reads these back, so a change to how they are kept
// cannot change a scan's result. Written only under the live-scan lock.
struct LiveScanObservation {
  std::vector<bool> finished_folders;  // folders whose listing has ended, one bit per NodeId
  std::optional<storage::FinishedTree> retained_tree;  // finished, then cancelled
  uint64_t generation = 0;                             // +1 for each change applied under the lock
  ScanStatus status = ScanStatus::Queued;

  // Records that the listing of `folder` has ended, successfully or not.
  void mark_finished(storage::NodeId folder);
};

// What the live-scan lock guards.
struct LiveScanState {
  // The tree under construction (accounting enabled); execution installs it and takes it out.
  std::optional<storage::ScanTree> builder;
  // One modification time per node, indexed by NodeId, kept aligned with the builder's nodes.
  std::vector<uint64_t> modified_at;
  LiveScanObservation observed;
};

// Lock order: the live-scan lock before the progress locks, never after them.
class LiveScan {
 public:
  using Guard = PoisonMutex::Guard;

  // Takes the lock after waiting while the yield flag is set (giving up the processor between
  // tests). Panics with "live Scan poisoned" when a thread died holding the lock.
  [[nodiscard]] Guard lock() {
    while (yield_requests_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    return mutex_.lock();
  }

  // Takes the lock without looking at the yield flag.
  [[nodiscard]] Guard lock_without_wait() { return mutex_.lock(); }

  // The state; only touch it while holding a Guard.
  LiveScanState& state() { return state_; }

  // Non-zero asks scan threads to let a reader take the lock first (an observer's request).
  std::atomic<uint64_t>& yield_requests() { return yield_requests_; }

 private:
  PoisonMutex mutex_{"live Scan poisoned"};
  LiveScanState state_;  // guarded by mutex_
  std::atomic<uint64_t> yield_requests_{0};
};

}  // namespace ketterlin::scanner
