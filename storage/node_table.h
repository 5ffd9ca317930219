// The nodes of one scan tree as its readers see them: the node vocabulary (kinds, flags,
// identities, sizes, hard-link facts), the entry a caller hands to the tree, and NodeTable, the
// read-only view that both the growing ScanTree and the FinishedTree offer (storage/model.h).
//
// Nodes are stored compactly (storage/tree_store.h): a node keeps its own name, not its full
// path; the path is rebuilt on demand from the names along the parent chain.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/os_string.h"
#include "storage/risk.h"

namespace ketterlin::storage {

// Index of a node: dense, assigned in insertion order, the root is 0; a node's parent always has
// a smaller id than the node.
using NodeId = uint64_t;

// One byte; the values are part of the interface. The four link kinds carry the directory
// reader's LinkKind value. Only Drive and Folder are containers (may have children). 8 is unused.
enum class NodeKind : uint8_t {
  SymbolicLink = 0,
  Junction = 1,
  VolumeMountPoint = 2,
  OtherLink = 3,
  Drive = 4,
  Folder = 5,
  File = 6,
  Restricted = 7,
  UnknownSpace = 9,
};

// Whether `kind` is one of the values above.
bool is_valid(NodeKind kind);
// Drive and Folder.
bool is_container(NodeKind kind);

// The directory reader's entry flags, stored unchanged. Only the four bits below exist: the
// other bits of a value given to the constructor are dropped.
struct NodeFlags {
  static constexpr uint8_t kCloudOnly = 1;
  static constexpr uint8_t kCompressed = 2;
  static constexpr uint8_t kSparse = 4;
  static constexpr uint8_t kDeduplicated = 8;
  static constexpr uint8_t kAllBits = 15;

  constexpr NodeFlags() = default;
  // Implicit on purpose: the reader's flag byte converts as it is.
  constexpr NodeFlags(uint8_t value) : bits(value & kAllBits) {}  // NOLINT(google-explicit-*)

  constexpr bool has(uint8_t flag) const { return (bits & flag) != 0; }

  uint8_t bits = 0;

  friend bool operator==(NodeFlags, NodeFlags) = default;
};

// A file-system object's identity: equal identities are hard links to one file.
struct FileIdentity {
  std::array<uint8_t, 16> file_id{};  // the 16 bytes the file system reports
  uint64_t volume_serial = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct NodeSizes {
  uint64_t logical_bytes = 0;
  uint64_t size_on_disk_bytes = 0;

  friend bool operator==(const NodeSizes&, const NodeSizes&) = default;
};

// Set on every member of a group of two or more nodes that share one identity.
struct HardLinkInfo {
  NodeId primary = 0;       // the member that carries the group's size
  uint64_t link_count = 0;  // members of the group, the primary included

  friend bool operator==(const HardLinkInfo&, const HardLinkInfo&) = default;
};

// What a caller hands to ScanTree::add_entry; the new node takes it over (the views are copied).
struct NodeEntry {
  // The node's own name: one non-empty path component without separators. The node's full path
  // is its parent's path joined with this name by platform::join_path's rule (one separator in
  // between, none added when the parent's path already ends with one, as a root such as "C:\"
  // or "/" does). So a caller that builds child paths with join_path loses nothing.
  platform::OsStringView name;
  NodeKind kind = NodeKind::File;
  NodeFlags flags;
  // Measured sizes of the entry itself; a Drive or Folder entry carries none.
  std::optional<NodeSizes> own_size;
  // A Drive or Folder entry carries none.
  std::optional<FileIdentity> identity;
  std::optional<platform::OsStringView> link_target;
};

namespace internal {
class TreeStore;
}

class NodeTable;

// The children of one node in the order they were added; iterating allocates nothing. Valid
// while the table is not changed.
class ChildRange {
 public:
  class Iterator {
   public:
    using value_type = NodeId;
    using difference_type = std::ptrdiff_t;

    NodeId operator*() const { return current_; }
    Iterator& operator++();
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator&, const Iterator&) = default;

   private:
    friend class ChildRange;
    Iterator(const internal::TreeStore* store, uint32_t current, uint32_t last)
        : store_(store), current_(current), last_(last) {}

    const internal::TreeStore* store_ = nullptr;
    uint32_t current_ = 0;  // kNoNode at the end
    uint32_t last_ = 0;
  };

  Iterator begin() const;
  Iterator end() const;
  bool empty() const { return begin() == end(); }

 private:
  friend class NodeTable;
  ChildRange(const internal::TreeStore* store, uint32_t last_child)
      : store_(store), last_child_(last_child) {}

  const internal::TreeStore* store_;
  uint32_t last_child_;  // kNoNode when there are none
};

// Read access to the nodes of a tree. Every accessor takes an id below node_count(); any other
// id is a programming error that stops the calling thread ("index out of bounds: the len is N
// but the index is I"). Not synchronised: on a growing tree, read under the lock that guards it.
class NodeTable {
 public:
  NodeTable(NodeTable&&) noexcept;
  NodeTable& operator=(NodeTable&&) noexcept;
  ~NodeTable();

  uint64_t node_count() const;
  // Nodes the storage holds room for; follows the growth rule of storage/tree_store.h.
  uint64_t capacity() const;
  // Bytes held by the node records (not names, identities or side maps), for measurements.
  uint64_t node_storage_bytes() const;

  // Absent only for the root.
  std::optional<NodeId> parent(NodeId id) const;
  NodeKind kind(NodeId id) const;
  NodeFlags flags(NodeId id) const;
  // The sizes measured for the entry itself, when it had any.
  std::optional<NodeSizes> own_size(NodeId id) const;
  std::optional<FileIdentity> identity(NodeId id) const;
  // A view into the table's storage; valid while the table lives.
  std::optional<platform::OsStringView> link_target(NodeId id) const;
  std::optional<HardLinkInfo> hard_link(NodeId id) const;
  // Accounted totals of the node's subtree (a file: its own size, or 0 and 0 when another member
  // of its hard-link group carries the size).
  NodeSizes totals(NodeId id) const;
  RiskLevel risk(NodeId id) const;
  // The highest rating of the node and its descendants.
  RiskLevel subtree_risk(NodeId id) const;

  ChildRange children(NodeId id) const;
  bool has_children(NodeId id) const;

  // The node's own name as given to add_entry; the root's is its whole path. A view into the
  // table's storage, valid while the table lives.
  platform::OsStringView name(NodeId id) const;
  // Appends the node's full path to `out` (whatever `out` held stays in front).
  void append_path(NodeId id, platform::OsString& out) const;
  platform::OsString path(NodeId id) const;

 protected:
  // A table holding only the root, with the given full path and kind.
  NodeTable(platform::OsString root_path, NodeKind root_kind);

  internal::TreeStore& store() { return *store_; }
  const internal::TreeStore& store() const { return *store_; }

  // Stops the thread unless `id` < node_count(); returns it narrowed.
  uint32_t checked(NodeId id) const;

 private:
  // On the heap so that its address survives moves of the table: the identity index hashes
  // through a pointer to it.
  std::unique_ptr<internal::TreeStore> store_;
};

// Builds the full paths of many nodes, one at a time, into one reused buffer. When a node has
// the same parent as the node before it (as most do in a walk in id order, where the children of
// one folder are mostly contiguous), only the name is rewritten, so a path costs about its own
// name instead of its depth. Borrows `table`, which must outlive it and not change meanwhile.
class PathWriter {
 public:
  explicit PathWriter(const NodeTable& table) : table_(table) {}

  // The full path of `id`, equal to table.path(id); valid until the next call.
  platform::OsStringView path(NodeId id);

 private:
  const NodeTable& table_;
  platform::OsString buffer_;
  std::optional<NodeId> cached_parent_;  // whose path buffer_ starts with
  std::size_t parent_length_ = 0;
};

}  // namespace ketterlin::storage
