// The helper's messages as compact JSON, written straight from the values into the output
// string: fixed key fragments, decimal integers and escaped strings, no intermediate document.
// The host's one request, written once per run, goes through the JSON library.

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "elevation/json_text.h"
#include "elevation/protocol.h"
#include "platform/panic.h"
#include "platform/unicode.h"

namespace ketterlin::elevation {
namespace {

using namespace std::string_view_literals;

void append_wire(std::string& out, std::string_view word) {
  out.push_back('"');
  out.append(word);
  out.push_back('"');
}

// Free text (not a path): ill-formed UTF-8 is replaced rather than refused, so the host always
// receives valid JSON.
void append_json_text(std::string& out, std::string_view text) {
  if (platform::is_valid_utf8(text)) {
    append_json_string(out, text);
  } else {
    append_json_string(out, platform::utf8_lossy(text));
  }
}

bool append_event(std::string& out, const EventMessage& message, bool lossless) {
  const TargetProgress& progress = message.progress;
  out.append(R"({"type":"event","event":{"type":"progress","targetIndex":)"sv);
  append_json_u64(out, progress.target_index);
  out.append(R"(,"currentPath":)"sv);
  if (!append_json_path(out, progress.current_path, lossless)) return false;
  out.append(R"(,"filesDiscovered":)"sv);
  append_json_u64(out, progress.files_discovered);
  out.append(R"(,"foldersDiscovered":)"sv);
  append_json_u64(out, progress.folders_discovered);
  out.append(R"(,"bytesMeasured":)"sv);
  append_json_u64(out, progress.bytes_measured);
  out.append(R"(,"inaccessibleItemCount":)"sv);
  append_json_u64(out, progress.inaccessible_item_count);
  out.append(R"(,"elapsedMillis":)"sv);
  append_json_u64(out, progress.elapsed_millis);
  out.append(R"(,"status":)"sv);
  append_wire(out, to_wire(progress.status));
  out.append("}}"sv);
  return true;
}

// A bounded stretch of a message written straight into `out`: room for `most` bytes is made at
// once, and what was not used goes back when the piece ends. Each piece's bound is the sum of its
// fixed texts and the widest value of each field (kU64Digits for a number).
class Piece {
 public:
  Piece(std::string& out, std::size_t most) : out_(out) {
    const std::size_t start = out.size();
    out.resize(start + most);
    at_ = out.data() + start;
  }
  ~Piece() { out_.resize(static_cast<std::size_t>(at_ - out_.data())); }
  Piece(const Piece&) = delete;
  Piece& operator=(const Piece&) = delete;

  void text(std::string_view fixed) {
    std::memcpy(at_, fixed.data(), fixed.size());
    at_ += fixed.size();
  }
  void number(uint64_t value) { at_ = std::to_chars(at_, at_ + kU64Digits, value).ptr; }
  void optional_number(const std::optional<uint64_t>& value) {
    if (value) {
      number(*value);
    } else {
      text("null"sv);
    }
  }
  void boolean(bool value) { text(value ? "true"sv : "false"sv); }
  // "[b0,b1,...]", at most kByteArrayChars.
  void bytes(const std::array<uint8_t, 16>& bytes) {
    *at_++ = '[';
    for (const uint8_t byte : bytes) {
      if (byte >= 100) *at_++ = static_cast<char>('0' + byte / 100);
      if (byte >= 10) *at_++ = static_cast<char>('0' + byte / 10 % 10);
      *at_++ = static_cast<char>('0' + byte % 10);
      *at_++ = ',';
    }
    at_[-1] = ']';
  }

  static constexpr std::size_t kU64Digits = 20;
  static constexpr std::size_t kByteArrayChars = 16 * 4 + 1;

 private:
  std::string& out_;
  char* at_;
};

// The node message's fixed texts, in order, and each piece's bound.
constexpr std::string_view kNodeHead = R"({"type":"node","targetIndex":)";
constexpr std::string_view kNodeId = R"(,"node":{"id":)";
constexpr std::string_view kNodeParent = R"(,"parentId":)";
constexpr std::string_view kNodePath = R"(,"path":)";
constexpr std::size_t kNodeHeadMost = kNodeHead.size() + kNodeId.size() + kNodeParent.size() +
                                      kNodePath.size() + 3 * Piece::kU64Digits;

constexpr std::string_view kNodeKind = R"(,"kind":")";
constexpr std::string_view kNodeLogical = R"(","logicalBytes":)";
constexpr std::string_view kNodeOnDisk = R"(,"sizeOnDiskBytes":)";
constexpr std::string_view kNodeCloudOnly = R"(,"flags":{"cloudOnly":)";
constexpr std::string_view kNodeCompressed = R"(,"compressed":)";
constexpr std::string_view kNodeSparse = R"(,"sparse":)";
constexpr std::string_view kNodeDeduplicated = R"(,"deduplicated":)";
constexpr std::string_view kNodeVolume = R"(},"identity":{"volumeSerial":)";
constexpr std::string_view kNodeFileId = R"(,"fileId":)";
constexpr std::string_view kNodeNoIdentity = R"(},"identity":null)";
constexpr std::string_view kNodeLink = R"(,"linkTarget":)";
constexpr std::string_view kNodeNoLink = R"(,"linkTarget":null)";
constexpr std::size_t kKindWordMost = 32;  // checked against every word in append_node
constexpr std::size_t kNodeMiddleMost =
    kNodeKind.size() + kKindWordMost + kNodeLogical.size() + 2 * Piece::kU64Digits +
    kNodeOnDisk.size() + kNodeCloudOnly.size() + kNodeCompressed.size() + kNodeSparse.size() +
    kNodeDeduplicated.size() + 4 * "false"sv.size() + kNodeVolume.size() + Piece::kU64Digits +
    kNodeFileId.size() + Piece::kByteArrayChars + 1 + kNodeNoLink.size();

constexpr std::string_view kNodeModified = R"(,"modifiedAtEpochSeconds":)";
constexpr std::size_t kNodeTailMost = kNodeModified.size() + Piece::kU64Digits + 2;

bool append_node(std::string& out, const NodeMessage& message, bool lossless) {
  const NodeRecord& node = message.node;
  {
    Piece piece(out, kNodeHeadMost);
    piece.text(kNodeHead);
    piece.number(message.target_index);
    piece.text(kNodeId);
    piece.number(node.id);
    piece.text(kNodeParent);
    piece.optional_number(node.parent_id);
    piece.text(kNodePath);
  }
  if (!append_json_path(out, node.path, lossless)) return false;
  {
    const std::string_view kind = to_wire(node.kind);
    platform::check(kind.size() <= kKindWordMost, "node kind word longer than its bound");
    Piece piece(out, kNodeMiddleMost);
    piece.text(kNodeKind);
    piece.text(kind);
    piece.text(kNodeLogical);
    piece.number(node.logical_bytes);
    piece.text(kNodeOnDisk);
    piece.number(node.size_on_disk_bytes);
    piece.text(kNodeCloudOnly);
    piece.boolean(node.flags.cloud_only);
    piece.text(kNodeCompressed);
    piece.boolean(node.flags.compressed);
    piece.text(kNodeSparse);
    piece.boolean(node.flags.sparse);
    piece.text(kNodeDeduplicated);
    piece.boolean(node.flags.deduplicated);
    if (node.identity) {
      piece.text(kNodeVolume);
      piece.number(node.identity->volume_serial);
      piece.text(kNodeFileId);
      piece.bytes(node.identity->file_id);
      piece.text("}"sv);
    } else {
      piece.text(kNodeNoIdentity);
    }
    piece.text(node.link_target ? kNodeLink : kNodeNoLink);
  }
  if (node.link_target && !append_json_path(out, *node.link_target, lossless)) return false;
  Piece piece(out, kNodeTailMost);
  piece.text(kNodeModified);
  piece.number(node.modified_at_epoch_seconds);
  piece.text("}}"sv);
  return true;
}

bool append_tree_start(std::string& out, const TreeStartMessage& message) {
  out.append(R"({"type":"treeStart","targetIndex":)"sv);
  append_json_u64(out, message.target_index);
  out.append(R"(,"fileSystem":)"sv);
  if (message.file_system) {
    append_wire(out, to_wire(*message.file_system));
  } else {
    out.append("null"sv);
  }
  out.push_back('}');
  return true;
}

bool append_target_message(std::string& out, std::string_view type, uint64_t target_index) {
  out.append(R"({"type":")"sv);
  out.append(type);
  out.append(R"(","targetIndex":)"sv);
  append_json_u64(out, target_index);
  out.push_back('}');
  return true;
}

// One overload per variant; false when a path could not be written.
bool append_message(std::string& out, const EventMessage& m, bool lossless) {
  return append_event(out, m, lossless);
}
bool append_message(std::string& out, const NodeMessage& m, bool lossless) {
  return append_node(out, m, lossless);
}
bool append_message(std::string& out, const TreeStartMessage& m, bool /*lossless*/) {
  return append_tree_start(out, m);
}
bool append_message(std::string& out, const TreeEndMessage& m, bool /*lossless*/) {
  return append_target_message(out, "treeEnd", m.target_index);
}
bool append_message(std::string& out, const TargetUnavailableMessage& m, bool /*lossless*/) {
  return append_target_message(out, "targetUnavailable", m.target_index);
}
bool append_message(std::string& out, const CompleteMessage&, bool /*lossless*/) {
  out.append(R"({"type":"complete"})"sv);
  return true;
}
bool append_message(std::string& out, const FailureMessage& m, bool /*lossless*/) {
  out.append(R"({"type":"failure","message":)"sv);
  append_json_text(out, m.message);
  out.push_back('}');
  return true;
}

}  // namespace

tl::expected<void, JsonError> encode(const HelperMessage& message, std::string& out,
                                     PathEncoding paths) {
  const bool lossless = paths == PathEncoding::Lossless;
  const bool written = std::visit(
      [&out, lossless](const auto& variant) { return append_message(out, variant, lossless); },
      message);
  if (!written) return tl::make_unexpected(JsonError{.kind = JsonErrorKind::PathNotUnicode});
  return {};
}

std::string encode_scan_request(ElevatedScanMode mode, std::string_view root,
                                const std::vector<std::string>& targets,
                                const std::optional<storage::ElevatedVolume>& volume,
                                bool lossless_paths) {
  nlohmann::ordered_json request;
  request["mode"] = to_wire(mode);
  request["root"] = root;
  request["targets"] = targets;
  if (volume) {
    request["volume"] = {{"usedBytes", volume->used_bytes},
                         {"fileSystem", to_wire(volume->file_system)}};
  } else {
    request["volume"] = nullptr;
  }
  request["losslessPaths"] = lossless_paths;
  nlohmann::ordered_json message;
  message["type"] = kScanMessageType;
  message["request"] = std::move(request);
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace ketterlin::elevation
