#include "host/exports/exports.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ketterlin/build_info.h"
#include "platform/unicode.h"

namespace ketterlin::host {
namespace {

constexpr std::string_view kProgram = "ketterlin-scan";

// Output collected in a buffer and handed to the stream in large pieces.
class JsonOut {
 public:
  explicit JsonOut(std::ostream& out) : out_(out) {}
  ~JsonOut() { flush(); }

  JsonOut& raw(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= (1 << 16)) flush();
    return *this;
  }
  JsonOut& number(uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return raw(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  JsonOut& boolean(bool value) { return raw(value ? "true" : "false"); }
  // A string in valid UTF-8: the quotation mark, the backslash and control characters escaped,
  // and each byte that is not part of valid UTF-8 (a name kept losslessly) written as U+FFFD.
  // `valid` is platform::is_valid_utf8(text), when the caller knows it already.
  JsonOut& string(std::string_view text) { return string(text, platform::is_valid_utf8(text)); }
  JsonOut& string(std::string_view text, bool valid) {
    if (valid) return bytes(text);
    buffer_.push_back('"');
    const auto length = static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    for (int32_t at = 0; at < length;) {
      const int32_t start = at;
      UChar32 character = 0;
      U8_NEXT(text.data(), at, length, character);
      if (character < 0) {
        for (int32_t i = start; i < at; ++i) buffer_.append("\xef\xbf\xbd");
      } else if (at - start > 1) {
        buffer_.append(text.data() + start, static_cast<std::size_t>(at - start));
      } else {
        escaped_byte(text[static_cast<std::size_t>(start)]);
      }
    }
    return raw("\"");
  }
  // A string of the text's bytes as they are (ncdu's export keeps names byte for byte), with the
  // quotation mark, the backslash and control characters escaped. Runs that need no escape are
  // copied whole.
  JsonOut& bytes(std::string_view text) {
    buffer_.push_back('"');
    std::size_t run = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
      if (!needs_escape(text[at])) continue;
      buffer_.append(text.data() + run, at - run);
      escaped_byte(text[at]);
      run = at + 1;
    }
    buffer_.append(text.data() + run, text.size() - run);
    return raw("\"");
  }
  // A word of this program's own (a key, a wire word): plain ASCII that needs no escape.
  JsonOut& word(std::string_view text) {
    buffer_.push_back('"');
    buffer_.append(text);
    return raw("\"");
  }
  // The bytes of `text` as lower-case hexadecimal digits, between quotation marks.
  JsonOut& hex(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    buffer_.push_back('"');
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      buffer_.push_back(kHex[byte >> 4]);
      buffer_.push_back(kHex[byte & 15]);
    }
    return raw("\"");
  }
  // "key": (with a comma before it unless it is the first key of its object).
  JsonOut& key(std::string_view name, bool first = false) {
    if (!first) buffer_.push_back(',');
    word(name);
    return raw(":");
  }
  void flush() {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
  }

 private:
  static bool needs_escape(char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  }
  void escaped_byte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      buffer_.push_back('\\');
      buffer_.push_back(c);
    } else if (byte < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      buffer_ += "\\u00";
      buffer_.push_back(kHex[byte >> 4]);
      buffer_.push_back(kHex[byte & 15]);
    } else {
      buffer_.push_back(c);
    }
  }

  std::ostream& out_;
  std::string buffer_;
};

void write_flags(JsonOut& json, const NodeRecordFlags& flags) {
  if (!flags.cloud_only && !flags.compressed && !flags.sparse && !flags.deduplicated) return;
  json.key("flags").raw("[");
  bool first = true;
  auto word = [&](bool set, std::string_view name) {
    if (!set) return;
    if (!first) json.raw(",");
    json.string(name);
    first = false;
  };
  word(flags.cloud_only, "cloudOnly");
  word(flags.compressed, "compressed");
  word(flags.sparse, "sparse");
  word(flags.deduplicated, "deduplicated");
  json.raw("]");
}

// The fields of one node, without the closing brace and without its children.
void write_node_fields(JsonOut& json, const ResultTree& tree, NodeIndex node, uint64_t extra_disk) {
  const Sizes totals = tree.totals(node);
  const std::string_view name = tree.name(node);
  const bool valid_name = platform::is_valid_utf8(name);
  json.raw("{").key("name", true).string(name, valid_name);
  // A name that is not valid UTF-8 also travels as its exact bytes.
  if (!valid_name) json.key("nameBytes").hex(name);
  json.key("kind").word(elevation::to_wire(tree.kind(node)));
  json.key("sizeOnDiskBytes").number(totals.size_on_disk_bytes + extra_disk);
  json.key("logicalBytes").number(totals.logical_bytes);
  json.key("modifiedAtEpochSeconds").number(tree.modified_at(node));
  write_flags(json, tree.flags(node));
  if (tree.link_count(node) > 1) {
    json.key("hardLink").raw("{").key("names", true).number(tree.link_count(node));
    json.key("counted").boolean(!tree.counted_elsewhere(node)).raw("}");
  }
  if (const auto target = tree.link_target(node)) {
    const bool valid_target = platform::is_valid_utf8(*target);
    json.key("linkTarget").string(*target, valid_target);
    if (!valid_target) json.key("linkTargetBytes").hex(*target);
  }
}

void write_tree(JsonOut& json, const ResultTree& tree, std::optional<uint64_t> unknown_space) {
  struct Frame {
    NodeIndex node;
    std::size_t next_child;
  };
  std::vector<Frame> stack;
  auto open = [&](NodeIndex node) {
    write_node_fields(json, tree, node, node == 0 ? unknown_space.value_or(0) : 0);
    if (!tree.is_container(node)) {
      json.raw("}");
      return;
    }
    json.key("children").raw("[");
    stack.push_back({node, 0});
  };
  open(0);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const auto children = tree.children(frame.node);
    if (frame.next_child < children.size()) {
      if (frame.next_child > 0) json.raw(",");
      const NodeIndex child = children[frame.next_child++];
      open(child);
      continue;
    }
    if (frame.node == 0 && unknown_space) {
      if (!children.empty()) json.raw(",");
      json.raw("{").key("name", true).string("Unknown Space");
      json.key("kind").string("unknownSpace");
      json.key("sizeOnDiskBytes").number(*unknown_space);
      json.key("logicalBytes").number(0).key("modifiedAtEpochSeconds").number(0).raw("}");
    }
    json.raw("]}");
    stack.pop_back();
  }
}

void write_target(JsonOut& json, const ScanResult& result, std::size_t index) {
  const TargetReport& report = result.reports[index];
  json.raw("{")
      .key("path", true)
      .string(index < result.targets.size() ? result.targets[index] : "");
  if (!report.tree) {
    json.key("status").string("unavailable").raw("}");
    return;
  }
  const ResultTree& tree = *report.tree;
  const std::optional<uint64_t> unknown = unknown_space_bytes(result, index);
  json.key("status").string("scanned").key("fileSystem");
  if (report.file_system) {
    json.string(elevation::to_wire(*report.file_system));
  } else {
    json.raw("null");
  }
  const TreeCounts& counts = tree.counts();
  json.key("totals")
      .raw("{")
      .key("sizeOnDiskBytes", true)
      .number(tree.totals(0).size_on_disk_bytes);
  json.key("logicalBytes").number(tree.totals(0).logical_bytes);
  json.key("files").number(counts.files).key("folders").number(counts.folders);
  json.key("links").number(counts.links).key("restricted").number(counts.restricted);
  json.key("unmeasured").number(counts.unmeasured);
  json.key("hardLinkGroups").number(counts.hard_link_groups).key("unknownSpaceBytes");
  if (unknown) {
    json.number(*unknown);
  } else {
    json.raw("null");
  }
  json.raw("}").key("tree");
  write_tree(json, tree, unknown);
  json.raw("}");
}

// ===== ncdu =====

uint64_t root_device(const ResultTree& tree) {
  for (NodeIndex node = 0; node < tree.size(); ++node) {
    if (const auto identity = tree.identity(node)) return identity->volume_serial;
  }
  return 0;
}

void write_ncdu_info(JsonOut& json, const ResultTree& tree, NodeIndex node, uint64_t device,
                     std::string_view name) {
  const Sizes own = tree.own_sizes(node);
  json.raw("{").key("name", true).bytes(name);
  if (own.logical_bytes > 0) json.key("asize").number(own.logical_bytes);
  if (own.size_on_disk_bytes > 0) json.key("dsize").number(own.size_on_disk_bytes);
  if (node == 0) json.key("dev").number(device);
  const auto identity = tree.identity(node);
  if (node != 0 && identity && identity->volume_serial != device) {
    json.key("dev").number(identity->volume_serial);
  }
  if (identity && tree.link_count(node) > 1) {
    json.key("ino").number(ncdu_inode(*identity)).key("hlnkc").boolean(true);
    json.key("nlink").number(tree.link_count(node));
  }
  if (tree.modified_at(node) > 0) json.key("mtime").number(tree.modified_at(node));
  switch (tree.kind(node)) {
    case NodeRecordKind::Restricted:
      json.key("read_error").boolean(true);
      break;
    case NodeRecordKind::VolumeMountPoint:
      json.key("excluded").string("otherfs");
      break;
    case NodeRecordKind::SymbolicLink:
    case NodeRecordKind::Junction:
    case NodeRecordKind::OtherLink:
      json.key("notreg").boolean(true);
      break;
    case NodeRecordKind::File:
      // ncdu marks an entry it could not stat with read_error too.
      if (tree.unmeasured(node)) json.key("read_error").boolean(true);
      break;
    case NodeRecordKind::Drive:
    case NodeRecordKind::Folder:
      break;
  }
  json.raw("}");
}

}  // namespace

uint64_t ncdu_inode(const NodeRecordIdentity& identity) {
  uint64_t low = 0;
  uint64_t high = 0;
  for (int i = 7; i >= 0; --i) {
    low = low << 8 | identity.file_id[i];
    high = high << 8 | identity.file_id[i + 8];
  }
  return high == 0 ? low : low ^ (high * 0x9e3779b97f4a7c15ULL);
}

void write_json_export(const ScanResult& result, std::ostream& out) {
  JsonOut json(out);
  json.raw("{").key("program", true).string(kProgram).key("version").string(kVersion);
  json.key("mode").string(elevation::to_wire(result.mode)).key("root").string(result.root);
  json.key("elapsedMillis").number(result.elapsed_millis).key("volume");
  if (result.volume) {
    json.raw("{").key("usedBytes", true).number(result.volume->used_bytes);
    json.key("fileSystem").string(elevation::to_wire(result.volume->file_system)).raw("}");
  } else {
    json.raw("null");
  }
  json.key("targets").raw("[");
  for (std::size_t index = 0; index < result.reports.size(); ++index) {
    if (index > 0) json.raw(",");
    write_target(json, result, index);
  }
  json.raw("]}\n");
}

namespace {

// One target's tree in ncdu's form; its root is named `root_name`.
void write_ncdu_tree(JsonOut& json, const ResultTree& tree, std::optional<uint64_t> unknown,
                     std::string_view root_name) {
  const uint64_t device = root_device(tree);
  struct Frame {
    NodeIndex node;
    std::size_t next_child;
  };
  std::vector<Frame> stack;
  auto open = [&](NodeIndex node) {
    const bool directory = tree.is_container(node) || tree.kind(node) == NodeRecordKind::Restricted;
    if (directory) json.raw("[");
    write_ncdu_info(json, tree, node, device, node == 0 ? root_name : tree.name(node));
    if (directory) stack.push_back({node, 0});
  };
  open(0);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const auto children = tree.children(frame.node);
    if (frame.next_child < children.size()) {
      json.raw(",\n");
      open(children[frame.next_child++]);
      continue;
    }
    if (frame.node == 0 && unknown) {
      json.raw(",\n{").key("name", true).string("Unknown Space");
      json.key("dsize").number(*unknown).key("notreg").boolean(true).raw("}");
    }
    json.raw("]");
    stack.pop_back();
  }
}

// `path` below `root` ("a/b" for "/r/a/b" below "/r"), or `path` itself when it is not below.
std::string_view name_below(std::string_view root, std::string_view path, PathStyle style) {
  if (!path.starts_with(root) || path.size() == root.size()) return path;
  std::string_view rest = path.substr(root.size());
  const bool root_ends_in_separator = !root.empty() && (root.back() == '/' || root.back() == '\\');
  if (!root_ends_in_separator) {
    const char separator = style == PathStyle::Windows ? '\\' : '/';
    if (rest.front() != separator) return path;
    rest.remove_prefix(1);
  }
  return rest.empty() ? path : rest;
}

}  // namespace

void write_ncdu_export(const ScanResult& result, uint64_t timestamp, std::ostream& out) {
  JsonOut json(out);
  json.raw("[1,2,{").key("progname", true).string(kProgram).key("progver").string(kVersion);
  json.key("timestamp").number(timestamp).raw("},\n");
  if (result.reports.size() == 1 && result.reports[0].tree) {
    const ResultTree& tree = *result.reports[0].tree;
    write_ncdu_tree(json, tree, unknown_space_bytes(result, 0), tree.name(0));
  } else {
    json.raw("[{").key("name", true).string(result.root).raw("}");
    for (std::size_t index = 0; index < result.reports.size(); ++index) {
      if (!result.reports[index].tree) continue;
      const ResultTree& tree = *result.reports[index].tree;
      json.raw(",\n");
      write_ncdu_tree(json, tree, std::nullopt,
                      name_below(result.root, tree.name(0), tree.path_style()));
    }
    json.raw("]");
  }
  json.raw("]\n");
}

}  // namespace ketterlin::host
