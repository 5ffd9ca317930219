// The helper's one link to the host: a client connection to the named pipe the host created,
// carrying newline-terminated UTF-8 JSON frames. One frame comes in (the host's request); any
// number go out. pipe.cpp holds the framing, the read buffer and the write batching over the
// PipeStream seam; pipe_win32.cpp opens a Win32 named pipe, pipe_posix.cpp connects to a
// Unix-domain stream socket whose path plays the pipe name.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <tl/expected.hpp>

#include "elevation/protocol.h"
#include "platform/os_error.h"
#include "platform/os_string.h"

namespace ketterlin::helper {

// Size of the buffer the incoming frame is read through.
inline constexpr std::size_t READ_BUFFER_BYTES = 8192;
// The largest incoming frame, its line feed included.
inline constexpr std::size_t MAX_FRAME_BYTES = 4194304;
// How long connecting waits for a free pipe instance.
inline constexpr std::chrono::milliseconds CONNECT_TIMEOUT{10000};
// "treeStart" and "node" frames are gathered into writes of at most this many bytes (a single
// larger frame is written alone): one write per node would cost more than scanning the node.
inline constexpr std::size_t TREE_WRITE_BATCH_BYTES = 65536;

enum class PipeErrorKind : uint8_t {
  Windows,        // a pipe call failed with a system error code
  Io,             // a read or write failed
  FrameTooLarge,  // the incoming frame exceeds MAX_FRAME_BYTES
  Closed,         // the stream ended before any byte of the frame
  Json,           // decoding the request or encoding a message failed
};

// The error of every channel operation. Only the fields of its kind are meaningful.
struct PipeError {
  PipeErrorKind kind = PipeErrorKind::Closed;
  uint32_t windows_code = 0;                  // Windows: the system's code for the failed call
  std::optional<platform::OsError> io_error;  // Io: the system's error; absent when a write
                                              // accepted zero bytes
  elevation::JsonError json_error;            // Json: the decoding or encoding error

  static PipeError windows(uint32_t code);
  static PipeError io(platform::OsError error);
  static PipeError write_zero();
  static PipeError frame_too_large();
  static PipeError closed();
  static PipeError json(elevation::JsonError error);

  friend bool operator==(const PipeError&, const PipeError&) = default;
};

// "named pipe operation failed (N)", the I/O error's text ("<description> (os error N)" or
// "failed to write whole buffer"), "named pipe frame exceeds the size limit", "named pipe closed
// before the next frame", or the JSON error's text.
std::string to_string(const PipeError& error);

// The outcome of one failed read or write call. `interrupted` calls (EINTR) are repeated by the
// channel; any other failure ends the operation with `error`.
struct StreamFailure {
  platform::OsError error;
  bool interrupted = false;
};

// The connected pipe as the channel sees it: a byte stream with one endpoint for reading and one
// for writing. Implemented per platform, and by tests to inject faults.
class PipeStream {
 public:
  virtual ~PipeStream() = default;
  // Reads at most `buffer.size()` bytes (`buffer` is not empty) and returns how many; 0 means
  // the end of the stream (the host closed its writing end).
  [[nodiscard]] virtual tl::expected<std::size_t, StreamFailure> read(std::span<char> buffer) = 0;
  // Writes a prefix of `bytes` (not empty) and returns its length, which may be short or zero.
  // Never raises a signal: a host that has gone away is a failure.
  [[nodiscard]] virtual tl::expected<std::size_t, StreamFailure> write(
      std::span<const char> bytes) = 0;
};

// Opens the platform's pipe named `name` (the full path, used unchanged). Fails with `Windows`
// and the system's code when no pipe of that name can be opened, `Io` when the second handle
// cannot be made.
[[nodiscard]] tl::expected<std::unique_ptr<PipeStream>, PipeError> open_pipe_stream(
    platform::OsStringView name);

// The flags and attributes the Win32 client opens the pipe with: a normal file, and a security
// quality of service that lets the pipe's server identify the (elevated) helper but not
// impersonate it. Without one a client connects at the impersonation level, and whoever created
// the pipe name could act as the administrator. The values are <windows.h>'s, spelled out so that
// the rule can be checked on any system.
constexpr uint32_t windows_pipe_open_flags() {
  constexpr uint32_t kFileAttributeNormal = 0x00000080;
  constexpr uint32_t kSecuritySqosPresent = 0x00100000;
  constexpr uint32_t kSecurityIdentification = 0x00010000;  // SecurityIdentification << 16
  return kFileAttributeNormal | kSecuritySqosPresent | kSecurityIdentification;
}

// The connection, owned by the main thread and used by it alone. Reading goes through a
// READ_BUFFER_BYTES buffer; writing batches tree frames (see send). Dropping the connection
// closes both of the stream's handles exactly once; frames still batched are not written.
class PipeConnection {
 public:
  // Connects to the host's pipe `name` (see open_pipe_stream).
  [[nodiscard]] static tl::expected<PipeConnection, PipeError> connect(platform::OsStringView name);

  // A connection over an already open stream; the connection owns it.
  explicit PipeConnection(std::unique_ptr<PipeStream> stream);

  PipeConnection(PipeConnection&&) noexcept = default;
  PipeConnection& operator=(PipeConnection&&) noexcept = default;

  // Reads the first frame (up to and including the first line feed, or to the end of the stream)
  // and decodes it. `Closed` for an empty stream, `FrameTooLarge` when no line feed comes within
  // MAX_FRAME_BYTES bytes, `Io` for a read error, `Json` for a decoding error. Bytes after the
  // first line feed are never used. Call it once.
  [[nodiscard]] tl::expected<elevation::HostMessage, PipeError> read_host_message();

  // Sends one message as one line. "treeStart" and "node" frames are batched and written when
  // the batch would pass TREE_WRITE_BATCH_BYTES; any other message writes the batch and itself at
  // once. An encoding error (a path that is not valid Unicode) drops the partial frame, writes
  // the frames batched before it and returns `Json`; a write error returns `Io`. After a failed
  // send nothing more is written: every later send returns the first failure again.
  [[nodiscard]] tl::expected<void, PipeError> send(const elevation::HelperMessage& message);

  // How later sends write paths that are not valid Unicode; Strict until the host asks for more.
  void set_path_encoding(elevation::PathEncoding paths) { paths_ = paths; }

 private:
  // The first frame's bytes, at most MAX_FRAME_BYTES + 1 of them (see read_host_message).
  [[nodiscard]] tl::expected<std::string, PipeError> read_frame();
  // Refills the empty read buffer; 0 at the end of the stream.
  [[nodiscard]] tl::expected<std::size_t, PipeError> fill_read_buffer();
  // Writes all of `bytes`, repeating interrupted and short writes.
  [[nodiscard]] tl::expected<void, PipeError> write_all(std::span<const char> bytes);
  // Writes the batch and empties it.
  [[nodiscard]] tl::expected<void, PipeError> flush();
  // Records the first failure of a send, which every later send returns.
  tl::unexpected<PipeError> fail(PipeError error);

  std::unique_ptr<PipeStream> stream_;
  std::vector<char> read_buffer_;  // READ_BUFFER_BYTES; [read_position_, read_fill_) unread
  std::size_t read_position_ = 0;
  std::size_t read_fill_ = 0;
  std::string batch_;  // complete frames not written yet
  std::optional<PipeError> send_failure_;
  elevation::PathEncoding paths_ = elevation::PathEncoding::Strict;
};

}  // namespace ketterlin::helper
