// How the pool is built on oneTBB. The arena has one slot more than the pool has threads, and
// every slot is reserved for threads that join it from outside, so the library never assigns a
// worker of its own to it (with a single reserved slot it would lend one to guarantee progress of
// enqueued jobs; the spare slot rules that out). Each pool thread joins the arena and waits there
// on one task group that stays open for the pool's life: while it waits it takes the enqueued
// jobs, and when there are none it spins briefly and then sleeps until the arena gets new work.
// The pool ends by running the group's one deferred task, which closes it and lets every thread
// leave the arena.
//
// A scope counts its own jobs: the spawning thread never joins the arena, neither to queue nor to
// wait, so a job never runs on it.
#include "scanner/worker_pool.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "platform/panic.h"
#include "platform/thread.h"
#include "platform/thread_name.h"

namespace ketterlin::scanner {
namespace tbb = oneapi::tbb;

ScanManagerError ScanManagerError::pool_thread_not_started(platform::OsError error) {
  ScanManagerError result;
  result.kind = ScanManagerErrorKind::PoolThreadNotStarted;
  result.os_error = error;
  return result;
}

ScanManagerError ScanManagerError::pool_setup_failed(std::string library_text) {
  ScanManagerError result;
  result.kind = ScanManagerErrorKind::PoolSetupFailed;
  result.library_text = std::move(library_text);
  return result;
}

std::string to_string(const ScanManagerError& error) {
  switch (error.kind) {
    case ScanManagerErrorKind::PoolThreadNotStarted:
      return platform::to_string(error.os_error);
    case ScanManagerErrorKind::PoolSetupFailed:
      return error.library_text;
  }
  platform::panic("invalid ScanManagerErrorKind");
}

std::string debug_string(const ScanManagerError& error) {
  return "ScanManagerError(\"" + to_string(error) + "\")";
}

unsigned pool_thread_count(unsigned hardware_threads) {
  if (hardware_threads <= 2) return 1;
  return std::min(hardware_threads - 2, 8u);
}

struct WorkerPool::Impl {
  explicit Impl(unsigned threads)
      : arena(static_cast<int>(threads) + 1, /*reserved_for_masters=*/threads + 1),
        open(lifetime.defer([] {})) {}

  // Lets every thread leave the arena and joins it; call once. The last wait returns at once
  // when a pool thread ran the closing task, and runs it here when none was started.
  void stop() {
    arena.enqueue(std::move(open));
    for (platform::Thread& thread : threads) thread.join();
    arena.execute([this] { lifetime.wait(); });
  }

  tbb::task_arena arena;
  tbb::task_group lifetime;  // waited on by every pool thread until close()
  tbb::task_handle open;     // holds `lifetime` open
  std::vector<platform::Thread> threads;
};

tl::expected<std::unique_ptr<WorkerPool>, ScanManagerError> WorkerPool::create(
    unsigned threads, PoolThreadStarter start_thread) {
  threads = std::max(threads, 1u);
  std::unique_ptr<Impl> impl;
  try {
    impl = std::make_unique<Impl>(threads);
  } catch (const std::exception& error) {
    return tl::unexpected(ScanManagerError::pool_setup_failed(error.what()));
  }
  if (!start_thread) start_thread = platform::Thread::start;
  Impl& pool = *impl;
  for (unsigned index = 0; index < threads; ++index) {
    auto body = [&pool, index] {
      platform::set_current_thread_name("ketterlin-scan-" + std::to_string(index));
      pool.arena.execute([&pool] { pool.lifetime.wait(); });
    };
    auto thread = start_thread(std::move(body));
    if (!thread) {
      pool.stop();
      return tl::unexpected(ScanManagerError::pool_thread_not_started(thread.error()));
    }
    pool.threads.push_back(std::move(*thread));
  }
  return std::unique_ptr<WorkerPool>(new WorkerPool(threads, std::move(impl)));
}

WorkerPool::WorkerPool(unsigned threads, std::unique_ptr<Impl> impl)
    : threads_(threads), impl_(std::move(impl)) {}

WorkerPool::~WorkerPool() { impl_->stop(); }

// Shared with every queued job, so that the last job may finish touching it after the waiter
// has left.
struct WorkerPool::Scope::Jobs {
  std::mutex mutex;
  std::condition_variable all_done;
  uint64_t unfinished = 0;  // guarded by mutex
};

WorkerPool::Scope::Scope(WorkerPool& pool) : pool_(pool), jobs_(std::make_shared<Jobs>()) {}

tl::expected<void, std::string> WorkerPool::Scope::spawn(std::function<void()> job) {
  {
    const std::lock_guard lock(jobs_->mutex);
    ++jobs_->unfinished;
  }
  auto run = [jobs = jobs_, job = std::move(job)] {
    try {
      job();
    } catch (...) {
      // The job's own fault barrier reports faults; nothing may reach the library.
    }
    const std::lock_guard lock(jobs->mutex);
    if (--jobs->unfinished == 0) jobs->all_done.notify_all();
  };
  try {
    pool_.impl_->arena.enqueue(std::move(run));
    return {};
  } catch (const std::exception& error) {
    const std::lock_guard lock(jobs_->mutex);
    --jobs_->unfinished;
    return tl::unexpected(std::string(error.what()));
  } catch (...) {
    const std::lock_guard lock(jobs_->mutex);
    --jobs_->unfinished;
    return tl::unexpected(std::string("a job could not be queued"));
  }
}

void WorkerPool::Scope::wait() {
  std::unique_lock lock(jobs_->mutex);
  jobs_->all_done.wait(lock, [this] { return jobs_->unfinished == 0; });
}

}  // namespace ketterlin::scanner
