#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>

#include "platform/child_process.h"
#include "unique_fd.h"

extern char** environ;

namespace ketterlin::platform {

struct ChildProcess::State {
  pid_t pid = -1;
  std::optional<ExitStatus> status;  // set once the child has been reaped
  UniqueFd input;                    // the parent's ends of the piped streams
  UniqueFd output;
  UniqueFd error;
};

namespace {

using Clock = std::chrono::steady_clock;

ExitStatus exit_status_from(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return {ExitStatus::Kind::Killed, static_cast<uint32_t>(WTERMSIG(wait_status))};
  }
  return {ExitStatus::Kind::Exited, static_cast<uint32_t>(WEXITSTATUS(wait_status))};
}

// posix_spawn's file actions, destroyed on every path.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Arranges the child's descriptor `target` (0, 1 or 2) as `setup` says. For a pipe, `parent_end`
// receives the parent's end and `child_end` the end that the child gets as `target`; both are
// close-on-exec, so the child keeps only its dup2 copy.
tl::expected<void, OsError> arrange_stream(int target, StreamSetup setup, SpawnActions& actions,
                                           UniqueFd& parent_end, UniqueFd& child_end) {
  int result = 0;
  if (setup == StreamSetup::Null) {
    const int flags = target == STDIN_FILENO ? O_RDONLY : O_WRONLY;
    result = posix_spawn_file_actions_addopen(actions.get(), target, "/dev/null", flags, 0);
  } else if (setup == StreamSetup::Pipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return tl::unexpected(last_os_error());
    const bool is_input = target == STDIN_FILENO;
    parent_end.reset(is_input ? ends[1] : ends[0]);
    child_end.reset(is_input ? ends[0] : ends[1]);
    result = posix_spawn_file_actions_adddup2(actions.get(), child_end.get(), target);
  }
  if (result != 0) return tl::unexpected(OsError{static_cast<uint32_t>(result)});
  return {};
}

bool holds_zero(OsStringView text) { return text.find('\0') != OsStringView::npos; }

// Reads what `fd` has now into `out`; closes it at the end of the stream or on an error.
void drain_ready(UniqueFd& fd, std::string& out) {
  std::array<char, 65536> buffer;
  const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (count <= 0) {
    fd.reset();
    return;
  }
  out.append(buffer.data(), static_cast<std::size_t>(count));
}

// posix_spawn's attributes: the child starts with no signal blocked and SIGPIPE at its default
// action, whatever this process has set for itself.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes_, &signals);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes_, &signals);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}
ChildProcess::ChildProcess(ChildProcess&& other) noexcept = default;

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    ChildProcess discarded(std::move(*this));
    state_ = std::move(other.state_);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (!state_ || state_->status) return;
  ::kill(state_->pid, SIGKILL);
  int wait_status = 0;
  while (waitpid(state_->pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
}

tl::expected<ChildProcess, OsError> ChildProcess::start(const ChildProcessOptions& options) {
  if (holds_zero(options.program)) return tl::unexpected(OsError{EINVAL});
  for (const OsString& argument : options.arguments) {
    if (holds_zero(argument)) return tl::unexpected(OsError{EINVAL});
  }
  auto state = std::make_unique<State>();
  SpawnActions actions;
  std::array<UniqueFd, 3> child_ends;
  const std::array<std::pair<StreamSetup, UniqueFd*>, 3> streams = {{
      {options.standard_input, &state->input},
      {options.standard_output, &state->output},
      {options.standard_error, &state->error},
  }};
  for (int target = 0; target < 3; ++target) {
    auto arranged = arrange_stream(target, streams[target].first, actions, *streams[target].second,
                                   child_ends[target]);
    if (!arranged) return tl::unexpected(arranged.error());
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(options.program.c_str()));
  for (const OsString& argument : options.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const SpawnAttributes attributes;
  const int result = posix_spawn(&state->pid, options.program.c_str(), actions.get(),
                                 attributes.get(), argv.data(), environ);
  if (result != 0) return tl::unexpected(OsError{static_cast<uint32_t>(result)});
  return ChildProcess(std::move(state));
}

tl::expected<void, OsError> ChildProcess::write_input(std::string_view data) {
  if (!state_->input.valid()) return tl::unexpected(OsError{EBADF});
  // A pipe whose reader has gone raises SIGPIPE: block it on this thread for the write and take
  // back the one the write raised, so the failure stays an error value.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigset_t previous_mask;
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous_mask);
  sigset_t pending;
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  std::optional<OsError> failure;
  while (!data.empty()) {
    const ssize_t written = ::write(state_->input.get(), data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      failure = last_os_error();
      break;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  if (failure && failure->code == EPIPE && !was_pending) {
    const timespec no_wait{};
    while (sigtimedwait(&pipe_signal, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  if (failure) return tl::unexpected(*failure);
  return {};
}

void ChildProcess::close_input() { state_->input.reset(); }

tl::expected<std::optional<ExitStatus>, OsError> ChildProcess::try_wait() {
  if (state_->status) return state_->status;
  int wait_status = 0;
  pid_t reaped = 0;
  do {
    reaped = waitpid(state_->pid, &wait_status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped < 0) return tl::unexpected(last_os_error());
  if (reaped == 0) return std::nullopt;
  state_->status = exit_status_from(wait_status);
  return state_->status;
}

tl::expected<ChildOutput, OsError> ChildProcess::wait_with_output(
    std::optional<std::chrono::milliseconds> time_limit) {
  close_input();
  ChildOutput result;
  const auto deadline = time_limit ? std::optional(Clock::now() + *time_limit) : std::nullopt;
  while (state_->output.valid() || state_->error.valid()) {
    std::array<pollfd, 2> watched = {
        {{state_->output.get(), POLLIN, 0}, {state_->error.get(), POLLIN, 0}}};
    int timeout_ms = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      timeout_ms = static_cast<int>(std::max<int64_t>(left.count(), 0));
    }
    const int ready = poll(watched.data(), watched.size(), timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return tl::unexpected(last_os_error());
    if (ready == 0) {
      kill();
      result.timed_out = true;
      break;
    }
    if (watched[0].revents != 0) drain_ready(state_->output, result.standard_output);
    if (watched[1].revents != 0) drain_ready(state_->error, result.standard_error);
  }
  state_->output.reset();
  state_->error.reset();
  if (!state_->status) {
    int wait_status = 0;
    while (waitpid(state_->pid, &wait_status, 0) < 0) {
      if (errno != EINTR) return tl::unexpected(last_os_error());
    }
    state_->status = exit_status_from(wait_status);
  }
  result.status = *state_->status;
  return result;
}

void ChildProcess::kill() {
  if (state_ && !state_->status) ::kill(state_->pid, SIGKILL);
}

}  // namespace ketterlin::platform
