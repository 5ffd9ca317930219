// The scan manager: starts scans, each on its own coordinator thread with its own progress and
// outcome channels, on one shared worker pool, at most MAX_ACTIVE_SCANS at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include <tl/expected.hpp>

#include "platform/os_error.h"
#include "scanner/channel.h"
#include "scanner/execution.h"
#include "scanner/live.h"
#include "scanner/poison_mutex.h"
#include "scanner/progress.h"
#include "scanner/traversal.h"
#include "scanner/vocabulary.h"
#include "scanner/worker_pool.h"

namespace ketterlin::scanner {

inline constexpr uint64_t MAX_ACTIVE_SCANS = 2;
inline constexpr std::chrono::milliseconds SLOT_POLL_INTERVAL{25};

// ScanManagerError, the error of creating a manager, is declared in worker_pool.h: building the
// pool is what can fail.

// What a caller holds of one started scan.
struct ScanHandle {
  ScanId id;
  Receiver<ScanProgress> progress;
  Receiver<ScanOutcome> outcome;
  std::shared_ptr<std::atomic<bool>> cancel_requested;  // raising it asks the scan to stop
  std::shared_ptr<LiveScan> live;
};

// The answer of next_progress: a snapshot, a time-out, or the end of the stream (every progress
// sender is gone).
struct ProgressTimedOut {};
struct ProgressClosed {};
using NextProgress = std::variant<ScanProgress, ProgressTimedOut, ProgressClosed>;

class ScanManager : public std::enable_shared_from_this<ScanManager> {
 public:
  // Starts `job` on a new thread and detaches it; fails with the system's error when the thread
  // cannot be created (`job` then never runs). Replaceable in tests.
  using ThreadStarter =
      std::function<tl::expected<void, platform::OsError>(std::function<void()> job)>;

  struct Options {
    unsigned hardware_threads = 0;         // 0: ask the system
    ReadDirectoryFunction read_directory;  // empty: the platform's read_directory
    ThreadStarter start_thread;            // empty: platform::Thread, detached
    PoolThreadStarter start_pool_thread;   // empty: platform::Thread
  };

  // Builds the manager and its worker pool (pool_thread_count of the hardware threads).
  [[nodiscard]] static tl::expected<std::shared_ptr<ScanManager>, ScanManagerError> create(
      Options options);
  [[nodiscard]] static tl::expected<std::shared_ptr<ScanManager>, ScanManagerError> create() {
    return create(Options{});
  }

  // Starts one scan; never fails. The progress stream begins with a Queued snapshot; the outcome
  // channel receives exactly one ScanOutcome, after the scan's terminal snapshot. Thread-safe.
  ScanHandle start(ScanRequest request);

  WorkerPool& pool() { return *pool_; }

 private:
  explicit ScanManager(Options options, std::unique_ptr<WorkerPool> pool);

  struct ScanJob;
  // The coordinator thread's work for one scan: takes a slot, runs the scan, emits the terminal
  // snapshot and returns the outcome to send. The slot is free again on return.
  ScanOutcome run_coordinator(ScanJob& job);
  bool acquire_slot(const std::atomic<bool>& cancel_requested);
  void release_slot();

  Options options_;
  std::unique_ptr<WorkerPool> pool_;
  std::atomic<uint64_t> next_scan_id_{1};

  PoisonMutex slots_mutex_{"Scan slot mutex poisoned"};  // guards active_
  std::condition_variable slot_released_;
  uint64_t active_ = 0;
};

// The next snapshot of `handle`, waiting at most `timeout`.
NextProgress next_progress(ScanHandle& handle, std::chrono::nanoseconds timeout);

// Consumes the handle and returns the scan's outcome, blocking until it arrives. When the scan's
// thread ended without one: Failed with an empty path and "Scan worker stopped before reporting a
// result".
ScanOutcome wait(ScanHandle handle);

}  // namespace ketterlin::scanner
