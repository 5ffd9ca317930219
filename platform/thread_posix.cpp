#include <pthread.h>

#include <utility>

#include "platform/panic.h"
#include "platform/thread.h"

namespace ketterlin::platform {

struct Thread::Handle {
  pthread_t thread;
};

namespace {

void* run_body(void* argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

}  // namespace

tl::expected<Thread, OsError> Thread::start(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  auto handle = std::make_unique<Handle>();
  // pthread_create answers its error instead of setting errno.
  const int result = pthread_create(&handle->thread, nullptr, run_body, owned.get());
  if (result != 0) return tl::unexpected(OsError{static_cast<uint32_t>(result)});
  (void)owned.release();  // the thread owns it now
  return Thread(std::move(handle));
}

void Thread::join() {
  check(handle_ != nullptr, "join of a thread that is not attached");
  pthread_join(handle_->thread, nullptr);
  handle_.reset();
}

void Thread::detach() {
  check(handle_ != nullptr, "detach of a thread that is not attached");
  pthread_detach(handle_->thread);
  handle_.reset();
}

Thread::Thread(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
Thread::Thread(Thread&& other) noexcept = default;
Thread& Thread::operator=(Thread&& other) noexcept {
  check(handle_ == nullptr, "a thread replaced while attached");
  handle_ = std::move(other.handle_);
  return *this;
}
Thread::~Thread() { check(handle_ == nullptr, "a thread let go while attached"); }

}  // namespace ketterlin::platform
