// An owned Win32 handle, closed exactly once. Included only by *_win32.cpp files.
#pragma once

#include <windows.h>

#include <utility>

namespace ketterlin::platform {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  // Takes ownership of `handle`; null and INVALID_HANDLE_VALUE both mean "no handle".
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  // Closes the owned handle (if any) and owns `handle` instead.
  void reset(HANDLE handle = nullptr) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE release() { return std::exchange(handle_, nullptr); }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace ketterlin::platform
