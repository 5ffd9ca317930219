// The scan tree model: what one scan learns about one scan root. One node per folder, file and
// link in the order found, measured sizes for files, accounted totals for every folder, file
// identities with hard-link groups, a risk rating per node, and for a whole-drive scan an
// "Unknown Space" node that reconciles the tree with the volume's used bytes.
//
// Calling order: construct a ScanTree with its root, enable_accounting, then any number of
// add_entry, mark_restricted, mark_mount_point and set_file_system, then finish once, which
// turns it into a FinishedTree. With accounting on, every added node is rated and accounted at
// once (totals up the ancestors, hard-link primaries, ratings); without it the tree only records
// nodes, and finish does all accounting in three passes. finish also recomputes when its policy
// differs from the one accounting used. Both ways give the same tree.
//
// No internal synchronisation: one thread at a time mutates a tree (the scan coordinator, under
// the live-scan lock); readers of a growing tree hold the same lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include "platform/os_string.h"
#include "storage/node_table.h"
#include "storage/risk.h"
#include "storage/volume.h"

namespace ketterlin::storage {

enum class TreeErrorKind : uint8_t {
  NodeMissing,               // "node <id> does not exist"
  CannotHaveChildren,        // "node <id> cannot have children"
  VolumeUsageRequiresDrive,  // "volume usage can only be applied to a Drive scan"
  SizeOverflow,              // "size overflow at node <id>"
};

// The model's error. Its display text reaches the host as a scan failure's message.
struct TreeError {
  TreeErrorKind kind = TreeErrorKind::NodeMissing;
  NodeId node = 0;  // the node the text names; 0 for VolumeUsageRequiresDrive

  static TreeError node_missing(NodeId node) { return {TreeErrorKind::NodeMissing, node}; }
  static TreeError cannot_have_children(NodeId node) {
    return {TreeErrorKind::CannotHaveChildren, node};
  }
  static TreeError volume_usage_requires_drive() {
    return {TreeErrorKind::VolumeUsageRequiresDrive, 0};
  }
  static TreeError size_overflow(NodeId node) { return {TreeErrorKind::SizeOverflow, node}; }

  friend bool operator==(const TreeError&, const TreeError&) = default;
};

// The display text; the id in decimal.
std::string to_string(const TreeError& error);

// Facts a consumer should know about the measurement. The values are part of the interface.
enum class MeasurementNote : uint8_t {
  RefsVolume = 0,        // the finished tree's file system is reFs
  DeduplicatedData = 1,  // some node carries the deduplicated flag
};

// The text used for the Unknown Space node's name, joined to the root path.
inline constexpr std::string_view kUnknownSpaceName = "Unknown Space";

// The finished, read-only tree: the nodes after accounting, the Unknown Space node (when one was
// added) last, and a summary.
class FinishedTree : public NodeTable {
 public:
  FinishedTree(FinishedTree&&) noexcept = default;
  FinishedTree& operator=(FinishedTree&&) noexcept = default;

  NodeId root() const { return 0; }
  // The volume's file system when finish received a volume, else the one the traversal set.
  std::optional<FileSystemKind> file_system() const { return file_system_; }
  std::optional<NodeId> unknown_space() const { return unknown_space_; }
  // The used bytes given to finish, when a volume was given.
  std::optional<uint64_t> volume_used_bytes() const { return volume_used_bytes_; }
  // At most one of each, RefsVolume first.
  const std::vector<MeasurementNote>& notes() const { return notes_; }
  // Number of Restricted nodes.
  uint64_t restricted_count() const { return restricted_count_; }
  // A copy of the policy given to finish.
  const RiskPolicy& policy() const { return policy_; }

 private:
  friend class ScanTree;
  explicit FinishedTree(NodeTable&& nodes) : NodeTable(std::move(nodes)) {}

  std::optional<FileSystemKind> file_system_;
  std::optional<NodeId> unknown_space_;
  std::optional<uint64_t> volume_used_bytes_;
  std::vector<MeasurementNote> notes_;
  uint64_t restricted_count_ = 0;
  RiskPolicy policy_;
};

// The tree while a scan builds it. Move-only. Programming errors (documented per operation) stop
// the calling thread with platform::panic; running out of memory throws std::bad_alloc, as any
// allocation does; every other failure is a TreeError value.
class ScanTree : public NodeTable {
 public:
  // A tree holding only its root: the given full path and kind (Drive for a whole volume, else
  // Folder), no accounting, no file system.
  ScanTree(platform::OsString root_path, NodeKind root_kind);
  ScanTree(ScanTree&&) noexcept;
  ScanTree& operator=(ScanTree&&) noexcept;
  ~ScanTree();

  // Switches incremental accounting on with a copy of `policy`, replacing any earlier
  // accounting, and rates the root (High for a Drive, else by the policy). Only while the tree
  // holds the root alone; otherwise stops the thread with "enable accounting before adding
  // entries".
  void enable_accounting(RiskPolicy policy);
  bool accounting_enabled() const { return accounting_ != nullptr; }

  // Adds a node under `parent` and returns its id (the previous node count). Fails, leaving the
  // tree unchanged, with NodeMissing when `parent` does not exist and CannotHaveChildren when it
  // is not a Drive or Folder. With accounting, fails with SizeOverflow naming the first ancestor
  // whose total would pass 2^64 - 1; the node then stays and the tree is inconsistent (discard
  // it). Stops the thread when the entry breaks NodeEntry's rules (empty name, a container entry
  // with a size or an identity, a kind that does not exist).
  [[nodiscard]] tl::expected<NodeId, TreeError> add_entry(NodeId parent, const NodeEntry& entry);

  // The folder's listing failed: its kind becomes Restricted. Totals, ratings and flags stay.
  // Stops the thread when `node` does not exist or has children
  // ("assertion failed: node.children.is_empty()").
  void mark_restricted(NodeId node);
  // The folder lies on another volume: its kind becomes VolumeMountPoint. Same stops.
  void mark_mount_point(NodeId node);

  void set_file_system(FileSystemKind kind) { file_system_ = kind; }
  std::optional<FileSystemKind> file_system() const { return file_system_; }

  // Consumes the tree. Recomputes all accounting unless accounting is on with a policy equal to
  // `policy`. With a volume: the root must be a Drive (else VolumeUsageRequiresDrive, nothing
  // else done); when the volume's used bytes exceed the root's on-disk total, an Unknown Space
  // node (path: root path joined with "Unknown Space") takes the difference. Fails with
  // SizeOverflow when a recomputed container total would pass 2^64 - 1.
  [[nodiscard]] tl::expected<FinishedTree, TreeError> finish(
      const RiskPolicy& policy, std::optional<ElevatedVolume> volume) &&;

 private:
  struct Accounting;

  uint32_t checked_for_marking(NodeId node) const;
  RiskLevel rate(uint32_t id, const RiskPolicy& policy) const;
  bool precedes(uint32_t a, uint32_t b) const;
  void join_identity_group(uint32_t id);
  tl::expected<void, TreeError> add_to_ancestors(uint32_t id);
  void take_from_ancestors(uint32_t id, NodeSizes sizes);
  tl::expected<void, TreeError> recompute(const RiskPolicy& policy);
  void recompute_hard_links();
  tl::expected<void, TreeError> recompute_totals();
  tl::expected<std::optional<NodeId>, TreeError> add_unknown_space(uint64_t used_bytes);
  bool any_deduplicated() const;
  uint64_t count_restricted() const;

  std::optional<FileSystemKind> file_system_;
  std::unique_ptr<Accounting> accounting_;  // absent until enable_accounting
};

}  // namespace ketterlin::storage
