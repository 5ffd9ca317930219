// The helper's messages as compact JSON, written straight from the values into the output
// string: fixed key fragments, decimal integers and escaped strings, no intermediate document.
// The host's one request, written once per run, goes through the JSON library.

#include <array>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "elevation/json_text.h"
#include "elevation/protocol.h"
#include "platform/unicode.h"

namespace ketterlin::elevation {
namespace {

using namespace std::string_view_literals;

void append_bool(std::string& out, bool value) { out.append(value ? "true"sv : "false"sv); }

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

void append_flags(std::string& out, const NodeRecordFlags& flags) {
  out.append(R"({"cloudOnly":)"sv);
  append_bool(out, flags.cloud_only);
  out.append(R"(,"compressed":)"sv);
  append_bool(out, flags.compressed);
  out.append(R"(,"sparse":)"sv);
  append_bool(out, flags.sparse);
  out.append(R"(,"deduplicated":)"sv);
  append_bool(out, flags.deduplicated);
  out.push_back('}');
}

// "[b0,b1,...]": formatted on the stack and appended once, as it is in every node message.
void append_byte_array(std::string& out, const std::array<uint8_t, 16>& bytes) {
  char text[16 * 4 + 1];  // "[" + up to three digits and "," or "]" per byte
  char* at = text;
  *at++ = '[';
  for (const uint8_t byte : bytes) {
    if (byte >= 100) *at++ = static_cast<char>('0' + byte / 100);
    if (byte >= 10) *at++ = static_cast<char>('0' + byte / 10 % 10);
    *at++ = static_cast<char>('0' + byte % 10);
    *at++ = ',';
  }
  at[-1] = ']';
  out.append(text, static_cast<std::size_t>(at - text));
}

void append_identity(std::string& out, const std::optional<NodeRecordIdentity>& identity) {
  if (!identity) {
    out.append("null"sv);
    return;
  }
  out.append(R"({"volumeSerial":)"sv);
  append_json_u64(out, identity->volume_serial);
  out.append(R"(,"fileId":)"sv);
  append_byte_array(out, identity->file_id);
  out.push_back('}');
}

bool append_node(std::string& out, const NodeMessage& message, bool lossless) {
  const NodeRecord& node = message.node;
  out.append(R"({"type":"node","targetIndex":)"sv);
  append_json_u64(out, message.target_index);
  out.append(R"(,"node":{"id":)"sv);
  append_json_u64(out, node.id);
  out.append(R"(,"parentId":)"sv);
  if (node.parent_id) {
    append_json_u64(out, *node.parent_id);
  } else {
    out.append("null"sv);
  }
  out.append(R"(,"path":)"sv);
  if (!append_json_path(out, node.path, lossless)) return false;
  out.append(R"(,"kind":)"sv);
  append_wire(out, to_wire(node.kind));
  out.append(R"(,"logicalBytes":)"sv);
  append_json_u64(out, node.logical_bytes);
  out.append(R"(,"sizeOnDiskBytes":)"sv);
  append_json_u64(out, node.size_on_disk_bytes);
  out.append(R"(,"flags":)"sv);
  append_flags(out, node.flags);
  out.append(R"(,"identity":)"sv);
  append_identity(out, node.identity);
  out.append(R"(,"linkTarget":)"sv);
  if (node.link_target) {
    if (!append_json_path(out, *node.link_target, lossless)) return false;
  } else {
    out.append("null"sv);
  }
  out.append(R"(,"modifiedAtEpochSeconds":)"sv);
  append_json_u64(out, node.modified_at_epoch_seconds);
  out.append("}}"sv);
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
