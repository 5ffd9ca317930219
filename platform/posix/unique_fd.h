// An owned file descriptor, closed exactly once. Included only by *_posix.cpp files.
#pragma once

#include <unistd.h>

#include <utility>

namespace ketterlin::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes ownership of `fd`; a negative value means "no descriptor".
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  // Closes the owned descriptor (if any) and owns `fd` instead. close() is not retried on EINTR:
  // on Linux the descriptor is released either way.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace ketterlin::platform
