// The worker pool that runs directory jobs: a oneTBB arena with a fixed number of threads, named
// "ketterlin-scan-<index>", shared by every scan of one manager.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <oneapi/tbb/task_group.h>
#include <tl/expected.hpp>

namespace ketterlin::scanner {

// Pool size for `hardware_threads` hardware threads (0 = unknown): N - 2 when N > 2, at most 8;
// 1 when N <= 2 or unknown.
unsigned pool_thread_count(unsigned hardware_threads);

class WorkerPool {
 public:
  // Builds a pool of `threads` threads (>= 1). Fails with the pool builder's error text.
  [[nodiscard]] static tl::expected<std::unique_ptr<WorkerPool>, std::string> create(
      unsigned threads);
  ~WorkerPool();

  unsigned thread_count() const { return threads_; }

  // A set of jobs that can be waited for. Jobs run on pool threads only, never on the thread
  // that spawns them; a job must not let an exception escape.
  class Scope {
   public:
    explicit Scope(WorkerPool& pool) : pool_(pool) {}
    // Waits for every job, in case the owner did not.
    ~Scope() { wait(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    void spawn(std::function<void()> job);
    // Blocks until every job spawned so far has finished.
    void wait();

   private:
    WorkerPool& pool_;
    oneapi::tbb::task_group group_;
  };

 private:
  struct Impl;
  WorkerPool(unsigned threads, std::unique_ptr<Impl> impl);

  unsigned threads_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ketterlin::scanner
