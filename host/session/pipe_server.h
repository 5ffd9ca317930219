// The host's end of the helper's pipe: a listening endpoint that admits only the current user
// (and administrators), one accepted connection, and byte-stream reads and writes on it.
// pipe_server_posix.cpp: a Unix-domain stream socket in a fresh private directory (mkdtemp, mode
// 0700), removed with the server. pipe_server_win32.cpp: a named pipe
// \\.\pipe\ketterlin-scan-<random> created with FILE_FLAG_FIRST_PIPE_INSTANCE and a security
// descriptor that grants access to the current user and the Administrators group only.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include <tl/expected.hpp>

#include "host/host_error.h"
#include "platform/os_error.h"
#include "platform/os_string.h"

namespace ketterlin::host {

// One accepted connection. Owned: the destructor closes it. One thread at a time.
class HelperConnection {
 public:
  HelperConnection(HelperConnection&&) noexcept;
  HelperConnection& operator=(HelperConnection&&) noexcept;
  ~HelperConnection();

  // Writes every byte of `bytes`, retrying short and interrupted writes. A peer that has gone
  // gives EPIPE / ERROR_NO_DATA, never a signal.
  [[nodiscard]] tl::expected<void, platform::OsError> write_all(std::string_view bytes);

  // Waits until bytes arrive and stores up to `size` of them: their count, or 0 at the end of
  // the stream (the helper closed its end or exited). An interrupt (system.h) ends the wait with
  // EINTR (ERROR_OPERATION_ABORTED on Windows).
  [[nodiscard]] tl::expected<std::size_t, platform::OsError> read_some(char* buffer,
                                                                       std::size_t size);

  struct State;  // the platform's handle
  explicit HelperConnection(std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
};

class PipeServer {
 public:
  // Creates the listening endpoint. Fails with EndpointFailed naming the failed step.
  [[nodiscard]] static tl::expected<PipeServer, HostError> create();

  PipeServer(PipeServer&&) noexcept;
  PipeServer& operator=(PipeServer&&) noexcept;
  ~PipeServer();  // closes the endpoint and removes what create made

  // The name to pass after --pipe: the socket's path, or the pipe's full name.
  const platform::OsString& name() const;

  // Waits for the helper's connection for at most `time_limit`, calling `keep_waiting` about
  // every 50 ms. Returns the connection; nullopt when `keep_waiting` answered false (the helper
  // has exited, say) or an interrupt (system.h) arrived, and nobody had connected; ConnectTimedOut
  // when the time ran out; and EndpointFailed when waiting itself failed. Call at most once.
  [[nodiscard]] tl::expected<std::optional<HelperConnection>, HostError> accept(
      std::chrono::milliseconds time_limit, const std::function<bool()>& keep_waiting);

  struct State;

 private:
  explicit PipeServer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace ketterlin::host
