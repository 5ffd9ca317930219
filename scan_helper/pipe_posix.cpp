// The pipe on POSIX systems: the pipe name is the path of a Unix-domain stream socket on which
// the host listens. The reader is the connected socket, the writer a duplicate of it.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cstring>

#include "scan_helper/pipe.h"
#include "unique_fd.h"

namespace ketterlin::helper {
namespace {

StreamFailure last_stream_failure() {
  const platform::OsError error = platform::last_os_error();
  return StreamFailure{error, error.code == EINTR};
}

class SocketStream final : public PipeStream {
 public:
  SocketStream(platform::UniqueFd reader, platform::UniqueFd writer)
      : reader_(std::move(reader)), writer_(std::move(writer)) {}

  tl::expected<std::size_t, StreamFailure> read(std::span<char> buffer) override {
    const ssize_t count = ::read(reader_.get(), buffer.data(), buffer.size());
    if (count < 0) return tl::unexpected(last_stream_failure());
    return static_cast<std::size_t>(count);
  }

  tl::expected<std::size_t, StreamFailure> write(std::span<const char> bytes) override {
    // MSG_NOSIGNAL: a host that has gone away gives EPIPE instead of killing the helper.
    const ssize_t count = ::send(writer_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count < 0) return tl::unexpected(last_stream_failure());
    return static_cast<std::size_t>(count);
  }

 private:
  platform::UniqueFd reader_;
  platform::UniqueFd writer_;
};

PipeError last_pipe_error() { return PipeError::windows(platform::last_os_error().code); }

// Sets how long a send (and a connect waiting for room in the host's backlog) may block.
bool set_send_timeout(int fd, std::chrono::milliseconds timeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) == 0;
}

}  // namespace

tl::expected<std::unique_ptr<PipeStream>, PipeError> open_pipe_stream(platform::OsStringView name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // An empty name or a leading zero byte would name a socket in Linux's abstract namespace, and
  // a zero byte inside would cut the path short: neither is the path the host gave.
  if (name.empty()) return tl::unexpected(PipeError::windows(ENOENT));
  if (name.find('\0') != platform::OsStringView::npos) {
    return tl::unexpected(PipeError::windows(EINVAL));
  }
  if (name.size() >= sizeof address.sun_path) {
    return tl::unexpected(PipeError::windows(ENAMETOOLONG));
  }
  std::memcpy(address.sun_path, name.data(), name.size());

  platform::UniqueFd reader(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!reader.valid()) return tl::unexpected(last_pipe_error());
  // A host whose backlog is full makes connect wait, at most CONNECT_TIMEOUT; a missing socket
  // fails at once.
  if (!set_send_timeout(reader.get(), CONNECT_TIMEOUT)) return tl::unexpected(last_pipe_error());
  int connected = 0;
  do {
    connected =
        ::connect(reader.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (connected != 0 && errno == EINTR);
  if (connected != 0) return tl::unexpected(last_pipe_error());
  // Sends wait for the host as long as it takes.
  if (!set_send_timeout(reader.get(), std::chrono::milliseconds(0))) {
    return tl::unexpected(last_pipe_error());
  }

  platform::UniqueFd writer(::fcntl(reader.get(), F_DUPFD_CLOEXEC, 0));
  if (!writer.valid()) return tl::unexpected(PipeError::io(platform::last_os_error()));
  return std::make_unique<SocketStream>(std::move(reader), std::move(writer));
}

}  // namespace ketterlin::helper
