// Compact storage of one scan tree's nodes; internal to the storage component (readers use
// NodeTable, storage/node_table.h; mutation goes through ScanTree, storage/model.h).
//
// A drive holds millions of entries, so a node is kept small (36 bytes, plus its name and, for
// a file, 16 bytes of file id):
// - Nodes live in fixed chunks of 16,384 that never move, allocated as the capacity grows by the
//   growth rule: when the storage is full with n nodes it gains exactly max(64, 3 * floor(n / 4))
//   more. Growing copies nothing, the peak never holds two copies of the nodes, and the process
//   asks the system only for what the nodes need, never for address space it may not be granted
//   (a limit on the address space, ulimit -v, binds a reservation made up front). A node is one
//   chunk lookup away.
// - Each node's own name goes into a chunked arena. The node records only where its name ends;
//   the name starts where the previous node's name ends, or at the start of the next chunk when
//   it did not fit into the rest of the previous one. A full path is rebuilt from the names along
//   the parent chain.
// - Children: a container keeps its last child, and siblings form a circular list through
//   next_sibling (the last child's next is the first child): appending and iterating in
//   insertion order cost no allocation.
// - One 32-bit field holds a container's last child or a leaf's identity slot: containers carry
//   no identity and leaves have no children.
// - A leaf's two size fields hold its measured sizes; its totals are the same values unless
//   another member of its hard-link group carries them (a bit says so, totals then read 0). A
//   container's size fields are its accounted totals.
// - A leaf's file id goes into a chunked array; its volume serial, the same for nearly every node
//   of a scan, is an 8-bit index into the tree's small table of serials.
// - Rare facts live in side maps keyed by node id: link targets, hard-link groups, names too long
//   for the arena, and volume serials beyond the table's 255 entries.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <tsl/robin_map.h>

#include "platform/os_string.h"
#include "storage/chunked_vector.h"
#include "storage/node_table.h"

namespace ketterlin::storage::internal {

inline constexpr uint32_t kNoNode = UINT32_MAX;
// Ids run from 0 to 2^32 - 2; kNoNode is never an id.
inline constexpr uint64_t kMaxNodeCount = kNoNode;

// The capacity after growing a full storage of `capacity` nodes.
constexpr uint64_t grown_capacity(uint64_t capacity) {
  const uint64_t growth = 3 * (capacity / 4);
  return capacity + (growth > 64 ? growth : 64);
}

#pragma pack(push, 4)
struct StoredNode {
  uint32_t parent;              // kNoNode for the root
  uint32_t next_sibling;        // circular among the parent's children
  uint32_t link;                // container: last child; leaf: identity slot; kNoNode when none
  uint64_t logical_bytes;       // container: accounted total; leaf: measured size
  uint64_t size_on_disk_bytes;  // likewise
  uint64_t name_end : 40;       // arena offset just past the node's own name
  uint64_t volume : 8;          // leaf with identity: index into the volume serials
  uint64_t kind : 4;            // NodeKind
  uint64_t flags : 4;           // NodeFlags bits
  uint64_t risk : 2;            // RiskLevel
  uint64_t subtree_risk : 2;    // RiskLevel
  uint64_t has_own_size : 1;
  uint64_t counted_elsewhere : 1;  // a hard link whose group's size another member carries
  uint64_t has_link_target : 1;
  uint64_t has_hard_link : 1;
};
#pragma pack(pop)
static_assert(sizeof(StoredNode) == 36);

// A group of two or more nodes sharing one identity.
struct LinkGroup {
  uint32_t primary = kNoNode;
  uint32_t link_count = 0;
};

class TreeStore {
 public:
  // Holds the root only: no parent, the whole `root_path` as its name, `root_kind`, flags 0, no
  // sizes, totals 0, ratings Ordinary.
  TreeStore(platform::OsString root_path, NodeKind root_kind);

  uint32_t count() const { return count_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t node_storage_bytes() const {
    return node_chunks_.size() * (uint64_t{kNodeChunkMask} + 1) * sizeof(StoredNode);
  }
  // Nodes that have an identity.
  uint32_t identity_count() const { return static_cast<uint32_t>(file_ids_.size()); }

  StoredNode& node(uint32_t id) { return node_chunks_[id >> kNodeChunkBits][id & kNodeChunkMask]; }
  const StoredNode& node(uint32_t id) const {
    return node_chunks_[id >> kNodeChunkBits][id & kNodeChunkMask];
  }
  NodeKind kind(uint32_t id) const { return static_cast<NodeKind>(node(id).kind); }

  // Appends a node under the container `parent` from `entry`: totals equal to the own size
  // (0 and 0 without one), ratings Ordinary, no hard-link facts. Grows the storage by the growth
  // rule when it is full. Returns the new id. Stops the thread when the tree already holds
  // kMaxNodeCount nodes. Preconditions (checked by the caller): `parent` < count() and is a
  // container; `entry.name` is not empty.
  uint32_t append(uint32_t parent, const NodeEntry& entry);

  bool has_identity(uint32_t id) const {
    const StoredNode& stored = node(id);
    return !is_container(static_cast<NodeKind>(stored.kind)) && stored.link != kNoNode;
  }
  // Precondition: has_identity(id).
  FileIdentity identity(uint32_t id) const {
    const StoredNode& stored = node(id);
    FileIdentity identity;
    identity.file_id = file_ids_[stored.link];
    identity.volume_serial = stored.volume == kVolumeInSideMap ? unlisted_volume_serials_.at(id)
                                                               : volume_serials_[stored.volume];
    return identity;
  }

  std::optional<platform::OsStringView> link_target(uint32_t id) const;

  // kNoNode when the node is not a container or has no children.
  uint32_t last_child(uint32_t id) const {
    const StoredNode& stored = node(id);
    return is_container(static_cast<NodeKind>(stored.kind)) ? stored.link : kNoNode;
  }

  // Calls `visit(child)` for each child of `id` in insertion order.
  template <typename Visit>
  void for_each_child(uint32_t id, Visit visit) const {
    const uint32_t last = last_child(id);
    if (last == kNoNode) return;
    uint32_t child = node(last).next_sibling;
    while (true) {
      visit(child);
      if (child == last) return;
      child = node(child).next_sibling;
    }
  }

  NodeSizes totals(uint32_t id) const {
    const StoredNode& stored = node(id);
    if (stored.counted_elsewhere) return {};
    return {stored.logical_bytes, stored.size_on_disk_bytes};
  }

  // The node's own name; the root's is its whole path.
  platform::OsStringView name(uint32_t id) const;
  void append_path(uint32_t id, platform::OsString& out) const;
  platform::OsString path(uint32_t id) const;

  // Hard-link groups. A node belongs to at most one group.
  std::optional<HardLinkInfo> hard_link(uint32_t id) const;
  // The group of a node whose has_hard_link is set.
  uint32_t group_of(uint32_t id) const { return group_of_node_.at(id); }
  LinkGroup& group(uint32_t group) { return groups_[group]; }
  // A new group with no members yet and `primary` as its primary; returns its index.
  uint32_t new_group(uint32_t primary);
  // Adds `member` (in no group yet) to `group` and sets its has_hard_link.
  void join_group(uint32_t group, uint32_t member);
  // Forgets every group and clears has_hard_link and counted_elsewhere on every node.
  void clear_hard_links();

 private:
  using FileId = std::array<uint8_t, 16>;
  static constexpr unsigned kNodeChunkBits = 14;
  static constexpr uint32_t kNodeChunkMask = (uint32_t{1} << kNodeChunkBits) - 1;
  // StoredNode::volume of a node whose serial is kept in unlisted_volume_serials_.
  static constexpr uint8_t kVolumeInSideMap = 255;
  static constexpr uint64_t kNameChunkUnits = uint64_t{1} << 16;
  static constexpr uint64_t kMaxNameUnits = uint64_t{1} << 40;  // StoredNode::name_end's range
  // Longer names go to long_names_, leaving an empty range in the arena.
  static constexpr std::size_t kMaxArenaNameUnits = 1024;

  // Makes room for `capacity` nodes; throws std::bad_alloc when the system refuses.
  void commit_capacity(uint64_t capacity);
  uint64_t store_name(uint32_t id, platform::OsStringView name);
  // Stores the identity of the new node `stored` (id `id`): its file id slot and volume.
  void store_identity(uint32_t id, const FileIdentity& identity, StoredNode& stored);
  void link_child(uint32_t parent, uint32_t child);

  platform::OsString root_path_;
  uint32_t count_ = 0;
  std::vector<std::unique_ptr<StoredNode[]>> node_chunks_;  // each of kNodeChunkMask + 1 nodes
  uint64_t capacity_ = 0;
  std::vector<std::unique_ptr<platform::OsChar[]>> name_chunks_;
  uint64_t names_end_ = 0;
  ChunkedVector<FileId, 12> file_ids_;    // by StoredNode::link
  std::vector<uint64_t> volume_serials_;  // at most kVolumeInSideMap entries
  tsl::robin_map<uint32_t, uint64_t> unlisted_volume_serials_;
  tsl::robin_map<uint32_t, platform::OsString> long_names_;
  tsl::robin_map<uint32_t, platform::OsString> link_targets_;
  tsl::robin_map<uint32_t, uint32_t> group_of_node_;
  std::vector<LinkGroup> groups_;
};

}  // namespace ketterlin::storage::internal
