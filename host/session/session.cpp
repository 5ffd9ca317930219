#include "host/session/session.h"

#include <utility>

namespace ketterlin::host {

std::string to_string(const SequenceProblem& problem) {
  using Kind = SequenceProblem::Kind;
  const std::string target = std::to_string(problem.target);
  const std::string other = std::to_string(problem.other);
  switch (problem.kind) {
    case Kind::TargetOutOfRange:
      return "target " + target + " is not in the request";
    case Kind::TargetAlreadyReported:
      return "message for target " + target + " after its report ended";
    case Kind::TargetSkipped:
      return "message for target " + target + " before target " + other + " was reported";
    case Kind::NodeOutsideTree:
      return "node for target " + target + " outside its tree";
    case Kind::TreeEndWithoutStart:
      return "treeEnd for target " + target + " without a treeStart";
    case Kind::InsideTree:
      return "message other than a node inside the tree of target " + target;
    case Kind::CompleteTooEarly:
      return "\"complete\" after only " + other + " of " + target + " targets were reported";
    case Kind::AfterEnd:
      return "message after the end of the run";
  }
  return "SequenceProblem(" + std::to_string(static_cast<unsigned>(problem.kind)) + ")";
}

namespace {

tl::unexpected<std::string> problem(SequenceProblem::Kind kind, uint64_t target,
                                    uint64_t other = 0) {
  return tl::unexpected(to_string(SequenceProblem{kind, target, other}));
}

}  // namespace

ProtocolReader::ProtocolReader(std::size_t target_count, PathStyle style,
                               ProgressCallback on_progress, std::size_t max_line_bytes)
    : decoder_(style == PathStyle::Windows ? elevation::LoneSurrogates::Units
                                           : elevation::LoneSurrogates::Bytes),
      targets_(target_count),
      style_(style),
      on_progress_(std::move(on_progress)),
      max_line_bytes_(max_line_bytes) {}

tl::expected<void, HostError> ProtocolReader::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    // A node line, nearly every line of a run, is decoded where it lies when it is whole in
    // `bytes`: its end is found by reading it, not by a search before.
    if (partial_.empty()) {
      const auto length = decoder_.decode_compact_node_at(bytes, node_line_);
      if (length && *length <= max_line_bytes_) {
        ++lines_read_;
        if (auto applied = applied_on_line(apply(node_line_)); !applied) return applied;
        bytes.remove_prefix(*length + 1);
        continue;
      }
    }
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      if (partial_.size() + bytes.size() > max_line_bytes_) break;
      partial_.append(bytes);
      return {};
    }
    if (partial_.size() + end > max_line_bytes_) break;
    if (partial_.empty()) {
      if (auto done = line(bytes.substr(0, end)); !done) return done;
    } else {
      partial_.append(bytes.substr(0, end));
      std::string whole = std::move(partial_);
      partial_.clear();
      if (auto done = line(whole); !done) return done;
    }
    bytes.remove_prefix(end + 1);
  }
  if (bytes.empty()) return {};
  HostError error;
  error.kind = HostError::Kind::LineTooLong;
  error.number = max_line_bytes_;
  return tl::unexpected(std::move(error));
}

tl::expected<void, HostError> ProtocolReader::end_of_stream() const {
  if (partial_.empty()) return {};
  HostError error;
  error.kind = HostError::Kind::UnterminatedLine;
  error.number = lines_read_ + 1;
  return tl::unexpected(std::move(error));
}

tl::expected<void, HostError> ProtocolReader::line(std::string_view text) {
  ++lines_read_;
  if (decoder_.decode_compact_node(text, node_line_)) return applied_on_line(apply(node_line_));
  auto event = decoder_.decode(text);
  if (!event) {
    return tl::unexpected(
        HostError::on_line(HostError::Kind::MalformedMessage, lines_read_, event.error()));
  }
  return applied_on_line(apply(*event));
}

tl::expected<void, HostError> ProtocolReader::applied_on_line(
    const tl::expected<void, std::string>& applied) const {
  if (applied) return {};
  return tl::unexpected(
      HostError::on_line(HostError::Kind::ProtocolViolation, lines_read_, applied.error()));
}

// Whether a message about `target` may come now; a message inside an open tree only when
// `in_tree_allowed`.
tl::expected<void, std::string> ProtocolReader::check_target(uint64_t target,
                                                             bool in_tree_allowed) {
  using Kind = SequenceProblem::Kind;
  if (target >= targets_.size()) return problem(Kind::TargetOutOfRange, target);
  if (target < current_) return problem(Kind::TargetAlreadyReported, target);
  if (target > current_) return problem(Kind::TargetSkipped, target, current_);
  if (open_tree_ && !in_tree_allowed) return problem(Kind::InsideTree, target);
  return {};
}

tl::expected<void, std::string> ProtocolReader::apply(const elevation::DecodedNodeMessage& event) {
  if (end_ != RunEnd::Open) return problem(SequenceProblem::Kind::AfterEnd, 0);
  return node(event);
}

tl::expected<void, std::string> ProtocolReader::apply(const elevation::DecodedMessage& event) {
  using Kind = SequenceProblem::Kind;
  if (end_ != RunEnd::Open) return problem(Kind::AfterEnd, 0);
  if (const auto* message = std::get_if<elevation::DecodedEventMessage>(&event)) {
    const elevation::DecodedProgress* progress = &message->progress;
    if (auto allowed = check_target(progress->target_index, false); !allowed) return allowed;
    targets_[current_].last_progress = ProgressCounters{
        progress->files_discovered,        progress->folders_discovered, progress->bytes_measured,
        progress->inaccessible_item_count, progress->elapsed_millis,     progress->status};
    if (on_progress_) on_progress_(*progress);
    return {};
  }
  if (const auto* start = std::get_if<elevation::TreeStartMessage>(&event))
    return tree_start(*start);
  if (const auto* node_event = std::get_if<elevation::DecodedNodeMessage>(&event))
    return apply(*node_event);
  if (const auto* end = std::get_if<elevation::TreeEndMessage>(&event))
    return tree_end(end->target_index);
  if (const auto* unavailable = std::get_if<elevation::TargetUnavailableMessage>(&event)) {
    if (auto allowed = check_target(unavailable->target_index, false); !allowed) return allowed;
    targets_[current_++].state = TargetReport::State::Unavailable;
    return {};
  }
  if (std::holds_alternative<elevation::CompleteMessage>(event)) {
    if (open_tree_) return problem(Kind::InsideTree, current_);
    if (current_ != targets_.size()) {
      return problem(Kind::CompleteTooEarly, targets_.size(), current_);
    }
    end_ = RunEnd::Complete;
    return {};
  }
  // "failure" ends the run wherever it comes.
  failure_message_ = std::string(std::get<elevation::FailureMessage>(event).message);
  end_ = RunEnd::Failed;
  return {};
}

tl::expected<void, std::string> ProtocolReader::tree_start(
    const elevation::TreeStartMessage& event) {
  if (auto allowed = check_target(event.target_index, false); !allowed) return allowed;
  targets_[current_].file_system = event.file_system;
  open_tree_.emplace(style_);
  return {};
}

tl::expected<void, std::string> ProtocolReader::node(const elevation::DecodedNodeMessage& event) {
  if (auto allowed = check_target(event.target_index, true); !allowed) return allowed;
  if (!open_tree_) return problem(SequenceProblem::Kind::NodeOutsideTree, event.target_index);
  auto added = open_tree_->add(event.node);
  if (!added) return tl::unexpected(to_string(added.error()));
  return {};
}

tl::expected<void, std::string> ProtocolReader::tree_end(uint64_t target) {
  if (auto allowed = check_target(target, true); !allowed) return allowed;
  if (!open_tree_) return problem(SequenceProblem::Kind::TreeEndWithoutStart, target);
  auto tree = std::move(*open_tree_).finish();
  open_tree_.reset();
  if (!tree) return tl::unexpected(to_string(tree.error()));
  TargetReport& report = targets_[current_++];
  report.tree = std::move(*tree);
  report.state = TargetReport::State::Scanned;
  return {};
}

}  // namespace ketterlin::host
