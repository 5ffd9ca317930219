// The pipe on POSIX: a Unix-domain stream socket named <private directory>/pipe. The directory
// is made by mkdtemp (mode 0700), so only its owner and root can reach the socket.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "host/cli/interrupt_posix.h"
#include "host/session/pipe_server.h"
#include "unique_fd.h"

namespace ketterlin::host {

using platform::UniqueFd;
using Clock = std::chrono::steady_clock;

struct HelperConnection::State {
  UniqueFd socket;
};

struct PipeServer::State {
  std::string directory;
  platform::OsString socket_path;
  UniqueFd listener;

  ~State() {
    listener.reset();
    if (!socket_path.empty()) ::unlink(socket_path.c_str());
    if (!directory.empty()) ::rmdir(directory.c_str());
  }
};

namespace {

HostError endpoint_failed(std::string step) {
  return HostError::with_os_error(HostError::Kind::EndpointFailed, std::move(step),
                                  platform::last_os_error());
}

// A private directory for the socket: under the temporary directory when the socket's path fits
// in sockaddr_un there, else under /tmp.
tl::expected<std::string, HostError> make_private_directory() {
  std::error_code ignored;
  std::string base = std::filesystem::temp_directory_path(ignored).string();
  constexpr std::size_t kRoom =
      sizeof(sockaddr_un{}.sun_path) - sizeof("/ketterlin-scan-XXXXXX/pipe");
  if (base.empty() || base.size() > kRoom) base = "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string pattern = base + "/ketterlin-scan-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return tl::unexpected(endpoint_failed("mkdtemp"));
  return pattern;
}

}  // namespace

HelperConnection::HelperConnection(std::unique_ptr<State> state) : state_(std::move(state)) {}
HelperConnection::HelperConnection(HelperConnection&&) noexcept = default;
HelperConnection& HelperConnection::operator=(HelperConnection&&) noexcept = default;
HelperConnection::~HelperConnection() = default;

tl::expected<void, platform::OsError> HelperConnection::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::send(state_->socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return tl::unexpected(platform::last_os_error());
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

tl::expected<std::size_t, platform::OsError> HelperConnection::read_some(char* buffer,
                                                                         std::size_t size) {
  for (;;) {
    // Waits for the socket or an interrupt: an interrupt ends the wait with EINTR even when the
    // signal arrived before the wait began (the self-pipe stays readable).
    pollfd watched[2] = {{state_->socket.get(), POLLIN, 0}, {interrupt_descriptor(), POLLIN, 0}};
    const int ready = ::poll(watched, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return tl::unexpected(platform::last_os_error());
    if (watched[1].revents != 0) return tl::unexpected(platform::OsError{EINTR});
    const ssize_t count = ::recv(state_->socket.get(), buffer, size, 0);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno == EINTR) continue;
    // A helper that exits with our request bytes unread resets the connection: its end.
    if (errno == ECONNRESET) return 0;
    return tl::unexpected(platform::last_os_error());
  }
}

PipeServer::PipeServer(std::unique_ptr<State> state) : state_(std::move(state)) {}
PipeServer::PipeServer(PipeServer&&) noexcept = default;
PipeServer& PipeServer::operator=(PipeServer&&) noexcept = default;
PipeServer::~PipeServer() = default;

const platform::OsString& PipeServer::name() const { return state_->socket_path; }

tl::expected<PipeServer, HostError> PipeServer::create() {
  auto state = std::make_unique<State>();
  auto directory = make_private_directory();
  if (!directory) return tl::unexpected(std::move(directory.error()));
  state->directory = *directory;
  const std::string path = *directory + "/pipe";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path.data(), path.size());  // fits: checked for the directory
  state->listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!state->listener.valid()) return tl::unexpected(endpoint_failed("socket"));
  if (::bind(state->listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address)) {
    return tl::unexpected(endpoint_failed("bind"));
  }
  state->socket_path = path;
  if (::listen(state->listener.get(), 1) != 0) return tl::unexpected(endpoint_failed("listen"));
  return PipeServer(std::move(state));
}

tl::expected<std::optional<HelperConnection>, HostError> PipeServer::accept(
    std::chrono::milliseconds time_limit, const std::function<bool()>& keep_waiting) {
  const Clock::time_point deadline = Clock::now() + time_limit;
  for (;;) {
    pollfd watched[2] = {{state_->listener.get(), POLLIN, 0}, {interrupt_descriptor(), POLLIN, 0}};
    const int ready = ::poll(watched, 2, 50);
    if (ready < 0 && errno != EINTR) return tl::unexpected(endpoint_failed("poll"));
    if (ready > 0 && watched[1].revents != 0) return std::optional<HelperConnection>();
    if (ready > 0) {
      UniqueFd socket(::accept4(state_->listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!socket.valid()) return tl::unexpected(endpoint_failed("accept"));
      return HelperConnection(
          std::make_unique<HelperConnection::State>(HelperConnection::State{std::move(socket)}));
    }
    if (!keep_waiting()) {
      // The helper may have connected just before it exited.
      pollfd last{state_->listener.get(), POLLIN, 0};
      if (::poll(&last, 1, 0) > 0) continue;
      return std::optional<HelperConnection>();
    }
    if (Clock::now() >= deadline) {
      HostError error;
      error.kind = HostError::Kind::ConnectTimedOut;
      error.number = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::seconds>(time_limit).count());
      return tl::unexpected(std::move(error));
    }
  }
}

}  // namespace ketterlin::host
