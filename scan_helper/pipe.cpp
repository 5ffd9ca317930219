#include "scan_helper/pipe.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <variant>

namespace ketterlin::helper {

namespace {

PipeError of_kind(PipeErrorKind kind) {
  PipeError error;
  error.kind = kind;
  return error;
}

}  // namespace

PipeError PipeError::windows(uint32_t code) {
  PipeError error = of_kind(PipeErrorKind::Windows);
  error.windows_code = code;
  return error;
}

PipeError PipeError::io(platform::OsError os_error) {
  PipeError error = of_kind(PipeErrorKind::Io);
  error.io_error = os_error;
  return error;
}

PipeError PipeError::write_zero() { return of_kind(PipeErrorKind::Io); }
PipeError PipeError::frame_too_large() { return of_kind(PipeErrorKind::FrameTooLarge); }
PipeError PipeError::closed() { return of_kind(PipeErrorKind::Closed); }

PipeError PipeError::json(elevation::JsonError json_error) {
  PipeError error = of_kind(PipeErrorKind::Json);
  error.json_error = std::move(json_error);
  return error;
}

std::string to_string(const PipeError& error) {
  switch (error.kind) {
    case PipeErrorKind::Windows:
      return "named pipe operation failed (" + std::to_string(error.windows_code) + ")";
    case PipeErrorKind::Io:
      return error.io_error ? platform::to_string(*error.io_error) : "failed to write whole buffer";
    case PipeErrorKind::FrameTooLarge:
      return "named pipe frame exceeds the size limit";
    case PipeErrorKind::Closed:
      return "named pipe closed before the next frame";
    case PipeErrorKind::Json:
      return elevation::to_string(error.json_error);
  }
  return "PipeError(" + std::to_string(static_cast<unsigned>(error.kind)) + ")";
}

tl::expected<PipeConnection, PipeError> PipeConnection::connect(platform::OsStringView name) {
  auto stream = open_pipe_stream(name);
  if (!stream) return tl::unexpected(std::move(stream.error()));
  return PipeConnection(std::move(*stream));
}

PipeConnection::PipeConnection(std::unique_ptr<PipeStream> stream)
    : stream_(std::move(stream)), read_buffer_(READ_BUFFER_BYTES) {}

tl::expected<elevation::HostMessage, PipeError> PipeConnection::read_host_message() {
  auto frame = read_frame();
  if (!frame) return tl::unexpected(std::move(frame.error()));
  auto message = elevation::decode_host_message(*frame);
  if (!message) return tl::unexpected(PipeError::json(std::move(message.error())));
  return std::move(*message);
}

tl::expected<std::string, PipeError> PipeConnection::read_frame() {
  // One byte more than a frame may have tells a frame at the limit from one beyond it.
  constexpr std::size_t kTakeLimit = MAX_FRAME_BYTES + 1;
  std::string frame;
  bool line_ended = false;
  while (!line_ended && frame.size() < kTakeLimit) {
    if (read_position_ == read_fill_) {
      auto filled = fill_read_buffer();
      if (!filled) return tl::unexpected(std::move(filled.error()));
      if (*filled == 0) break;
    }
    const char* begin = read_buffer_.data() + read_position_;
    const std::size_t available = std::min(read_fill_ - read_position_, kTakeLimit - frame.size());
    const void* line_feed = std::memchr(begin, '\n', available);
    line_ended = line_feed != nullptr;
    const std::size_t taken =
        line_ended ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - begin) + 1
                   : available;
    frame.append(begin, taken);
    read_position_ += taken;
  }
  if (frame.empty()) return tl::unexpected(PipeError::closed());
  if (frame.size() > MAX_FRAME_BYTES) return tl::unexpected(PipeError::frame_too_large());
  return frame;
}

tl::expected<std::size_t, PipeError> PipeConnection::fill_read_buffer() {
  for (;;) {
    auto count = stream_->read(read_buffer_);
    if (!count && count.error().interrupted) continue;
    if (!count) return tl::unexpected(PipeError::io(count.error().error));
    read_position_ = 0;
    read_fill_ = *count;
    return *count;
  }
}

tl::expected<void, PipeError> PipeConnection::send(const elevation::HelperMessage& message) {
  if (send_failure_) return tl::unexpected(*send_failure_);
  const std::size_t frame_start = batch_.size();
  auto encoded = elevation::encode(message, batch_, paths_);
  if (!encoded) {
    batch_.resize(frame_start);
    // The frames before this one are whole; the host can still use them.
    (void)flush();
    return fail(PipeError::json(std::move(encoded.error())));
  }
  batch_.push_back('\n');
  if (batch_.size() > TREE_WRITE_BATCH_BYTES && frame_start > 0) {
    // This frame would overfill the batch: the frames before it go out on their own.
    auto written = write_all(std::span(batch_.data(), frame_start));
    if (!written) return fail(std::move(written.error()));
    batch_.erase(0, frame_start);
  }
  const bool tree_frame = std::holds_alternative<elevation::TreeStartMessage>(message) ||
                          std::holds_alternative<elevation::NodeMessage>(message);
  if (tree_frame && batch_.size() < TREE_WRITE_BATCH_BYTES) return {};
  auto flushed = flush();
  if (!flushed) return fail(std::move(flushed.error()));
  return {};
}

tl::expected<void, PipeError> PipeConnection::flush() {
  if (batch_.empty()) return {};
  auto written = write_all(batch_);
  batch_.clear();
  return written;
}

tl::expected<void, PipeError> PipeConnection::write_all(std::span<const char> bytes) {
  while (!bytes.empty()) {
    auto written = stream_->write(bytes);
    if (!written && written.error().interrupted) continue;
    if (!written) return tl::unexpected(PipeError::io(written.error().error));
    if (*written == 0) return tl::unexpected(PipeError::write_zero());
    bytes = bytes.subspan(std::min(*written, bytes.size()));
  }
  return {};
}

tl::unexpected<PipeError> PipeConnection::fail(PipeError error) {
  send_failure_ = error;
  return tl::unexpected(std::move(error));
}

}  // namespace ketterlin::helper
