// Progress of one scan: counters the directory workers raise, the path being worked on, and the
// snapshots sent to the scan's caller over an unbounded channel, timed ones at most every 100 ms.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/os_string.h"
#include "scanner/channel.h"
#include "scanner/directory_reader.h"
#include "scanner/poison_mutex.h"
#include "scanner/vocabulary.h"

namespace ketterlin::scanner {

using Clock = std::chrono::steady_clock;

// One progress snapshot.
struct ScanProgress {
  ScanId id;
  ScanStatus status = ScanStatus::Queued;
  platform::OsString current_path;
  uint64_t files_discovered = 0;
  uint64_t folders_discovered = 0;  // folder entries, plus 1 for the scan root
  uint64_t bytes_measured = 0;
  uint64_t inaccessible_item_count = 0;
  std::chrono::nanoseconds elapsed{0};  // since ScanManager::start, monotonic

  friend bool operator==(const ScanProgress&, const ScanProgress&) = default;
};

inline constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};

// Counts what a scan has found and sends snapshots. Shared by the scan's coordinator and its
// directory workers; every operation is thread-safe. Lock order: the LiveScan lock may be held
// when calling any of these; the path lock and the timer lock are never held together.
class ProgressReporter {
 public:
  ProgressReporter(Sender<ScanProgress> sender, Clock::time_point started, ScanId id,
                   platform::OsString current_path);

  // Called by directory workers, once per listing batch: adds the counts, makes the display form
  // of `folder_path` the current path, and emits a Running snapshot when at least
  // PROGRESS_INTERVAL has passed since the last timed one.
  void record_batch(platform::OsStringView folder_path, const BatchCounts& counts);

  // Called by the coordinator for a folder that could not be listed: counts it and makes `path`
  // (unchanged) the current path. Emits nothing.
  void record_inaccessible(platform::OsStringView path);

  // Replaces the current path (execution sets the display root).
  void set_current_path(platform::OsStringView path);

  // Counts the scan root as a discovered folder.
  void add_root_folder();

  // Sends a snapshot with `status` (a failed send, the receiver being gone, is ignored) and
  // returns it. Does not touch the timer of record_batch.
  ScanProgress emit(ScanStatus status);

  ScanId id() const { return id_; }

 private:
  Sender<ScanProgress> sender_;
  const Clock::time_point started_;
  const ScanId id_;

  PoisonMutex path_mutex_{"progress path poisoned"};
  platform::OsString current_path_;  // guarded by path_mutex_

  PoisonMutex timer_mutex_{"progress timer poisoned"};
  Clock::time_point last_timed_emission_;  // guarded by timer_mutex_

  std::atomic<uint64_t> files_discovered_{0};
  std::atomic<uint64_t> folders_discovered_{0};
  std::atomic<uint64_t> bytes_measured_{0};
  std::atomic<uint64_t> inaccessible_item_count_{0};
};

}  // namespace ketterlin::scanner
