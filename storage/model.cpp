// Accounting of the scan tree. Two ways reach the same tree:
// - Incremental (accounting on): add_entry rates the new node, settles its hard-link group and
//   adds its totals and subtree rating to every ancestor. When a new hard link precedes the
//   group's primary in the link order, the old primary's totals are taken back from its
//   ancestors and the new node's are added instead.
// - Recomputation in finish (no accounting, or another policy): hard links in two passes over
//   the nodes with an identity, then ratings, then totals in one pass from the highest id down
//   (children always have higher ids than their parents).
// The link order (storage/hard_links.h) is a total order on the members of a group, so a group's
// primary is its least member whatever order the walk found them in.
#include "storage/model.h"

#include <algorithm>
#include <string>
#include <utility>

#include <tsl/robin_map.h>
#include <tsl/robin_set.h>

#include "platform/panic.h"
#include "storage/hard_links.h"
#include "storage/tree_store.h"
#include "storage/windows_path.h"

namespace ketterlin::storage {

using internal::kNoNode;
using internal::StoredNode;
using internal::TreeStore;

namespace {

std::optional<uint64_t> checked_add(uint64_t a, uint64_t b) {
  if (b > UINT64_MAX - a) return std::nullopt;
  return a + b;
}

// Hash and equality that see a node id as the identity stored for it, so that identity-keyed
// tables hold 4-byte node ids instead of 24-byte identities. Only ids of nodes that have an
// identity may go into such a table. Lookups may also pass a FileIdentity.
struct IdentityHash {
  using is_transparent = void;

  std::size_t operator()(const FileIdentity& identity) const {
    return static_cast<std::size_t>(identity_hash(identity));
  }
  std::size_t operator()(uint32_t node) const { return (*this)(store->identity(node)); }

  const TreeStore* store;
};

struct IdentityEqual {
  using is_transparent = void;

  bool operator()(uint32_t a, uint32_t b) const { return store->identity(a) == store->identity(b); }
  bool operator()(uint32_t a, const FileIdentity& b) const { return store->identity(a) == b; }
  bool operator()(const FileIdentity& a, uint32_t b) const { return a == store->identity(b); }

  const TreeStore* store;
};

// Identity-keyed tables store 32 bits of each hash beside the id: probing and growing then
// compare and place entries without reading the identities back from the nodes.
constexpr bool kStoreHash = true;
constexpr float kMaxLoadFactor = 0.9f;

// One node id per identity: the identity's current primary.
using PrimaryIndex =
    tsl::robin_set<uint32_t, IdentityHash, IdentityEqual, std::allocator<uint32_t>, kStoreHash>;

void check_entry(const NodeEntry& entry) {
  if (!is_valid(entry.kind)) {
    platform::panic("node kind " + std::to_string(static_cast<int>(entry.kind)) +
                    " does not exist");
  }
  if (entry.name.empty()) platform::panic("entry name is empty");
  if (is_container(entry.kind) && (entry.own_size || entry.identity)) {
    platform::panic("a Drive or Folder entry carries no own size or identity");
  }
}

// The names from below the root down to `id`: the components in which paths of one tree differ.
std::vector<platform::OsStringView> names_below_root(const TreeStore& nodes, uint32_t id) {
  std::vector<platform::OsStringView> names;
  for (uint32_t current = id; current != 0; current = nodes.node(current).parent) {
    names.push_back(nodes.name(current));
  }
  std::reverse(names.begin(), names.end());
  return names;
}

}  // namespace

std::string to_string(const TreeError& error) {
  switch (error.kind) {
    case TreeErrorKind::NodeMissing:
      return "node " + std::to_string(error.node) + " does not exist";
    case TreeErrorKind::CannotHaveChildren:
      return "node " + std::to_string(error.node) + " cannot have children";
    case TreeErrorKind::VolumeUsageRequiresDrive:
      return "volume usage can only be applied to a Drive scan";
    case TreeErrorKind::SizeOverflow:
      return "size overflow at node " + std::to_string(error.node);
  }
  platform::panic("invalid TreeErrorKind");
}

// The state of incremental accounting.
struct ScanTree::Accounting {
  Accounting(RiskPolicy policy_copy, const TreeStore* nodes)
      : policy(std::move(policy_copy)),
        primary_by_identity(0, IdentityHash{nodes}, IdentityEqual{nodes}) {
    primary_by_identity.max_load_factor(kMaxLoadFactor);
  }

  RiskPolicy policy;  // rates the added nodes
  PrimaryIndex primary_by_identity;
  uint64_t restricted_count = 0;  // nodes whose kind is Restricted
  bool has_deduplicated = false;  // some added node carries the deduplicated flag
};

ScanTree::ScanTree(platform::OsString root_path, NodeKind root_kind)
    : NodeTable(std::move(root_path), root_kind) {}

ScanTree::ScanTree(ScanTree&&) noexcept = default;
ScanTree& ScanTree::operator=(ScanTree&&) noexcept = default;
ScanTree::~ScanTree() = default;

void ScanTree::enable_accounting(RiskPolicy policy) {
  platform::check(store().count() == 1, "enable accounting before adding entries");
  accounting_ = std::make_unique<Accounting>(std::move(policy), &store());
  StoredNode& root = store().node(0);
  root.risk = root.subtree_risk = static_cast<uint8_t>(rate(0, accounting_->policy));
  // Keeps the counter equal to the number of Restricted nodes even for a marked root.
  if (store().kind(0) == NodeKind::Restricted) accounting_->restricted_count = 1;
}

tl::expected<NodeId, TreeError> ScanTree::add_entry(NodeId parent, const NodeEntry& entry) {
  TreeStore& nodes = store();
  if (parent >= nodes.count()) return tl::unexpected(TreeError::node_missing(parent));
  const auto parent_id = static_cast<uint32_t>(parent);
  if (!is_container(nodes.kind(parent_id))) {
    return tl::unexpected(TreeError::cannot_have_children(parent));
  }
  check_entry(entry);
  const uint32_t id = nodes.append(parent_id, entry);
  if (!accounting_) return id;

  StoredNode& node = nodes.node(id);
  node.risk = node.subtree_risk = static_cast<uint8_t>(rate(id, accounting_->policy));
  if (entry.kind == NodeKind::Restricted) ++accounting_->restricted_count;
  if (entry.flags.has(NodeFlags::kDeduplicated)) accounting_->has_deduplicated = true;
  if (entry.identity) join_identity_group(id);
  if (auto added = add_to_ancestors(id); !added) return tl::unexpected(added.error());
  return id;
}

RiskLevel ScanTree::rate(uint32_t id, const RiskPolicy& policy) const {
  if (store().kind(id) == NodeKind::Drive) return RiskLevel::High;
  // The empty policy rates every path Ordinary: no path to build or normalise.
  if (policy.is_empty()) return RiskLevel::Ordinary;
  return classify_risk(policy, normalize_path(store().path(id)));
}

bool ScanTree::precedes(uint32_t a, uint32_t b) const {
  // The stored names are the system's raw names: their own comparison is the raw order.
  return link_precedes(
      a, normalize_path(store().path(a)), b, normalize_path(store().path(b)),
      [this](uint32_t node) { return names_below_root(store(), node); },
      [](platform::OsStringView x, platform::OsStringView y) { return x.compare(y); });
}

void ScanTree::join_identity_group(uint32_t id) {
  TreeStore& nodes = store();
  PrimaryIndex& primaries = accounting_->primary_by_identity;
  const auto [found, inserted] = primaries.insert(id);
  if (inserted) return;  // the first node with this identity is its primary

  const uint32_t primary = *found;
  uint32_t group = kNoNode;
  if (nodes.node(primary).has_hard_link) {
    group = nodes.group_of(primary);
  } else {
    group = nodes.new_group(primary);
    nodes.join_group(group, primary);
  }
  nodes.join_group(group, id);
  if (!precedes(id, primary)) {
    nodes.node(id).counted_elsewhere = 1;
    return;
  }
  // The new node carries the group's size from now on: the old primary's share goes back.
  primaries.erase(found);
  primaries.insert(id);
  nodes.group(group).primary = id;
  const NodeSizes moved = nodes.totals(primary);
  nodes.node(primary).counted_elsewhere = 1;
  take_from_ancestors(primary, moved);
}

tl::expected<void, TreeError> ScanTree::add_to_ancestors(uint32_t id) {
  TreeStore& nodes = store();
  const NodeSizes sizes = nodes.totals(id);
  const uint64_t risk = nodes.node(id).subtree_risk;
  for (uint32_t ancestor = nodes.node(id).parent; ancestor != kNoNode;) {
    StoredNode& node = nodes.node(ancestor);
    const std::optional<uint64_t> logical = checked_add(node.logical_bytes, sizes.logical_bytes);
    const std::optional<uint64_t> on_disk =
        checked_add(node.size_on_disk_bytes, sizes.size_on_disk_bytes);
    if (!logical || !on_disk) return tl::unexpected(TreeError::size_overflow(ancestor));
    node.logical_bytes = *logical;
    node.size_on_disk_bytes = *on_disk;
    node.subtree_risk = std::max<uint64_t>(node.subtree_risk, risk);
    ancestor = node.parent;
  }
  return {};
}

void ScanTree::take_from_ancestors(uint32_t id, NodeSizes sizes) {
  TreeStore& nodes = store();
  // Never underflows: exactly these amounts were added to the same ancestors before.
  for (uint32_t ancestor = nodes.node(id).parent; ancestor != kNoNode;) {
    StoredNode& node = nodes.node(ancestor);
    node.logical_bytes -= sizes.logical_bytes;
    node.size_on_disk_bytes -= sizes.size_on_disk_bytes;
    ancestor = node.parent;
  }
}

uint32_t ScanTree::checked_for_marking(NodeId node) const {
  const uint32_t id = checked(node);
  platform::check(store().last_child(id) == kNoNode, "assertion failed: node.children.is_empty()");
  return id;
}

void ScanTree::mark_restricted(NodeId node) {
  const uint32_t id = checked_for_marking(node);
  StoredNode& stored = store().node(id);
  // Counted once per node, however often it is marked.
  if (accounting_ && stored.kind != static_cast<uint8_t>(NodeKind::Restricted)) {
    ++accounting_->restricted_count;
  }
  stored.kind = static_cast<uint8_t>(NodeKind::Restricted);
}

void ScanTree::mark_mount_point(NodeId node) {
  const uint32_t id = checked_for_marking(node);
  StoredNode& stored = store().node(id);
  if (accounting_ && stored.kind == static_cast<uint8_t>(NodeKind::Restricted)) {
    --accounting_->restricted_count;
  }
  stored.kind = static_cast<uint8_t>(NodeKind::VolumeMountPoint);
}

tl::expected<FinishedTree, TreeError> ScanTree::finish(const RiskPolicy& policy,
                                                       std::optional<ElevatedVolume> volume) && {
  if (volume && store().kind(0) != NodeKind::Drive) {
    return tl::unexpected(TreeError::volume_usage_requires_drive());
  }
  std::optional<FileSystemKind> file_system = file_system_;
  if (volume) file_system = volume->file_system;
  std::vector<MeasurementNote> notes;
  if (file_system == FileSystemKind::ReFs) notes.push_back(MeasurementNote::RefsVolume);
  if (accounting_ ? accounting_->has_deduplicated : any_deduplicated()) {
    notes.push_back(MeasurementNote::DeduplicatedData);
  }
  if (!accounting_ || accounting_->policy != policy) {
    if (auto recomputed = recompute(policy); !recomputed) {
      return tl::unexpected(recomputed.error());
    }
  }
  std::optional<NodeId> unknown_space;
  if (volume) {
    auto added = add_unknown_space(volume->used_bytes);
    if (!added) return tl::unexpected(added.error());
    unknown_space = *added;
  }
  const uint64_t restricted = accounting_ ? accounting_->restricted_count : count_restricted();
  accounting_.reset();

  FinishedTree finished(std::move(static_cast<NodeTable&>(*this)));
  finished.file_system_ = file_system;
  finished.unknown_space_ = unknown_space;
  if (volume) finished.volume_used_bytes_ = volume->used_bytes;
  finished.notes_ = std::move(notes);
  finished.restricted_count_ = restricted;
  finished.policy_ = policy;
  return finished;
}

tl::expected<std::optional<NodeId>, TreeError> ScanTree::add_unknown_space(uint64_t used_bytes) {
  TreeStore& nodes = store();
  const uint64_t measured = nodes.node(0).size_on_disk_bytes;
  if (used_bytes <= measured) return std::nullopt;
  const uint64_t unaccounted = used_bytes - measured;
  const platform::OsString name = platform::from_utf8(kUnknownSpaceName);
  NodeEntry entry;
  entry.name = name;
  entry.kind = NodeKind::UnknownSpace;
  const uint32_t id = nodes.append(0, entry);
  nodes.node(id).size_on_disk_bytes = unaccounted;
  const std::optional<uint64_t> root_total = checked_add(measured, unaccounted);
  if (!root_total) return tl::unexpected(TreeError::size_overflow(0));
  nodes.node(0).size_on_disk_bytes = *root_total;
  return id;
}

tl::expected<void, TreeError> ScanTree::recompute(const RiskPolicy& policy) {
  recompute_hard_links();
  TreeStore& nodes = store();
  for (uint32_t id = 0; id < nodes.count(); ++id) {
    StoredNode& node = nodes.node(id);
    node.risk = node.subtree_risk = static_cast<uint8_t>(rate(id, policy));
  }
  return recompute_totals();
}

void ScanTree::recompute_hard_links() {
  TreeStore& nodes = store();
  nodes.clear_hard_links();
  struct Tally {
    uint32_t primary;
    uint32_t count;
    uint32_t group;  // kNoNode until the second pass creates it
  };
  tsl::robin_map<uint32_t, Tally, IdentityHash, IdentityEqual,
                 std::allocator<std::pair<uint32_t, Tally>>, kStoreHash>
      tallies(0, IdentityHash{&nodes}, IdentityEqual{&nodes});
  tallies.max_load_factor(kMaxLoadFactor);
  tallies.reserve(nodes.identity_count());
  for (uint32_t id = 0; id < nodes.count(); ++id) {
    if (!nodes.has_identity(id)) continue;
    const auto [found, inserted] = tallies.try_emplace(id, Tally{id, 1, kNoNode});
    if (inserted) continue;
    Tally& tally = found.value();
    ++tally.count;
    if (precedes(id, tally.primary)) tally.primary = id;
  }
  for (uint32_t id = 0; id < nodes.count(); ++id) {
    if (!nodes.has_identity(id)) continue;
    Tally& tally = tallies.find(id).value();
    if (tally.count < 2) continue;
    if (tally.group == kNoNode) tally.group = nodes.new_group(tally.primary);
    nodes.join_group(tally.group, id);
    if (id != tally.primary) nodes.node(id).counted_elsewhere = 1;
  }
}

tl::expected<void, TreeError> ScanTree::recompute_totals() {
  TreeStore& nodes = store();
  for (uint32_t id = nodes.count(); id-- > 0;) {
    if (!is_container(nodes.kind(id))) continue;
    std::optional<uint64_t> logical = 0;
    std::optional<uint64_t> on_disk = 0;
    uint64_t risk = nodes.node(id).risk;
    nodes.for_each_child(id, [&](uint32_t child) {
      const NodeSizes sizes = nodes.totals(child);
      if (logical) logical = checked_add(*logical, sizes.logical_bytes);
      if (on_disk) on_disk = checked_add(*on_disk, sizes.size_on_disk_bytes);
      risk = std::max<uint64_t>(risk, nodes.node(child).subtree_risk);
    });
    if (!logical || !on_disk) return tl::unexpected(TreeError::size_overflow(id));
    StoredNode& node = nodes.node(id);
    node.logical_bytes = *logical;
    node.size_on_disk_bytes = *on_disk;
    node.subtree_risk = risk;
  }
  return {};
}

bool ScanTree::any_deduplicated() const {
  for (uint32_t id = 0; id < store().count(); ++id) {
    if (store().node(id).flags & NodeFlags::kDeduplicated) return true;
  }
  return false;
}

uint64_t ScanTree::count_restricted() const {
  uint64_t count = 0;
  for (uint32_t id = 0; id < store().count(); ++id) {
    if (store().kind(id) == NodeKind::Restricted) ++count;
  }
  return count;
}

}  // namespace ketterlin::storage
