// A mutex that remembers a panic: when a thread unwinds out of a critical section (a broken
// invariant, see platform/panic.h), the mutex is poisoned, and every later lock panics with the
// mutex's text instead of handing out state that may be half-changed.
#pragma once

#include <exception>
#include <mutex>

#include "platform/panic.h"

namespace ketterlin::scanner {

class PoisonMutex {
 public:
  // `poisoned_text` is what a lock of a poisoned mutex panics with; it must outlive the mutex.
  explicit PoisonMutex(const char* poisoned_text) : poisoned_text_(poisoned_text) {}
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  // Holds the mutex for its lifetime; poisons it when destroyed by unwinding.
  class Guard {
   public:
    explicit Guard(PoisonMutex& mutex)
        : mutex_(mutex), lock_(mutex.mutex_), exceptions_(std::uncaught_exceptions()) {
      if (mutex_.poisoned_) platform::panic(mutex_.poisoned_text_);
    }
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_) mutex_.poisoned_ = true;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    std::unique_lock<std::mutex>& native() { return lock_; }

   private:
    PoisonMutex& mutex_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  [[nodiscard]] Guard lock() { return Guard(*this); }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  const char* poisoned_text_;
};

}  // namespace ketterlin::scanner
