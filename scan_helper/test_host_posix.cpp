// The test host on POSIX: the pipe is a Unix-domain stream socket in a private directory.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "platform/os_error.h"
#include "scan_helper/message_testing.h"
#include "scan_helper/test_host.h"
#include "unique_fd.h"

namespace ketterlin::helper::testing {

using platform::UniqueFd;
using Clock = std::chrono::steady_clock;

struct TestHost::State {
  std::string directory;
  std::string socket_path;
  UniqueFd listener;
  std::vector<std::string> wrapper;  // see start_through

  ~State() {
    listener.reset();
    if (!socket_path.empty()) ::unlink(socket_path.c_str());
    if (!directory.empty()) ::rmdir(directory.c_str());
  }
};

namespace {

std::string failed(std::string_view step) {
  return std::string(step) + ": " + platform::to_string(platform::last_os_error());
}

std::chrono::milliseconds time_left(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

// Bounds every blocking send and receive on `fd` by `limit` (at least 1 ms: 0 means forever).
bool set_io_time_limit(int fd, std::chrono::milliseconds limit) {
  const int64_t ms = std::max<int64_t>(limit.count(), 1);
  timeval value{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) == 0;
}

// Accepts a connection that is already waiting on `listener`, if one is.
UniqueFd accept_waiting(int listener, int wait_ms) {
  pollfd watched{listener, POLLIN, 0};
  if (poll(&watched, 1, wait_ms) <= 0) return UniqueFd();
  return UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

// Waits until the helper connects (the connection) or exits or the deadline passes (no
// connection; `timed_out` tells which).
UniqueFd await_connection(int listener, platform::ChildProcess& helper, Clock::time_point deadline,
                          bool& timed_out) {
  for (;;) {
    UniqueFd connection = accept_waiting(listener, 20);
    if (connection.valid()) return connection;
    auto exited = helper.try_wait();
    if (!exited || *exited) return accept_waiting(listener, 0);  // it may have connected last
    if (Clock::now() >= deadline) {
      timed_out = true;
      return UniqueFd();
    }
  }
}

// Writes `bytes` in chunks; stops quietly when the helper no longer reads (it may have stopped
// reading on purpose, e.g. at the frame limit).
void write_request(int fd, std::string_view bytes, std::size_t chunk_bytes) {
  while (!bytes.empty()) {
    const std::size_t chunk = chunk_bytes == 0 ? bytes.size() : std::min(chunk_bytes, bytes.size());
    const ssize_t written = ::send(fd, bytes.data(), chunk, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Reads until the end of the stream, or until a whole line contains `stop_line` when it is not
// empty. A reset (the helper closed with request bytes unread) ends the stream too; the receive
// time limit sets `timed_out`.
std::string read_to_end(int fd, std::string_view stop_line, bool& timed_out) {
  std::string received;
  std::size_t line_start = 0;
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) timed_out = true;
    if (count <= 0) return received;
    received.append(buffer, static_cast<std::size_t>(count));
    if (!stop_line.empty() && line_arrived(received, line_start, stop_line)) return received;
  }
}

}  // namespace

TestHost::TestHost(std::unique_ptr<State> state) : state_(std::move(state)) {}
TestHost::TestHost(TestHost&&) noexcept = default;
TestHost& TestHost::operator=(TestHost&&) noexcept = default;
TestHost::~TestHost() = default;

const std::string& TestHost::socket_path() const { return state_->socket_path; }

tl::expected<void, std::string> TestHost::grant_access(uint32_t uid, uint32_t gid) {
  if (::chown(state_->directory.c_str(), uid, gid) != 0) return tl::unexpected(failed("chown"));
  if (::chown(state_->socket_path.c_str(), uid, gid) != 0) return tl::unexpected(failed("chown"));
  return {};
}

void TestHost::start_through(std::vector<std::string> wrapper) {
  state_->wrapper = std::move(wrapper);
}

tl::expected<TestHost, std::string> TestHost::create() {
  auto state = std::make_unique<State>();
  std::error_code ignored;
  std::string pattern = std::filesystem::temp_directory_path(ignored).string();
  if (pattern.empty()) pattern = "/tmp";
  pattern += "/ketterlin-host-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return tl::unexpected(failed("mkdtemp"));  // mode 0700
  state->directory = pattern;
  const std::string path = pattern + "/pipe";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path)
    return tl::unexpected("socket path too long: " + path);
  memcpy(address.sun_path, path.data(), path.size());
  state->listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!state->listener.valid()) return tl::unexpected(failed("socket"));
  if (::bind(state->listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address)) {
    return tl::unexpected(failed("bind"));
  }
  state->socket_path = path;
  if (::listen(state->listener.get(), 4) != 0) return tl::unexpected(failed("listen"));
  return TestHost(std::move(state));
}

tl::expected<HostRun, std::string> TestHost::run(const std::string& helper_path,
                                                 const std::vector<std::string>& arguments,
                                                 const HostScript& script,
                                                 std::chrono::milliseconds time_limit) {
  const Clock::time_point deadline = Clock::now() + time_limit;
  std::string program = helper_path;
  std::vector<std::string> program_arguments = arguments;
  if (!state_->wrapper.empty()) {
    program = state_->wrapper.front();
    program_arguments.assign(state_->wrapper.begin() + 1, state_->wrapper.end());
    program_arguments.push_back(helper_path);
    program_arguments.insert(program_arguments.end(), arguments.begin(), arguments.end());
  }
  auto helper = platform::ChildProcess::start({.program = program,
                                               .arguments = program_arguments,
                                               .standard_input = platform::StreamSetup::Null,
                                               .standard_output = platform::StreamSetup::Pipe,
                                               .standard_error = platform::StreamSetup::Pipe});
  if (!helper) return tl::unexpected("starting the helper: " + platform::to_string(helper.error()));
  HostRun run;
  UniqueFd connection = await_connection(state_->listener.get(), *helper, deadline, run.timed_out);
  run.connected = connection.valid();
  if (run.connected) {
    if (!set_io_time_limit(connection.get(), time_left(deadline))) {
      return tl::unexpected(failed("setsockopt"));
    }
    if (script.after_write == HostScript::AfterWrite::Close) {
      // Refuse the helper's writes from the start, so that they fail as after the close
      // below however fast the helper answers.
      ::shutdown(connection.get(), SHUT_RD);
    }
    write_request(connection.get(), script.request, script.write_chunk_bytes);
    if (script.after_write == HostScript::AfterWrite::ShutdownWrite) {
      ::shutdown(connection.get(), SHUT_WR);
    }
    if (script.after_write == HostScript::AfterWrite::Close) connection.reset();
    if (connection.valid()) {
      run.received =
          read_to_end(connection.get(), script.close_after_line_containing, run.timed_out);
    }
    connection.reset();
  }
  if (run.timed_out) helper->kill();
  auto output = helper->wait_with_output(time_left(deadline));
  if (!output)
    return tl::unexpected("waiting for the helper: " + platform::to_string(output.error()));
  run.lines = split_lines(run.received);
  run.status = output->status;
  run.standard_output = std::move(output->standard_output);
  run.standard_error = std::move(output->standard_error);
  run.timed_out = run.timed_out || output->timed_out;
  return run;
}

}  // namespace ketterlin::helper::testing
