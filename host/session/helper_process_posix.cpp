// The helper on POSIX: a child process; elevated through sudo or pkexec found on PATH.
#include "host/cli/system.h"
#include "host/session/helper_process.h"

#include <unistd.h>

namespace ketterlin::host {

struct HelperProcess::State {
  platform::ChildProcess child;
};

HelperProcess::HelperProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}
HelperProcess::HelperProcess(HelperProcess&&) noexcept = default;
HelperProcess& HelperProcess::operator=(HelperProcess&&) noexcept = default;
HelperProcess::~HelperProcess() = default;

tl::expected<HelperProcess, HostError> HelperProcess::start(const HelperLaunch& launch) {
  std::optional<platform::OsString> elevator;
  if (launch.elevate && ::geteuid() != 0) {
    elevator = find_program("sudo");
    if (!elevator) elevator = find_program("pkexec");
    if (!elevator) {
      HostError error;
      error.kind = HostError::Kind::ElevationUnavailable;
      return tl::unexpected(std::move(error));
    }
  }
  auto child =
      platform::ChildProcess::start(helper_command(launch.helper_path, launch.pipe_name, elevator));
  if (!child) {
    return tl::unexpected(HostError::with_os_error(HostError::Kind::HelperNotStarted,
                                                   platform::to_utf8_lossy(launch.helper_path),
                                                   child.error()));
  }
  return HelperProcess(std::make_unique<State>(State{std::move(*child)}));
}

tl::expected<std::optional<platform::ExitStatus>, platform::OsError> HelperProcess::try_wait() {
  return state_->child.try_wait();
}

tl::expected<platform::ChildOutput, platform::OsError> HelperProcess::finish(
    std::chrono::milliseconds time_limit) {
  return state_->child.wait_with_output(time_limit);
}

void HelperProcess::kill() { state_->child.kill(); }

}  // namespace ketterlin::host
