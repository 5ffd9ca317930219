#include "scanner/progress.h"

#include <utility>

#include "storage/display_path.h"

namespace ketterlin::scanner {

ProgressReporter::ProgressReporter(Sender<ScanProgress> sender, Clock::time_point started,
                                   ScanId id, platform::OsString current_path)
    : sender_(std::move(sender)),
      started_(started),
      id_(id),
      current_path_(std::move(current_path)),
      last_timed_emission_(started) {}

void ProgressReporter::record_batch(platform::OsStringView folder_path, const BatchCounts& counts) {
  files_discovered_.fetch_add(counts.files, std::memory_order_relaxed);
  folders_discovered_.fetch_add(counts.folders, std::memory_order_relaxed);
  bytes_measured_.fetch_add(counts.bytes, std::memory_order_relaxed);
  set_current_path(storage::display_path(folder_path));

  bool due = false;
  {
    auto guard = timer_mutex_.lock();
    const auto now = Clock::now();
    if (now - last_timed_emission_ >= PROGRESS_INTERVAL) {
      last_timed_emission_ = now;
      due = true;
    }
  }
  if (due) emit(ScanStatus::Running);
}

void ProgressReporter::record_inaccessible(platform::OsStringView path) {
  inaccessible_item_count_.fetch_add(1, std::memory_order_relaxed);
  set_current_path(path);
}

void ProgressReporter::set_current_path(platform::OsStringView path) {
  auto guard = path_mutex_.lock();
  current_path_.assign(path);
}

void ProgressReporter::add_root_folder() {
  folders_discovered_.fetch_add(1, std::memory_order_relaxed);
}

ScanProgress ProgressReporter::emit(ScanStatus status) {
  ScanProgress snapshot;
  snapshot.id = id_;
  snapshot.status = status;
  {
    auto guard = path_mutex_.lock();
    snapshot.current_path = current_path_;
    snapshot.files_discovered = files_discovered_.load(std::memory_order_relaxed);
    snapshot.folders_discovered = folders_discovered_.load(std::memory_order_relaxed);
    snapshot.bytes_measured = bytes_measured_.load(std::memory_order_relaxed);
    snapshot.inaccessible_item_count = inaccessible_item_count_.load(std::memory_order_relaxed);
    snapshot.elapsed = Clock::now() - started_;
  }
  (void)sender_.send(snapshot);
  return snapshot;
}

}  // namespace ketterlin::scanner
