#include "scanner/manager.h"

#include <exception>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "platform/os_error.h"
#include "platform/panic.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/thread_name.h"

namespace ketterlin::scanner {

// What the coordinator thread owns of one scan.
struct ScanManager::ScanJob {
  std::shared_ptr<ScanManager> manager;
  ScanId id;
  ScanRequest request;
  Sender<ScanOutcome> outcome;
  std::shared_ptr<std::atomic<bool>> cancel_requested;
  std::shared_ptr<LiveScan> live;
  std::shared_ptr<ProgressReporter> progress;
};

tl::expected<std::shared_ptr<ScanManager>, ScanManagerError> ScanManager::create(Options options) {
  const unsigned hardware = options.hardware_threads != 0 ? options.hardware_threads
                                                          : std::thread::hardware_concurrency();
  auto pool = WorkerPool::create(pool_thread_count(hardware), options.start_pool_thread);
  if (!pool) return tl::unexpected(std::move(pool.error()));
  if (!options.read_directory) options.read_directory = read_directory;
  if (!options.start_thread) {
    options.start_thread = [](std::function<void()> job) -> tl::expected<void, platform::OsError> {
      auto thread = platform::Thread::start(std::move(job));
      if (!thread) return tl::unexpected(thread.error());
      thread->detach();
      return {};
    };
  }
  return std::shared_ptr<ScanManager>(new ScanManager(std::move(options), std::move(*pool)));
}

ScanManager::ScanManager(Options options, std::unique_ptr<WorkerPool> pool)
    : options_(std::move(options)), pool_(std::move(pool)) {}

ScanHandle ScanManager::start(ScanRequest request) {
  const ScanId id{next_scan_id_.fetch_add(1)};
  auto live = std::make_shared<LiveScan>();
  auto cancel_requested = std::make_shared<std::atomic<bool>>(false);
  auto [outcome_sender, outcome_receiver] = make_channel<ScanOutcome>(1);
  auto [progress_sender, progress_receiver] = make_channel<ScanProgress>(0);
  auto progress = std::make_shared<ProgressReporter>(std::move(progress_sender), Clock::now(), id,
                                                     request.root);
  progress->emit(ScanStatus::Queued);

  const platform::OsString root = request.root;
  auto job = std::make_shared<ScanJob>(ScanJob{shared_from_this(), id, std::move(request),
                                               std::move(outcome_sender), cancel_requested, live,
                                               progress});
  auto started = options_.start_thread([job]() mutable {
    platform::set_current_thread_name("ketterlin-scan-coordinator-" + to_string(job->id));
    const Sender<ScanOutcome> outcome_sender = std::move(job->outcome);
    std::optional<ScanOutcome> outcome;
    // The fault barrier of the scan: whatever stops the coordinator, the process goes on and the
    // caller sees a scan without an outcome.
    try {
      outcome = job->manager->run_coordinator(*job);
    } catch (const platform::ThreadPanic&) {
      // The panic's text is on standard error.
    } catch (const std::bad_alloc&) {
      platform::write_standard_error("memory allocation failed\n");
    } catch (const std::exception& error) {
      platform::write_standard_error(std::string("scan coordinator stopped: ") + error.what() +
                                     "\n");
    } catch (...) {
      platform::write_standard_error("scan coordinator stopped by an unknown fault\n");
    }
    // Everything but the outcome's sender is let go before the outcome is sent. The caller may
    // drop the manager, and with it the worker pool, as soon as it holds the outcome, and then
    // leave the process: this thread must not be the one to destroy them, concurrently with
    // the process's static destructors.
    job.reset();
    if (outcome) (void)outcome_sender.send(std::move(*outcome));
  });
  if (!started) {
    job.reset();
    progress->emit(ScanStatus::Failed);
    auto [failed_sender, failed_receiver] = make_channel<ScanOutcome>(1);
    (void)failed_sender.send(thread_failure(id, root, started.error()));
    return ScanHandle{id, std::move(progress_receiver), std::move(failed_receiver),
                      std::move(cancel_requested), std::make_shared<LiveScan>()};
  }
  return ScanHandle{id, std::move(progress_receiver), std::move(outcome_receiver),
                    std::move(cancel_requested), std::move(live)};
}

ScanOutcome ScanManager::run_coordinator(ScanJob& job) {
  if (!acquire_slot(*job.cancel_requested)) {
    ScanFailure failure = cancelled(job.id, job.request.root);
    {
      auto guard = job.live->lock();
      job.live->state().observed.status = ScanStatus::Cancelled;
    }
    job.progress->emit(ScanStatus::Cancelled);
    return failure;
  }

  // Released on return, before the outcome is sent, and also when the thread stops on a panic,
  // so that a broken scan cannot keep its slot from the others.
  struct SlotRelease {
    ScanManager& manager;
    ~SlotRelease() { manager.release_slot(); }
  } slot{*this};

  job.progress->emit(ScanStatus::Running);
  ScanOutcome outcome = execute_scan(job.id, std::move(job.request), *pool_, *job.cancel_requested,
                                     *job.progress, *job.live, options_.read_directory);
  if (const auto* failure = std::get_if<ScanFailure>(&outcome)) {
    auto guard = job.live->lock();
    job.live->state().observed.status = failure->status();
    ++job.live->state().observed.generation;
    job.progress->emit(failure->status());
  }
  return outcome;
}

bool ScanManager::acquire_slot(const std::atomic<bool>& cancel_requested) {
  auto guard = slots_mutex_.lock();
  while (active_ >= MAX_ACTIVE_SCANS) {
    if (cancel_requested.load()) return false;
    slot_released_.wait_for(guard.native(), SLOT_POLL_INTERVAL);
  }
  ++active_;
  return true;
}

void ScanManager::release_slot() {
  auto guard = slots_mutex_.lock();
  --active_;
  slot_released_.notify_one();
}

NextProgress next_progress(ScanHandle& handle, std::chrono::nanoseconds timeout) {
  auto received = handle.progress.receive_for(timeout);
  if (received.timed_out()) return ProgressTimedOut{};
  if (received.disconnected()) return ProgressClosed{};
  return std::move(received.value());
}

ScanOutcome wait(ScanHandle handle) {
  auto received = handle.outcome.receive();
  if (!received) {
    return no_outcome_failure(handle.id);
  }
  return std::move(*received);
}

}  // namespace ketterlin::scanner
