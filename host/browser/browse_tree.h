// The trees the browser shows, read through one interface whether they come from a scan just
// taken (ResultTree, read through its accessors only) or from a saved JSON document (LoadedTree).
// Both are read-only: what the browser changes lives in its own model (browser_model.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/session/result_tree.h"

namespace ketterlin::host {

// One tree: index 0 is the root; a parent's index is below its children's.
class BrowseTree {
 public:
  virtual ~BrowseTree() = default;

  virtual NodeIndex size() const = 0;
  virtual NodeIndex parent(NodeIndex node) const = 0;
  virtual std::span<const NodeIndex> children(NodeIndex node) const = 0;
  // The node's own name; the root's is its full path.
  virtual std::string_view name(NodeIndex node) const = 0;
  virtual std::string path(NodeIndex node) const = 0;
  virtual NodeRecordKind kind(NodeIndex node) const = 0;
  bool is_container(NodeIndex node) const {
    return kind(node) == NodeRecordKind::Drive || kind(node) == NodeRecordKind::Folder;
  }
  // The subtree's sizes, each hard-link group counted once.
  virtual Sizes totals(NodeIndex node) const = 0;
  virtual uint64_t modified_at(NodeIndex node) const = 0;
  virtual NodeRecordFlags flags(NodeIndex node) const = 0;
  // nullopt where the source does not know it (a saved document keeps no identities).
  virtual std::optional<NodeRecordIdentity> identity(NodeIndex node) const = 0;
  virtual std::optional<std::string_view> link_target(NodeIndex node) const = 0;
  virtual uint32_t link_count(NodeIndex node) const = 0;
  virtual bool counted_elsewhere(NodeIndex node) const = 0;
};

// A scanned target's ResultTree; the tree must outlive this view.
class ScannedTree final : public BrowseTree {
 public:
  explicit ScannedTree(const ResultTree& tree) : tree_(tree) {}

  NodeIndex size() const override { return tree_.size(); }
  NodeIndex parent(NodeIndex node) const override { return tree_.parent(node); }
  std::span<const NodeIndex> children(NodeIndex node) const override {
    return tree_.children(node);
  }
  std::string_view name(NodeIndex node) const override { return tree_.name(node); }
  std::string path(NodeIndex node) const override { return tree_.path(node); }
  NodeRecordKind kind(NodeIndex node) const override { return tree_.kind(node); }
  Sizes totals(NodeIndex node) const override { return tree_.totals(node); }
  uint64_t modified_at(NodeIndex node) const override { return tree_.modified_at(node); }
  NodeRecordFlags flags(NodeIndex node) const override { return tree_.flags(node); }
  std::optional<NodeRecordIdentity> identity(NodeIndex node) const override {
    return tree_.identity(node);
  }
  std::optional<std::string_view> link_target(NodeIndex node) const override {
    return tree_.link_target(node);
  }
  uint32_t link_count(NodeIndex node) const override { return tree_.link_count(node); }
  bool counted_elsewhere(NodeIndex node) const override { return tree_.counted_elsewhere(node); }

 private:
  const ResultTree& tree_;
};

// What a saved document says of one node.
struct LoadedNodeFields {
  std::string_view name;
  NodeRecordKind kind = NodeRecordKind::File;
  Sizes totals;
  uint64_t modified_at = 0;
  NodeRecordFlags flags;
  uint32_t link_count = 1;
  bool counted_elsewhere = false;
  std::optional<std::string_view> link_target;
};

// A tree read back from a saved document. Nodes are added parent first (as the document nests
// them), then finish() builds the child lists.
class LoadedTree final : public BrowseTree {
 public:
  // Adds a node under `parent` (kNoNode for the root, which must come first) and returns its
  // index. Fields may still be set afterwards through set().
  NodeIndex add(NodeIndex parent);
  void set(NodeIndex node, const LoadedNodeFields& fields);
  void set_name(NodeIndex node, std::string_view name);
  void set_link_target(NodeIndex node, std::string_view target);
  // Removes the node added last (it must have no children yet).
  void remove_last();
  // Builds the child lists, in the order the nodes were added.
  void finish();
  Sizes& totals_of(NodeIndex node) { return nodes_[node].totals; }

  NodeIndex size() const override { return static_cast<NodeIndex>(nodes_.size()); }
  NodeIndex parent(NodeIndex node) const override { return nodes_[node].parent; }
  std::span<const NodeIndex> children(NodeIndex node) const override;
  std::string_view name(NodeIndex node) const override;
  std::string path(NodeIndex node) const override;
  NodeRecordKind kind(NodeIndex node) const override { return nodes_[node].kind; }
  Sizes totals(NodeIndex node) const override { return nodes_[node].totals; }
  uint64_t modified_at(NodeIndex node) const override { return nodes_[node].modified_at; }
  NodeRecordFlags flags(NodeIndex node) const override { return nodes_[node].flags; }
  std::optional<NodeRecordIdentity> identity(NodeIndex) const override { return std::nullopt; }
  std::optional<std::string_view> link_target(NodeIndex node) const override;
  uint32_t link_count(NodeIndex node) const override { return nodes_[node].link_count; }
  bool counted_elsewhere(NodeIndex node) const override { return nodes_[node].counted_elsewhere; }

 private:
  struct Node {
    Sizes totals;
    uint64_t modified_at = 0;
    uint64_t name_position = 0;
    uint64_t target_position = 0;
    NodeIndex parent = kNoNode;
    uint32_t name_length = 0;
    uint32_t target_length = 0;
    uint32_t link_count = 1;
    NodeRecordKind kind = NodeRecordKind::File;
    NodeRecordFlags flags;
    bool has_target = false;
    bool counted_elsewhere = false;
  };
  std::vector<Node> nodes_;
  std::string text_;  // names and link targets, one after another
  std::vector<NodeIndex> child_begin_;
  std::vector<NodeIndex> children_;
};

}  // namespace ketterlin::host
