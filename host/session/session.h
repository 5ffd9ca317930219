// The host's reading of one helper run: the byte stream split into lines, each line decoded, and
// the messages checked against the order the helper promises:
//   - targets are reported strictly one after another, in request order: progress events, then
//     either a tree (treeStart, node..., treeEnd) or targetUnavailable;
//   - nothing but nodes comes between a treeStart and its treeEnd;
//   - "complete" comes once every target has been reported; "failure" may come at any point;
//     either one ends the run, and nothing may follow it.
// Every tree is rebuilt as its nodes arrive (TreeBuilder); the first problem ends the reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include "elevation/message_decoder.h"
#include "host/host_error.h"
#include "host/session/result_tree.h"

namespace ketterlin::host {

// A well-formed message that comes at the wrong moment.
struct SequenceProblem {
  enum class Kind : uint8_t {
    TargetOutOfRange,       // `target` is not an index of the request's targets
    TargetAlreadyReported,  // a message for `target`, whose report has ended
    TargetSkipped,          // a message for `target` while `other` has not been reported
    NodeOutsideTree,        // a node for `target` outside a treeStart ... treeEnd
    TreeEndWithoutStart,    // a treeEnd for `target` with no tree open
    InsideTree,             // a message other than a node inside the tree of `target`
    CompleteTooEarly,       // "complete" when only `other` of `target` targets were reported
    AfterEnd,               // a message after "complete" or "failure"
  };
  Kind kind = Kind::AfterEnd;
  uint64_t target = 0;
  uint64_t other = 0;

  friend bool operator==(const SequenceProblem&, const SequenceProblem&) = default;
};

std::string to_string(const SequenceProblem& problem);

// Counters of the last progress event of a target.
struct ProgressCounters {
  uint64_t files_discovered = 0;
  uint64_t folders_discovered = 0;
  uint64_t bytes_measured = 0;
  uint64_t inaccessible_item_count = 0;
  uint64_t elapsed_millis = 0;
  elevation::ProgressStatus status = elevation::ProgressStatus::Queued;
};

struct TargetReport {
  enum class State : uint8_t { Pending, Scanned, Unavailable };
  State state = State::Pending;
  std::optional<storage::FileSystemKind> file_system;  // from treeStart
  std::optional<ResultTree> tree;                      // when Scanned
  std::optional<ProgressCounters> last_progress;
};

enum class RunEnd : uint8_t {
  Open,      // neither "complete" nor "failure" yet
  Complete,  // "complete" arrived
  Failed,    // "failure" arrived; see failure_message()
};

class ProtocolReader {
 public:
  // Called for every progress event, on the thread that feeds; the views in it are valid only
  // during the call.
  using ProgressCallback = std::function<void(const elevation::DecodedProgress&)>;
  static constexpr std::size_t kDefaultMaxLineBytes = std::size_t{64} << 20;

  ProtocolReader(std::size_t target_count, PathStyle style, ProgressCallback on_progress,
                 std::size_t max_line_bytes = kDefaultMaxLineBytes);

  // Takes the next bytes of the stream; a line may be split anywhere between calls. Fails at the
  // first malformed line (MalformedMessage), message out of order or tree problem
  // (ProtocolViolation) or line over the limit (LineTooLong); after a failure, feed must not be
  // called again.
  [[nodiscard]] tl::expected<void, HostError> feed(std::string_view bytes);

  // The stream has ended: fails with UnterminatedLine when bytes after the last line feed are
  // left. Whether the run ended properly is end()'s business.
  [[nodiscard]] tl::expected<void, HostError> end_of_stream() const;

  RunEnd end() const { return end_; }
  const std::string& failure_message() const { return failure_message_; }
  uint64_t lines_read() const { return lines_read_; }
  const std::vector<TargetReport>& targets() const { return targets_; }
  std::vector<TargetReport> take_targets() { return std::move(targets_); }
  const elevation::MessageDecoder& decoder() const { return decoder_; }

 private:
  tl::expected<void, HostError> line(std::string_view text);
  // `applied` (the outcome of applying the last line) as the outcome of reading it.
  tl::expected<void, HostError> applied_on_line(
      const tl::expected<void, std::string>& applied) const;
  tl::expected<void, std::string> apply(const elevation::DecodedMessage& event);
  tl::expected<void, std::string> apply(const elevation::DecodedNodeMessage& event);
  tl::expected<void, std::string> check_target(uint64_t target, bool in_tree_allowed);
  tl::expected<void, std::string> tree_start(const elevation::TreeStartMessage& event);
  tl::expected<void, std::string> node(const elevation::DecodedNodeMessage& event);
  tl::expected<void, std::string> tree_end(uint64_t target);

  elevation::MessageDecoder decoder_;
  elevation::DecodedNodeMessage node_line_;  // the node line being read, decoded by the fast path
  std::vector<TargetReport> targets_;
  std::size_t current_ = 0;               // the first target not yet reported
  std::optional<TreeBuilder> open_tree_;  // between treeStart and treeEnd of target current_
  PathStyle style_;
  ProgressCallback on_progress_;
  std::size_t max_line_bytes_;
  std::string partial_;  // bytes after the last line feed
  uint64_t lines_read_ = 0;
  RunEnd end_ = RunEnd::Open;
  std::string failure_message_;
};

}  // namespace ketterlin::host
