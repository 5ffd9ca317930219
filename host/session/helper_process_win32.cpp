// The helper on Windows: a child process with captured standard error, or, elevated, a process
// started by ShellExecuteExW with the "runas" verb (the consent prompt), whose standard streams
// cannot be redirected.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "host/session/helper_process.h"
#include "unique_handle.h"

namespace ketterlin::host {

using platform::UniqueHandle;

struct HelperProcess::State {
  std::optional<platform::ChildProcess> child;  // started normally
  UniqueHandle elevated;                        // started through ShellExecuteExW
  std::optional<platform::ExitStatus> collected;
};

namespace {

std::optional<platform::ExitStatus> exit_status_of(HANDLE process) {
  DWORD code = 0;
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) {
    return std::nullopt;
  }
  return platform::ExitStatus{platform::ExitStatus::Kind::Exited, code};
}

tl::expected<HelperProcess, HostError> start_elevated(const HelperLaunch& launch) {
  // The parameters are the command line without the program: the quoting the C runtime undoes.
  const auto whole = platform::windows_command_line(
      launch.helper_path, {platform::from_utf8("--pipe"), launch.pipe_name});
  const auto quoted_program = platform::windows_command_line(launch.helper_path, {});
  if (!whole || !quoted_program) {
    return tl::unexpected(HostError::with_os_error(HostError::Kind::HelperNotStarted,
                                                   platform::to_utf8_lossy(launch.helper_path),
                                                   platform::OsError{ERROR_INVALID_PARAMETER}));
  }
  const std::wstring parameters = whole->substr(quoted_program->size() + 1);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = launch.helper_path.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_HIDE;
  if (!ShellExecuteExW(&info) || info.hProcess == nullptr) {
    return tl::unexpected(HostError::with_os_error(HostError::Kind::HelperNotStarted,
                                                   platform::to_utf8_lossy(launch.helper_path),
                                                   platform::last_os_error()));
  }
  auto state = std::make_unique<HelperProcess::State>();
  state->elevated.reset(info.hProcess);
  return HelperProcess(std::move(state));
}

}  // namespace

HelperProcess::HelperProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}
HelperProcess::HelperProcess(HelperProcess&&) noexcept = default;
HelperProcess& HelperProcess::operator=(HelperProcess&&) noexcept = default;
HelperProcess::~HelperProcess() {
  if (state_ && state_->elevated.valid() && !state_->collected) {
    TerminateProcess(state_->elevated.get(), 1);
  }
}

tl::expected<HelperProcess, HostError> HelperProcess::start(const HelperLaunch& launch) {
  if (launch.elevate) return start_elevated(launch);
  auto child = platform::ChildProcess::start(
      helper_command(launch.helper_path, launch.pipe_name, std::nullopt));
  if (!child) {
    return tl::unexpected(HostError::with_os_error(HostError::Kind::HelperNotStarted,
                                                   platform::to_utf8_lossy(launch.helper_path),
                                                   child.error()));
  }
  auto state = std::make_unique<State>();
  state->child.emplace(std::move(*child));
  return HelperProcess(std::move(state));
}

tl::expected<std::optional<platform::ExitStatus>, platform::OsError> HelperProcess::try_wait() {
  if (state_->child) return state_->child->try_wait();
  if (!state_->collected) state_->collected = exit_status_of(state_->elevated.get());
  return state_->collected;
}

tl::expected<platform::ChildOutput, platform::OsError> HelperProcess::finish(
    std::chrono::milliseconds time_limit) {
  if (state_->child) return state_->child->wait_with_output(time_limit);
  platform::ChildOutput output;
  const DWORD waited =
      WaitForSingleObject(state_->elevated.get(), static_cast<DWORD>(time_limit.count()));
  if (waited == WAIT_TIMEOUT) {
    TerminateProcess(state_->elevated.get(), 1);
    WaitForSingleObject(state_->elevated.get(), INFINITE);
    output.timed_out = true;
  }
  state_->collected = exit_status_of(state_->elevated.get());
  if (!state_->collected) return tl::unexpected(platform::last_os_error());
  output.status = *state_->collected;
  return output;
}

void HelperProcess::kill() {
  if (state_->child) {
    state_->child->kill();
  } else if (!state_->collected) {
    TerminateProcess(state_->elevated.get(), 1);
  }
}

}  // namespace ketterlin::host
