// Starting the helper and collecting how it ended. The helper gets `--pipe <name>`, the null
// device as standard output and a pipe as standard error, whose text the host reports when the
// helper fails. With elevation: on POSIX the command is prefixed with sudo (or pkexec) unless the
// host already runs as root, and standard input stays the terminal's so that sudo can ask for a
// password; on Windows the helper is started through ShellExecuteExW with the "runas" verb, which
// gives no access to its standard error.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "host/host_error.h"
#include "platform/child_process.h"
#include "platform/os_string.h"

namespace ketterlin::host {

struct HelperLaunch {
  platform::OsString helper_path;
  platform::OsString pipe_name;
  bool elevate = false;
};

// The command that runs `helper_path --pipe <pipe_name>`, prefixed with `elevator` (the full
// path of sudo or pkexec) when one is given. Standard input is the null device unless an
// elevator may need the terminal.
platform::ChildProcessOptions helper_command(const platform::OsString& helper_path,
                                             const platform::OsString& pipe_name,
                                             const std::optional<platform::OsString>& elevator);

// A started helper. Owned: destroying it before its exit was collected kills it.
class HelperProcess {
 public:
  // Starts the helper. Fails with HelperNotStarted (the program could not be started) or
  // ElevationUnavailable.
  [[nodiscard]] static tl::expected<HelperProcess, HostError> start(const HelperLaunch& launch);

  HelperProcess(HelperProcess&&) noexcept;
  HelperProcess& operator=(HelperProcess&&) noexcept;
  ~HelperProcess();

  // The exit status when the helper has ended, nullopt while it runs. Does not block.
  [[nodiscard]] tl::expected<std::optional<platform::ExitStatus>, platform::OsError> try_wait();

  // Waits for the exit (killing the helper when `time_limit` passes first) and collects its
  // standard error (empty when it could not be captured).
  [[nodiscard]] tl::expected<platform::ChildOutput, platform::OsError> finish(
      std::chrono::milliseconds time_limit);

  // Kills the helper if it still runs; does not wait.
  void kill();

  struct State;
  explicit HelperProcess(std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
};

}  // namespace ketterlin::host
