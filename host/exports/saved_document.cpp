#include "host/exports/saved_document.h"

#include <filesystem>
#include <fstream>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ketterlin::host {

std::string to_string(const LoadError& error) {
  using Kind = LoadError::Kind;
  switch (error.kind) {
    case Kind::OpenFailed:
      return "cannot open: " + platform::to_string(error.os_error);
    case Kind::IsAFolder:
      return "a folder, not a document";
    case Kind::ReadFailed:
      return "cannot read: " + platform::to_string(error.os_error);
    case Kind::NotJson:
      return "not JSON: " + error.detail;
    case Kind::NotADocument:
      return "not a ketterlin-scan document (no \"program\":\"ketterlin-scan\")";
    case Kind::MissingKey:
      return error.where + " has no \"" + error.detail + "\"";
    case Kind::WrongType:
      return "\"" + error.detail + "\" of " + error.where + " has the wrong type";
    case Kind::UnknownWord:
      return "\"" + error.detail + "\" of " + error.where + " is not a known value";
    case Kind::TooManyNodes:
      return error.where + " has more than 4294967294 nodes";
  }
  return "LoadError(" + std::to_string(static_cast<unsigned>(error.kind)) + ")";
}

namespace {

using Json = nlohmann::json;

// One JSON value that is no object or array.
struct Scalar {
  enum class Type : uint8_t { Null, Boolean, Unsigned, Other, String };
  Type type = Type::Null;
  bool boolean = false;
  uint64_t number = 0;
  std::string_view text;
};

// The SAX handler: a stack of the objects and arrays open, each known by what it is, and the
// key last read in the innermost object.
class DocumentReader final : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return scalar({}); }
  bool boolean(bool value) override { return scalar({Scalar::Type::Boolean, value, 0, {}}); }
  bool number_integer(number_integer_t) override {
    return scalar({Scalar::Type::Other, false, 0, {}});
  }
  bool number_unsigned(number_unsigned_t value) override {
    return scalar({Scalar::Type::Unsigned, false, value, {}});
  }
  bool number_float(number_float_t, const string_t&) override {
    return scalar({Scalar::Type::Other, false, 0, {}});
  }
  bool string(string_t& value) override { return scalar({Scalar::Type::String, false, 0, value}); }
  bool binary(binary_t&) override { return scalar({Scalar::Type::Other, false, 0, {}}); }
  bool key(string_t& key) override {
    key_ = key;
    return true;
  }
  bool start_object(std::size_t) override;
  bool end_object() override;
  bool start_array(std::size_t) override;
  bool end_array() override;
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& exception) override {
    std::string_view text = exception.what();
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..."
    if (const auto cut = text.find("] "); cut != std::string_view::npos)
      text.remove_prefix(cut + 2);
    error_ = LoadError{LoadError::Kind::NotJson, std::string(text), "", {}};
    return false;
  }

  // The outcome once the parser has returned.
  tl::expected<SavedDocument, LoadError> result() && {
    if (error_) {
      // Whatever goes wrong before the document has said what it is, it is not one of ours.
      if (error_->kind != LoadError::Kind::NotJson && !program_seen_) {
        return tl::unexpected(LoadError{});
      }
      return tl::unexpected(std::move(*error_));
    }
    if (!program_seen_) return tl::unexpected(LoadError{});
    if (!mode_seen_) return missing("mode");
    if (!root_seen_) return missing("root");
    if (!targets_seen_) return missing("targets");
    return std::move(document_);
  }

 private:
  enum class Context : uint8_t { Document, Targets, Target, Node, Children, Flags, HardLink, Skip };

  struct NodeFrame {
    NodeIndex index = 0;
    uint8_t seen = 0;  // kName | kKind | kDisk | kLogical
    bool unknown_space = false;
    std::string name;
    std::optional<std::string> link_target;
    LoadedNodeFields fields;
  };
  static constexpr uint8_t kName = 1, kKind = 2, kDisk = 4, kLogical = 8;

  std::string where() const {
    if (!nodes_.empty()) {
      return "node " + std::to_string(nodes_.back().index) + " of target " +
             std::to_string(document_.targets.size() + 1);
    }
    if (in_target_) return "target " + std::to_string(document_.targets.size() + 1);
    return "the document";
  }
  bool fail(LoadError::Kind kind, std::string detail) {
    error_ = LoadError{kind, std::move(detail), where(), {}};
    return false;
  }
  tl::unexpected<LoadError> missing(std::string key) {
    return tl::unexpected(LoadError{LoadError::Kind::MissingKey, std::move(key), where(), {}});
  }
  bool wrong_type() { return fail(LoadError::Kind::WrongType, key_); }
  bool unknown_word(std::string_view word) {
    return fail(LoadError::Kind::UnknownWord, key_ + ": " + std::string(word));
  }
  Context top() const { return stack_.back(); }

  bool scalar(const Scalar& value);
  bool document_scalar(const Scalar& value);
  bool target_scalar(const Scalar& value);
  bool node_scalar(const Scalar& value);
  bool start_node(NodeIndex parent);
  bool end_node();
  bool end_target();

  std::vector<Context> stack_;
  std::size_t skip_depth_ = 0;  // objects and arrays open inside a skipped value
  std::string key_;
  std::optional<LoadError> error_;
  SavedDocument document_;
  bool program_seen_ = false, mode_seen_ = false, root_seen_ = false, targets_seen_ = false;
  // The target being read.
  bool in_target_ = false;
  SavedTarget target_;
  bool path_seen_ = false;
  std::optional<bool> scanned_;
  std::vector<NodeFrame> nodes_;  // the nodes open, the root first
};

bool DocumentReader::scalar(const Scalar& value) {
  using Type = Scalar::Type;
  if (stack_.empty()) return fail(LoadError::Kind::NotADocument, "");
  switch (top()) {
    case Context::Document:
      return document_scalar(value);
    case Context::Target:
      return target_scalar(value);
    case Context::Node:
      return node_scalar(value);
    case Context::Targets:
      key_ = "targets";
      return wrong_type();
    case Context::Children:
      key_ = "children";
      return wrong_type();
    case Context::Flags: {
      if (value.type != Type::String) {
        key_ = "flags";
        return wrong_type();
      }
      // Flags this reader does not know (from a later writer) are left out.
      NodeRecordFlags& flags = nodes_.back().fields.flags;
      if (value.text == "cloudOnly") flags.cloud_only = true;
      if (value.text == "compressed") flags.compressed = true;
      if (value.text == "sparse") flags.sparse = true;
      if (value.text == "deduplicated") flags.deduplicated = true;
      return true;
    }
    case Context::HardLink:
      if (key_ == "names") {
        if (value.type != Type::Unsigned || value.number > UINT32_MAX) return wrong_type();
        nodes_.back().fields.link_count = static_cast<uint32_t>(value.number);
      } else if (key_ == "counted") {
        if (value.type != Type::Boolean) return wrong_type();
        nodes_.back().fields.counted_elsewhere = !value.boolean;
      }
      return true;
    case Context::Skip:
      return true;
  }
  return true;
}

bool DocumentReader::document_scalar(const Scalar& value) {
  const bool is_string = value.type == Scalar::Type::String;
  if (key_ == "program") {
    if (!is_string || value.text != "ketterlin-scan")
      return fail(LoadError::Kind::NotADocument, "");
    program_seen_ = true;
  } else if (key_ == "mode") {
    if (!is_string) return wrong_type();
    const auto mode = elevation::from_wire<elevation::ElevatedScanMode>(value.text);
    if (!mode) return unknown_word(value.text);
    document_.mode = *mode;
    mode_seen_ = true;
  } else if (key_ == "root") {
    if (!is_string) return wrong_type();
    document_.root = value.text;
    root_seen_ = true;
  } else if (key_ == "elapsedMillis") {
    if (value.type != Scalar::Type::Unsigned) return wrong_type();
    document_.elapsed_millis = value.number;
  } else if (key_ == "targets") {
    return wrong_type();
  }
  return true;
}

bool DocumentReader::target_scalar(const Scalar& value) {
  const bool is_string = value.type == Scalar::Type::String;
  if (key_ == "path") {
    if (!is_string) return wrong_type();
    target_.path = value.text;
    path_seen_ = true;
  } else if (key_ == "status") {
    if (!is_string) return wrong_type();
    if (value.text != "scanned" && value.text != "unavailable") return unknown_word(value.text);
    scanned_ = value.text == "scanned";
  } else if (key_ == "tree") {
    return wrong_type();
  }
  return true;
}

bool DocumentReader::node_scalar(const Scalar& value) {
  NodeFrame& node = nodes_.back();
  const bool is_string = value.type == Scalar::Type::String;
  const bool is_number = value.type == Scalar::Type::Unsigned;
  if (key_ == "name") {
    if (!is_string) return wrong_type();
    node.name = value.text;
    node.seen |= kName;
  } else if (key_ == "kind") {
    if (!is_string) return wrong_type();
    if (value.text == "unknownSpace") {
      node.unknown_space = true;
    } else if (const auto kind = elevation::from_wire<NodeRecordKind>(value.text)) {
      node.fields.kind = *kind;
    } else {
      return unknown_word(value.text);
    }
    node.seen |= kKind;
  } else if (key_ == "sizeOnDiskBytes") {
    if (!is_number) return wrong_type();
    node.fields.totals.size_on_disk_bytes = value.number;
    node.seen |= kDisk;
  } else if (key_ == "logicalBytes") {
    if (!is_number) return wrong_type();
    node.fields.totals.logical_bytes = value.number;
    node.seen |= kLogical;
  } else if (key_ == "modifiedAtEpochSeconds") {
    if (!is_number) return wrong_type();
    node.fields.modified_at = value.number;
  } else if (key_ == "linkTarget") {
    if (!is_string) return wrong_type();
    node.link_target = std::string(value.text);
  } else if (key_ == "children" || key_ == "flags" || key_ == "hardLink") {
    return wrong_type();
  }
  return true;
}

bool DocumentReader::start_node(NodeIndex parent) {
  LoadedTree& tree = *target_.tree;
  if (tree.size() >= kNoNode - 1) return fail(LoadError::Kind::TooManyNodes, "");
  NodeFrame frame;
  frame.index = tree.add(parent);
  nodes_.push_back(std::move(frame));
  stack_.push_back(Context::Node);
  return true;
}

bool DocumentReader::start_object(std::size_t) {
  if (!stack_.empty() && top() == Context::Skip) {
    ++skip_depth_;
    return true;
  }
  if (stack_.empty()) {
    stack_.push_back(Context::Document);
    return true;
  }
  switch (top()) {
    case Context::Targets:
      in_target_ = true;
      target_ = SavedTarget{};
      path_seen_ = false;
      scanned_.reset();
      stack_.push_back(Context::Target);
      return true;
    case Context::Children:
      return start_node(nodes_.back().index);
    case Context::Target:
      if (key_ == "tree") {
        if (target_.tree) return wrong_type();
        target_.tree.emplace();
        return start_node(kNoNode);
      }
      if (key_ == "path" || key_ == "status") return wrong_type();
      break;
    case Context::Node:
      if (key_ == "hardLink") {
        stack_.push_back(Context::HardLink);
        return true;
      }
      if (key_ == "children" || key_ == "flags" || key_ == "name" || key_ == "kind") {
        return wrong_type();
      }
      break;
    case Context::Document:
      if (key_ == "targets" || key_ == "program" || key_ == "mode" || key_ == "root") {
        return key_ == "program" ? fail(LoadError::Kind::NotADocument, "") : wrong_type();
      }
      break;
    case Context::Flags:
      key_ = "flags";
      return wrong_type();
    case Context::HardLink:
    case Context::Skip:
      break;
  }
  // Any other object is a value this reader does not use ("volume", "totals", later keys).
  stack_.push_back(Context::Skip);
  return true;
}

bool DocumentReader::start_array(std::size_t) {
  if (stack_.empty()) return fail(LoadError::Kind::NotADocument, "");
  if (top() == Context::Skip) {
    ++skip_depth_;
    return true;
  }
  const Context context = top();
  if (context == Context::Document && key_ == "targets") {
    targets_seen_ = true;
    stack_.push_back(Context::Targets);
    return true;
  }
  if (context == Context::Node && key_ == "children") {
    stack_.push_back(Context::Children);
    return true;
  }
  if (context == Context::Node && key_ == "flags") {
    stack_.push_back(Context::Flags);
    return true;
  }
  if (context == Context::Targets || context == Context::Children || context == Context::Flags) {
    key_ = context == Context::Targets ? "targets"
           : context == Context::Flags ? "flags"
                                       : "children";
    return wrong_type();
  }
  const bool known = (context == Context::Document && key_ == "program") ||
                     (context == Context::Target && (key_ == "path" || key_ == "tree")) ||
                     (context == Context::Node && (key_ == "name" || key_ == "kind"));
  if (known) return wrong_type();
  stack_.push_back(Context::Skip);
  return true;
}

bool DocumentReader::end_node() {
  NodeFrame& node = nodes_.back();
  if ((node.seen & kName) == 0) return fail(LoadError::Kind::MissingKey, "name");
  if ((node.seen & kKind) == 0) return fail(LoadError::Kind::MissingKey, "kind");
  if ((node.seen & kDisk) == 0) return fail(LoadError::Kind::MissingKey, "sizeOnDiskBytes");
  if ((node.seen & kLogical) == 0) return fail(LoadError::Kind::MissingKey, "logicalBytes");
  LoadedTree& tree = *target_.tree;
  if (node.unknown_space) {
    // The Unknown Space is kept beside the tree, not in it: only a leaf right below the root.
    if (nodes_.size() != 2 || node.index + 1 != tree.size()) {
      key_ = "kind";
      return unknown_word("unknownSpace");
    }
    target_.unknown_space =
        target_.unknown_space.value_or(0) + node.fields.totals.size_on_disk_bytes;
    tree.remove_last();
  } else {
    node.fields.name = node.name;
    if (node.link_target) node.fields.link_target = *node.link_target;
    tree.set(node.index, node.fields);
  }
  nodes_.pop_back();
  return true;
}

bool DocumentReader::end_target() {
  if (!path_seen_) return fail(LoadError::Kind::MissingKey, "path");
  if (!scanned_) return fail(LoadError::Kind::MissingKey, "status");
  if (*scanned_ && !target_.tree) return fail(LoadError::Kind::MissingKey, "tree");
  if (!*scanned_) {
    target_.tree.reset();
    target_.unknown_space.reset();
  } else {
    target_.tree->finish();
    // The root's size on disk in the document includes the Unknown Space; the tree's does not.
    if (target_.unknown_space) {
      uint64_t& disk = target_.tree->totals_of(0).size_on_disk_bytes;
      disk -= std::min(disk, *target_.unknown_space);
    }
  }
  document_.targets.push_back(std::move(target_));
  in_target_ = false;
  return true;
}

bool DocumentReader::end_object() {
  const Context context = top();
  if (context == Context::Skip && skip_depth_ > 0) {
    --skip_depth_;
    return true;
  }
  stack_.pop_back();
  if (context == Context::Node) return end_node();
  if (context == Context::Target) return end_target();
  return true;
}

bool DocumentReader::end_array() {
  if (top() == Context::Skip && skip_depth_ > 0) {
    --skip_depth_;
    return true;
  }
  stack_.pop_back();
  return true;
}

}  // namespace

tl::expected<SavedDocument, LoadError> read_saved_document(std::istream& in) {
  DocumentReader reader;
  Json::sax_parse(in, &reader, nlohmann::detail::input_format_t::json, true);
  if (in.bad()) {
    return tl::unexpected(
        LoadError{LoadError::Kind::ReadFailed, "", "", platform::last_os_error()});
  }
  return std::move(reader).result();
}

tl::expected<SavedDocument, LoadError> load_saved_document(const platform::OsString& path) {
  const std::filesystem::path file(path);
  std::error_code error;
  if (std::filesystem::is_directory(file, error)) {
    return tl::unexpected(LoadError{LoadError::Kind::IsAFolder, "", "", {}});
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return tl::unexpected(
        LoadError{LoadError::Kind::OpenFailed, "", "", platform::last_os_error()});
  }
  return read_saved_document(in);
}

}  // namespace ketterlin::host
