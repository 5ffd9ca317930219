// A test host for end-to-end tests of the real helper binary: it plays the analyser's side of the
// pipe (on POSIX a listening Unix-domain socket in a fresh private directory), starts the helper
// with the arguments a test gives, writes the request bytes once the helper has connected, reads
// every byte the helper sends until the end of the stream, and collects the helper's exit status,
// standard output and standard error. A helper that hangs is killed when the time limit passes.
// Test-only code; not part of the helper.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include "platform/child_process.h"

namespace ketterlin::helper::testing {

// What the host does once the helper has connected.
struct HostScript {
  enum class AfterWrite : uint8_t {
    KeepOpen,       // keep both directions open and read until the helper closes
    ShutdownWrite,  // close the host's writing direction, then read
    Close,          // close the connection without reading
  };
  std::string request;                // bytes written first (may be empty)
  std::size_t write_chunk_bytes = 0;  // 0: one write; n: writes of at most n bytes each
  AfterWrite after_write = AfterWrite::KeepOpen;
  // When not empty: while reading, the host closes the connection as soon as a whole line it
  // received contains this text, and reads nothing more (a host that goes away mid-run).
  std::string close_after_line_containing{};
};

struct HostRun {
  bool connected = false;          // the helper connected to the host's socket
  std::string received;            // every byte the helper sent
  std::vector<std::string> lines;  // `received` split at line feeds (see split_lines)
  platform::ExitStatus status;
  std::string standard_output;
  std::string standard_error;
  bool timed_out = false;  // the time limit passed and the helper was killed
};

// `bytes` split at each line feed, line feeds removed; a last piece without a line feed is kept
// as the last line, and no empty line is made after a final line feed.
std::vector<std::string> split_lines(std::string_view bytes);

class TestHost {
 public:
  // Creates a fresh private directory (mode 0700) in the system's temporary directory with a
  // listening socket in it. Fails with a description of the failed step.
  [[nodiscard]] static tl::expected<TestHost, std::string> create();

  TestHost(TestHost&&) noexcept;
  TestHost& operator=(TestHost&&) noexcept;
  ~TestHost();  // closes the socket and removes it and the directory

  // The path the helper is given as its pipe name.
  const std::string& socket_path() const;

  // Hands the socket's directory and the socket to user `uid` and group `gid`, so that a helper
  // running as that user can connect. Fails with a description of the failed step.
  [[nodiscard]] tl::expected<void, std::string> grant_access(uint32_t uid, uint32_t gid);

  // Starts every later helper through `wrapper`: a program's full path and its leading arguments,
  // followed by the helper's path and arguments (e.g. setpriv and the user to become). Empty: the
  // helper is started directly.
  void start_through(std::vector<std::string> wrapper);

  // Starts the helper at `helper_path` with `arguments` (standard input the null device, its
  // outputs captured), waits for it to connect or to exit, plays `script`, reads until the end of
  // the stream and waits for the exit. Everything happens within `time_limit`. Fails only when
  // the host itself cannot work (the helper cannot be started, a socket call fails).
  [[nodiscard]] tl::expected<HostRun, std::string> run(
      const std::string& helper_path, const std::vector<std::string>& arguments,
      const HostScript& script, std::chrono::milliseconds time_limit = std::chrono::seconds(30));

 private:
  struct State;
  explicit TestHost(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace ketterlin::helper::testing
