// The host's copy of one scanned target: the helper's node records rebuilt into a tree, with
// subtree totals in which every hard-link group counts once.
//
// Storage is sized for whole drives (millions of nodes): a node keeps its own name (its path
// minus the parent's path and separator) in a shared arena, 32-bit indices, and fixed-size
// records in chunked tables; full paths are rebuilt on demand. Nothing is allocated per node
// beyond the arena, except for the rare link target and hard-link member.
//
// Hard links follow the rules of the helper's tree model (storage/hard_links.h): file nodes that
// share an identity (volume serial and file id) form a group, whose size is counted once, at its
// primary, the least member in the link order; the other members count 0 in every total. The
// folder that holds the primary is the one whose total includes the size, the same folder the
// helper's model credits.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tsl/robin_map.h>
#include <tl/expected.hpp>

#include "elevation/message_decoder.h"
#include "host/session/child_path.h"
#include "storage/chunked_vector.h"
#include "storage/node_table.h"
#include "storage/volume.h"

namespace ketterlin::host {

// The wire's words for a node, which the host's trees keep as they came.
using elevation::NodeRecordFlags;
using elevation::NodeRecordIdentity;
using elevation::NodeRecordKind;

using NodeIndex = uint32_t;
inline constexpr NodeIndex kNoNode = UINT32_MAX;

struct Sizes {
  uint64_t logical_bytes = 0;
  uint64_t size_on_disk_bytes = 0;

  friend bool operator==(const Sizes&, const Sizes&) = default;
};

struct TreeCounts {
  uint64_t files = 0;       // nodes of kind file, hard links each counted
  uint64_t folders = 0;     // folders below the root
  uint64_t links = 0;       // symbolic links, junctions, mount points, other links
  uint64_t restricted = 0;  // folders that could not be listed
  uint64_t unmeasured = 0;  // files whose metadata could not be read (ResultTree::unmeasured)
  uint64_t hard_link_groups = 0;

  friend bool operator==(const TreeCounts&, const TreeCounts&) = default;
};

// Why a node record cannot join the tree, or the tree cannot be finished.
struct TreeProblem {
  enum class Kind : uint8_t {
    FirstNodeHasParent,  // `id`: the first node names a parent
    SecondRoot,          // `id`: a later node names no parent
    DuplicateId,         // `id` was sent before
    IdOutOfOrder,        // `id` is lower than `other`, the id sent last
    UnknownParent,       // `id` names parent `other`, which was not sent before
    ParentNotContainer,  // `id` sits under `other`, which is not a drive or folder
    PathNotBelowParent,  // the path of `id` is not its parent's path plus one name
    NameTooLong,         // a name or link target of `id` exceeds the arena's block
    TooManyNodes,        // more than 2^32 - 2 nodes, or 2^43 bytes of names
    SizeOverflow,        // a total would exceed 2^64 - 1 at node `id`
    Empty,               // no node at all
  };
  Kind kind = Kind::Empty;
  uint64_t id = 0;
  uint64_t other = 0;

  friend bool operator==(const TreeProblem&, const TreeProblem&) = default;
};

std::string to_string(const TreeProblem& problem);

// Names and link targets, packed into 1 MiB blocks that never move.
class NameArena {
 public:
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
  static constexpr uint64_t kMaxBytes = uint64_t{1} << 43;  // positions fit in 43 bits
  // Stores `text` (at most kBlockBytes bytes) and returns its position.
  uint64_t add(std::string_view text);
  std::string_view get(uint64_t position, uint32_t length) const {
    return {blocks_[position / kBlockBytes].get() + position % kBlockBytes, length};
  }
  std::size_t allocated_bytes() const { return blocks_.size() * kBlockBytes; }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_in_last_ = kBlockBytes;
};

namespace internal {

struct StoredNode {
  uint64_t logical_bytes = 0;
  uint64_t size_on_disk_bytes = 0;
  uint64_t modified_at = 0;
  // The name's place in the arena; a name holds at most NameArena::kBlockBytes bytes.
  uint64_t name_position : 43 = 0;
  uint64_t name_length : 21 = 0;
  uint32_t parent = kNoNode;
  NodeRecordKind kind = NodeRecordKind::File;
  uint8_t flags = 0;  // cloudOnly 1, compressed 2, sparse 4, deduplicated 8
  bool has_identity = false;
  bool counted_elsewhere = false;  // a hard link whose group is counted at another member
};

// The helper's node ids mapped to dense indices: ids rise, and each gap starts a new run.
class IdRuns {
 public:
  void append(uint64_t id, NodeIndex index);
  std::optional<NodeIndex> find(uint64_t id, NodeIndex count) const;

 private:
  struct Run {
    uint64_t first_id;
    NodeIndex first_index;
  };
  std::vector<Run> runs_;
};

}  // namespace internal

// A finished tree; read-only. Index 0 is the root; a parent's index is below its children's.
class ResultTree {
 public:
  NodeIndex size() const { return static_cast<NodeIndex>(nodes_.size()); }
  NodeIndex parent(NodeIndex node) const { return nodes_[node].parent; }
  // The node's own name; the root's is its full path.
  std::string_view name(NodeIndex node) const;
  std::string path(NodeIndex node) const;
  NodeRecordKind kind(NodeIndex node) const { return nodes_[node].kind; }
  bool is_container(NodeIndex node) const;
  NodeRecordFlags flags(NodeIndex node) const;
  // The sizes the helper measured for the node itself (0 for folders).
  Sizes own_sizes(NodeIndex node) const;
  // The node's subtree, each hard-link group counted once (0 for a link counted elsewhere).
  Sizes totals(NodeIndex node) const { return totals_[node]; }
  std::optional<NodeRecordIdentity> identity(NodeIndex node) const;
  std::optional<std::string_view> link_target(NodeIndex node) const;
  uint64_t modified_at(NodeIndex node) const { return nodes_[node].modified_at; }
  std::span<const NodeIndex> children(NodeIndex node) const;
  // True for an entry the helper listed but could not measure (a name in a folder that may be
  // read but not searched): a file node without identity, with both sizes and the modification
  // time 0. Its sizes count as 0.
  bool unmeasured(NodeIndex node) const;
  // Members of the node's hard-link group (1 for a node in no group).
  uint32_t link_count(NodeIndex node) const;
  // True for a hard link whose group's size is counted at another member.
  bool counted_elsewhere(NodeIndex node) const { return nodes_[node].counted_elsewhere; }
  const TreeCounts& counts() const { return counts_; }
  PathStyle path_style() const { return style_; }
  // Bytes held by the tree's tables and arena (what a benchmark compares with the node count).
  std::size_t memory_bytes() const;

 private:
  friend class TreeBuilder;
  storage::ChunkedVector<internal::StoredNode> nodes_;
  storage::ChunkedVector<storage::FileIdentity, 13>
      identities_;  // by node; meaningful when has_identity
  storage::ChunkedVector<Sizes> totals_;
  std::vector<NodeIndex> child_begin_;  // children of n: children_[child_begin_[n]..[n + 1])
  std::vector<NodeIndex> children_;
  std::vector<std::pair<NodeIndex, std::pair<uint64_t, uint32_t>>> link_targets_;  // by node
  tsl::robin_map<NodeIndex, uint32_t> link_counts_;  // members of groups only
  NameArena arena_;
  std::string root_path_;
  TreeCounts counts_;
  PathStyle style_ = PathStyle::Posix;
};

// Rebuilds one target's tree from its node records, in the order the helper sent them. Not
// thread-safe.
class TreeBuilder {
 public:
  explicit TreeBuilder(PathStyle style = native_path_style());

  // Adds one node. The first node is the root (no parent); every later node names a parent that
  // was added before it and is a drive or folder, its id is above every id sent so far (gaps are
  // allowed) and its path is the parent's path plus one name. On failure the tree is unchanged.
  [[nodiscard]] tl::expected<void, TreeProblem> add(const elevation::DecodedNode& node);

  NodeIndex node_count() const { return tree_.size(); }

  // Groups hard links, computes every total and the child lists. Fails on an empty tree and when
  // a total would overflow.
  [[nodiscard]] tl::expected<ResultTree, TreeProblem> finish() &&;

 private:
  const std::string& path_of(NodeIndex node);
  void count(NodeIndex index, const internal::StoredNode& stored);
  void group_hard_links();
  // The member of a group of hard links that carries its size: the least in the link order.
  NodeIndex primary_of(std::span<const NodeIndex> group);

  ResultTree tree_;
  internal::IdRuns ids_;
  uint64_t last_id_ = 0;
  // The path of the last parent that path_of gave: `cached_path_`, built in `path_steps_`, one
  // step per node below the root with the path's length after its name.
  struct PathStep {
    NodeIndex node;
    std::size_t path_length;
  };
  std::string cached_path_;
  std::vector<PathStep> path_steps_;
  std::vector<NodeIndex> new_steps_;  // path_of's climb, kept for its buffer
  uint64_t last_parent_id_ = 0;       // the parent named by the node added last...
  NodeIndex last_parent_ = kNoNode;   // ...and its index, known to be a container
  // Per file with an identity: 32 bits of its identity's hash above its index.
  storage::ChunkedVector<uint64_t> link_keys_;
};

}  // namespace ketterlin::host
