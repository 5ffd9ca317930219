// The worker pool that runs directory jobs: a fixed set of threads of its own, named
// "ketterlin-scan-<index>" for their whole life, which serve one oneTBB arena, shared by every
// scan of one manager.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <tl/expected.hpp>

#include "platform/os_error.h"
#include "platform/thread.h"

namespace ketterlin::scanner {

enum class ScanManagerErrorKind : uint8_t {
  PoolThreadNotStarted,  // a pool thread could not be created: `os_error`'s text
  PoolSetupFailed,       // the thread-pool library could not set the pool up: `library_text`
};

// The error of building the worker pool, which is also the error of creating a scan manager.
// Only the fields of its kind are meaningful.
struct ScanManagerError {
  ScanManagerErrorKind kind = ScanManagerErrorKind::PoolSetupFailed;
  platform::OsError os_error;  // PoolThreadNotStarted
  std::string library_text;    // PoolSetupFailed: the library's own text

  static ScanManagerError pool_thread_not_started(platform::OsError error);
  static ScanManagerError pool_setup_failed(std::string library_text);

  friend bool operator==(const ScanManagerError&, const ScanManagerError&) = default;
};
// The display text: the system error's text, "<description> (os error N)", or the library's text.
std::string to_string(const ScanManagerError& error);
// The debug form: ScanManagerError("<display text>").
std::string debug_string(const ScanManagerError& error);

// Pool size for `hardware_threads` hardware threads (0 = unknown): N - 2 when N > 2, at most 8;
// 1 when N <= 2 or unknown.
unsigned pool_thread_count(unsigned hardware_threads);

// Starts one pool thread running `body`: platform::Thread::start, or a fake in tests.
using PoolThreadStarter =
    std::function<tl::expected<platform::Thread, platform::OsError>(std::function<void()> body)>;

// The pool's threads are started by the pool itself (through the platform layer) and are the
// only threads that run its jobs: the arena has no slot for the library's own workers, so no
// process-wide setting bounds it and no thread is ever started lazily while jobs are spawned.
// Each thread is in the arena from its start to the pool's end, looking for jobs and sleeping
// while there are none.
class WorkerPool {
 public:
  // Builds a pool of `threads` threads (>= 1), all started before it returns. Fails with
  // PoolThreadNotStarted when a thread cannot be started (the threads already started are
  // stopped), PoolSetupFailed when the library cannot set the pool up.
  [[nodiscard]] static tl::expected<std::unique_ptr<WorkerPool>, ScanManagerError> create(
      unsigned threads, PoolThreadStarter start_thread = {});
  // Stops and joins every thread. Every scope must have been waited for.
  ~WorkerPool();

  unsigned thread_count() const { return threads_; }

  // A set of jobs that can be waited for. Jobs run on pool threads only, never on the thread
  // that spawns or waits. Any thread may spawn; one thread waits.
  class Scope {
   public:
    explicit Scope(WorkerPool& pool);
    // Waits for every job, in case the owner did not.
    ~Scope() { wait(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    // Queues `job`; an exception it lets escape is caught and dropped. Fails with the library's
    // text when the job cannot be queued (it then never runs).
    [[nodiscard]] tl::expected<void, std::string> spawn(std::function<void()> job);
    // Blocks until every job spawned so far has finished.
    void wait();

   private:
    struct Jobs;
    WorkerPool& pool_;
    std::shared_ptr<Jobs> jobs_;
  };

 private:
  struct Impl;
  WorkerPool(unsigned threads, std::unique_ptr<Impl> impl);

  unsigned threads_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ketterlin::scanner
