// Threads on Windows are started through the C++ library's std::thread, not CreateThread. With
// MinGW's threads the library keeps per-thread state for every thread that uses its mutexes and
// condition variables; for a thread it did not start, it frees that state in a thread-detach
// callback, which runs under the loader lock. Under Wine a pool thread ending that way waited
// there, holding the loader lock, while another thread waited for the loader lock to start or
// end (Wine's critical-section report names both): about one run in five of scan_helper_test
// hung. For a thread the library started, that state goes when the thread's function returns.
#include <windows.h>

#include <system_error>
#include <thread>
#include <utility>

#include "platform/panic.h"
#include "platform/thread.h"

namespace ketterlin::platform {

struct Thread::Handle {
  std::thread thread;
};

tl::expected<Thread, OsError> Thread::start(std::function<void()> body) {
  try {
    return Thread(std::make_unique<Handle>(Handle{std::thread(std::move(body))}));
  } catch (const std::system_error&) {
    // The library reports the system's refusal as a generic code; the thread call's own error
    // is still the last one set.
    const DWORD code = GetLastError();
    return tl::unexpected(OsError{code != ERROR_SUCCESS ? code : ERROR_NOT_ENOUGH_MEMORY});
  }
}

void Thread::join() {
  check(handle_ != nullptr, "join of a thread that is not attached");
  handle_->thread.join();
  handle_.reset();
}

void Thread::detach() {
  check(handle_ != nullptr, "detach of a thread that is not attached");
  handle_->thread.detach();
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
