// Child processes: start a program with an argument vector and the parent's environment, connect
// each standard stream to the parent's own, to the null device or to a pipe, feed the input pipe,
// collect the output pipes and wait for the exit status. child_process_posix.cpp uses posix_spawn;
// child_process_win32.cpp uses CreateProcessW with a command line quoted for the C runtime.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include "platform/os_error.h"
#include "platform/os_string.h"

namespace ketterlin::platform {

// What one standard stream of the child is connected to.
enum class StreamSetup : uint8_t {
  Inherit,  // the parent's own stream
  Null,     // the null device
  Pipe,     // a pipe to the parent: input is written with write_input, output is collected by
            // wait_with_output
};

struct ChildProcessOptions {
  OsString program;                 // path of the executable; PATH is not searched
  std::vector<OsString> arguments;  // without the program name, which is passed as argument 0
  StreamSetup standard_input = StreamSetup::Inherit;
  StreamSetup standard_output = StreamSetup::Inherit;
  StreamSetup standard_error = StreamSetup::Inherit;
};

struct ExitStatus {
  enum class Kind : uint8_t {
    Exited,  // `value` is the exit status the child gave
    Killed,  // `value` is the signal that ended it (on Windows: the code given when we killed it)
  };
  Kind kind = Kind::Exited;
  uint32_t value = 0;

  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

// "exited with N" or "killed by N", for test failures and logs.
std::string debug_string(const ExitStatus& status);

struct ChildOutput {
  ExitStatus status;
  std::string standard_output;  // every byte of a piped stream; empty for the other setups
  std::string standard_error;
  bool timed_out = false;  // the time limit passed and the child was killed
};

// One started child. Owned: destroying a ChildProcess whose exit has not been collected kills the
// child and waits for it, and every pipe end is closed. Not thread-safe: one thread at a time. A
// moved-from ChildProcess may only be assigned to or destroyed.
class ChildProcess {
 public:
  // Starts `options.program`. The environment is the parent's, unchanged; on POSIX the child starts
  // with no signal blocked and SIGPIPE at its default action. Fails with the system's
  // error when a pipe cannot be made or the program cannot be started (no such file...), and with
  // EINVAL / ERROR_INVALID_PARAMETER when a string holds a zero character.
  [[nodiscard]] static tl::expected<ChildProcess, OsError> start(
      const ChildProcessOptions& options);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Writes all of `data` to the child's standard input (StreamSetup::Pipe only, else EBADF /
  // ERROR_INVALID_HANDLE). A child that no longer reads gives EPIPE / ERROR_NO_DATA, never a
  // signal.
  [[nodiscard]] tl::expected<void, OsError> write_input(std::string_view data);

  // Closes the parent's end of the input pipe: the child then reads the end of its input.
  void close_input();

  // The exit status when the child has ended (collecting it), nullopt while it still runs. Does
  // not block.
  [[nodiscard]] tl::expected<std::optional<ExitStatus>, OsError> try_wait();

  // Closes the input pipe, reads both output pipes until the child closes them (at once, so that
  // neither fills up and blocks it), then waits for the exit. When `time_limit` passes first the
  // child is killed, what was read so far is kept and `timed_out` is set.
  [[nodiscard]] tl::expected<ChildOutput, OsError> wait_with_output(
      std::optional<std::chrono::milliseconds> time_limit = std::nullopt);

  // Kills the child if it still runs (SIGKILL / TerminateProcess); does not wait for it.
  void kill();

 private:
  struct State;  // the platform's handles, defined in the platform's file
  explicit ChildProcess(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The Windows command line that gives back exactly `program` and `arguments` when the C runtime
// (or CommandLineToArgvW) splits it: the program between quotation marks (argument 0 is split
// without backslash escapes), then each argument separated by one blank, written as it is when it
// is not empty and holds no blank, tab, line feed, vertical tab or quotation mark, otherwise
// between quotation marks with each quotation mark escaped by a backslash and the backslashes
// before it, or before the closing mark, doubled. nullopt when the program holds a quotation mark
// or any string holds a zero character: neither can be passed.
std::optional<OsString> windows_command_line(OsStringView program,
                                             const std::vector<OsString>& arguments);

}  // namespace ketterlin::platform
