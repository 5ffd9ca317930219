#include "scanner/worker_pool.h"

#include <algorithm>
#include <exception>
#include <string>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

#include "platform/thread_name.h"

namespace ketterlin::scanner {
namespace tbb = oneapi::tbb;

unsigned pool_thread_count(unsigned hardware_threads) {
  if (hardware_threads <= 2) return 1;
  return std::min(hardware_threads - 2, 8u);
}

namespace {

// Names each pool thread after its slot in the arena as it enters.
class ThreadNamer : public tbb::task_scheduler_observer {
 public:
  explicit ThreadNamer(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
    observe(true);
  }
  ~ThreadNamer() override { observe(false); }

  void on_scheduler_entry(bool is_worker) override {
    if (!is_worker) return;
    const int index = tbb::this_task_arena::current_thread_index();
    platform::set_current_thread_name("ketterlin-scan-" + std::to_string(index));
  }
};

}  // namespace

struct WorkerPool::Impl {
  explicit Impl(unsigned threads)
      // The scheduler's default would cap workers at the hardware threads minus one, which is
      // none at all on one processor; the pool must have its threads whatever the machine.
      : parallelism(tbb::global_control::max_allowed_parallelism, threads + 1),
        arena(static_cast<int>(threads), /*reserved_for_masters=*/0),
        namer((arena.initialize(), arena)) {}

  tbb::global_control parallelism;
  tbb::task_arena arena;
  ThreadNamer namer;
};

tl::expected<std::unique_ptr<WorkerPool>, std::string> WorkerPool::create(unsigned threads) {
  try {
    auto impl = std::make_unique<Impl>(std::max(threads, 1u));
    return std::unique_ptr<WorkerPool>(new WorkerPool(std::max(threads, 1u), std::move(impl)));
  } catch (const std::exception& error) {
    return tl::unexpected(std::string(error.what()));
  }
}

WorkerPool::WorkerPool(unsigned threads, std::unique_ptr<Impl> impl)
    : threads_(threads), impl_(std::move(impl)) {}

WorkerPool::~WorkerPool() = default;

void WorkerPool::Scope::spawn(std::function<void()> job) {
  // Enqueued, not executed: the spawning thread does not join the arena to run it.
  pool_.impl_->arena.enqueue(group_.defer(std::move(job)));
}

void WorkerPool::Scope::wait() {
  pool_.impl_->arena.execute([this] { group_.wait(); });
}

}  // namespace ketterlin::scanner
