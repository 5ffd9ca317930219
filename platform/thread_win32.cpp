#include <windows.h>

#include <utility>

#include "platform/panic.h"
#include "platform/thread.h"

namespace ketterlin::platform {

struct Thread::Handle {
  HANDLE thread;
};

namespace {

DWORD WINAPI run_body(void* argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return 0;
}

}  // namespace

tl::expected<Thread, OsError> Thread::start(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  const HANDLE thread = CreateThread(nullptr, 0, run_body, owned.get(), 0, nullptr);
  if (thread == nullptr) return tl::unexpected(last_os_error());
  (void)owned.release();  // the thread owns it now
  return Thread(std::make_unique<Handle>(Handle{thread}));
}

void Thread::join() {
  check(handle_ != nullptr, "join of a thread that is not attached");
  WaitForSingleObject(handle_->thread, INFINITE);
  CloseHandle(handle_->thread);
  handle_.reset();
}

void Thread::detach() {
  check(handle_ != nullptr, "detach of a thread that is not attached");
  CloseHandle(handle_->thread);
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
