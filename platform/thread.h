// Threads started through the system, so that a thread that cannot be created is an OsError value
// with the system's own code (errno from pthread_create; on Windows, the last error the thread
// call set), never an exception.
#pragma once

#include <functional>
#include <memory>

#include <tl/expected.hpp>

#include "platform/os_error.h"

namespace ketterlin::platform {

// One started thread. Move-only. The owner either joins it or detaches it before letting go: a
// thread still attached when its Thread is destroyed is a programming error that stops the
// calling thread.
class Thread {
 public:
  // Starts `body` on a new thread with the system's default stack size. `body` must not let an
  // exception escape. Fails with the system's error when the thread cannot be created; `body`
  // is then destroyed without being run.
  [[nodiscard]] static tl::expected<Thread, OsError> start(std::function<void()> body);

  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  ~Thread();

  // Waits for the thread's end and releases it. Call once.
  void join();
  // Lets the thread run on by itself. Call once.
  void detach();

 private:
  struct Handle;
  explicit Thread(std::unique_ptr<Handle> handle);

  std::unique_ptr<Handle> handle_;
};

}  // namespace ketterlin::platform
