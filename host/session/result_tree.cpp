#include "host/session/result_tree.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/unicode.h"
#include "storage/hard_links.h"
#include "storage/windows_path.h"

namespace ketterlin::host {

using internal::StoredNode;

std::string to_string(const TreeProblem& problem) {
  using Kind = TreeProblem::Kind;
  const std::string id = std::to_string(problem.id);
  const std::string other = std::to_string(problem.other);
  switch (problem.kind) {
    case Kind::FirstNodeHasParent:
      return "the first node " + id + " names a parent";
    case Kind::SecondRoot:
      return "node " + id + " names no parent but is not the first node";
    case Kind::DuplicateId:
      return "node " + id + " was sent twice";
    case Kind::IdOutOfOrder:
      return "node " + id + " arrived after node " + other;
    case Kind::UnknownParent:
      return "node " + id + " names parent " + other + ", which was not sent before it";
    case Kind::ParentNotContainer:
      return "node " + id + " lies under node " + other + ", which cannot have children";
    case Kind::PathNotBelowParent:
      return "the path of node " + id + " is not its parent's path and one name";
    case Kind::NameTooLong:
      return "a name or link target of node " + id + " is too long";
    case Kind::TooManyNodes:
      return "the tree has more nodes than the host can hold";
    case Kind::SizeOverflow:
      return "size overflow at node " + id;
    case Kind::Empty:
      return "the tree has no nodes";
  }
  return "TreeProblem(" + std::to_string(static_cast<unsigned>(problem.kind)) + ")";
}

uint64_t NameArena::add(std::string_view text) {
  if (text.size() > kBlockBytes - used_in_last_) {
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockBytes));
    used_in_last_ = 0;
  }
  const uint64_t position = (blocks_.size() - 1) * kBlockBytes + used_in_last_;
  if (!text.empty()) std::memcpy(blocks_.back().get() + used_in_last_, text.data(), text.size());
  used_in_last_ += text.size();
  return position;
}

namespace internal {

void IdRuns::append(uint64_t id, NodeIndex index) {
  if (!runs_.empty()) {
    const Run& last = runs_.back();
    if (id - last.first_id == index - last.first_index) return;  // continues the last run
  }
  runs_.push_back({id, index});
}

std::optional<NodeIndex> IdRuns::find(uint64_t id, NodeIndex count) const {
  auto after = std::upper_bound(runs_.begin(), runs_.end(), id, [](uint64_t value, const Run& run) {
    return value < run.first_id;
  });
  if (after == runs_.begin()) return std::nullopt;
  const Run& run = *(after - 1);
  const NodeIndex end = after == runs_.end() ? count : after->first_index;
  const uint64_t offset = id - run.first_id;
  if (offset >= end - run.first_index) return std::nullopt;
  return static_cast<NodeIndex>(run.first_index + offset);
}

}  // namespace internal

namespace {

uint8_t flag_bits(const NodeRecordFlags& flags) {
  return static_cast<uint8_t>((flags.cloud_only ? 1 : 0) | (flags.compressed ? 2 : 0) |
                              (flags.sparse ? 4 : 0) | (flags.deduplicated ? 8 : 0));
}

bool kind_is_container(NodeRecordKind kind) {
  return kind == NodeRecordKind::Drive || kind == NodeRecordKind::Folder;
}

bool kind_is_link(NodeRecordKind kind) {
  return kind == NodeRecordKind::SymbolicLink || kind == NodeRecordKind::Junction ||
         kind == NodeRecordKind::VolumeMountPoint || kind == NodeRecordKind::OtherLink;
}

// `keys` sorted by their high 32 bits, keys whose high bits are equal kept in their order: least
// significant digit first, three passes of 11 bits. The chunked input is freed after the first
// pass, so that at most two copies of the keys exist at any time.
std::vector<uint64_t> sorted_by_high_half(storage::ChunkedVector<uint64_t>&& keys) {
  constexpr int kDigitBits = 11;
  constexpr int kPasses = 3;
  constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
  const auto digit = [](uint64_t key, int pass) {
    return static_cast<std::size_t>(key >> (32 + kDigitBits * pass)) & (kBuckets - 1);
  };
  std::array<std::array<std::size_t, kBuckets>, kPasses> starts{};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    for (int pass = 0; pass < kPasses; ++pass) ++starts[pass][digit(keys[i], pass)];
  }
  for (std::array<std::size_t, kBuckets>& pass_starts : starts) {
    std::size_t position = 0;
    for (std::size_t& start : pass_starts) position += std::exchange(start, position);
  }
  std::vector<uint64_t> sorted(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) sorted[starts[0][digit(keys[i], 0)]++] = keys[i];
  keys = {};
  std::vector<uint64_t> other(sorted.size());
  for (int pass = 1; pass < kPasses; ++pass) {
    for (const uint64_t key : sorted) other[starts[pass][digit(key, pass)]++] = key;
    sorted.swap(other);
  }
  return sorted;
}

// Compares two names as the system orders raw names: bytes on POSIX, UTF-16 code units on
// Windows (which differ from UTF-8 byte order above U+FFFF).
int compare_names(std::string_view a, std::string_view b, PathStyle style) {
  if (style == PathStyle::Posix) return a.compare(b);
  return platform::utf8_to_utf16(a).compare(platform::utf8_to_utf16(b));
}

}  // namespace

std::string_view ResultTree::name(NodeIndex node) const {
  if (node == 0) return root_path_;
  const StoredNode& stored = nodes_[node];
  return arena_.get(stored.name_position, stored.name_length);
}

std::string ResultTree::path(NodeIndex node) const {
  std::vector<NodeIndex> chain;
  for (NodeIndex at = node; at != 0; at = nodes_[at].parent) chain.push_back(at);
  std::string result = root_path_;
  for (auto at = chain.rbegin(); at != chain.rend(); ++at)
    platform::append_path(result, name(*at), style_);
  return result;
}

bool ResultTree::is_container(NodeIndex node) const { return kind_is_container(kind(node)); }

NodeRecordFlags ResultTree::flags(NodeIndex node) const {
  const uint8_t bits = nodes_[node].flags;
  return {(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0};
}

Sizes ResultTree::own_sizes(NodeIndex node) const {
  return {nodes_[node].logical_bytes, nodes_[node].size_on_disk_bytes};
}

std::optional<NodeRecordIdentity> ResultTree::identity(NodeIndex node) const {
  if (!nodes_[node].has_identity) return std::nullopt;
  const storage::FileIdentity& identity = identities_[node];
  return NodeRecordIdentity{identity.volume_serial, identity.file_id};
}

std::optional<std::string_view> ResultTree::link_target(NodeIndex node) const {
  auto found =
      std::lower_bound(link_targets_.begin(), link_targets_.end(), node,
                       [](const auto& entry, NodeIndex value) { return entry.first < value; });
  if (found == link_targets_.end() || found->first != node) return std::nullopt;
  return arena_.get(found->second.first, found->second.second);
}

bool ResultTree::unmeasured(NodeIndex node) const {
  const internal::StoredNode& stored = nodes_[node];
  return stored.kind == NodeRecordKind::File && !stored.has_identity && stored.logical_bytes == 0 &&
         stored.size_on_disk_bytes == 0 && stored.modified_at == 0;
}

std::span<const NodeIndex> ResultTree::children(NodeIndex node) const {
  return std::span<const NodeIndex>(children_).subspan(child_begin_[node],
                                                       child_begin_[node + 1] - child_begin_[node]);
}

uint32_t ResultTree::link_count(NodeIndex node) const {
  const auto found = link_counts_.find(node);
  return found == link_counts_.end() ? 1 : found->second;
}

std::size_t ResultTree::memory_bytes() const {
  return nodes_.allocated_bytes() + identities_.allocated_bytes() + totals_.allocated_bytes() +
         (child_begin_.capacity() + children_.capacity()) * sizeof(NodeIndex) +
         link_targets_.capacity() * sizeof(link_targets_[0]) +
         link_counts_.bucket_count() * (sizeof(NodeIndex) + sizeof(uint32_t) + 8) +
         arena_.allocated_bytes() + root_path_.capacity();
}

TreeBuilder::TreeBuilder(PathStyle style) { tree_.style_ = style; }

const std::string& TreeBuilder::path_of(NodeIndex node) {
  if (node == 0) {
    cached_path_.assign(tree_.root_path_);
    path_steps_.clear();
    return cached_path_;
  }
  if (!path_steps_.empty() && path_steps_.back().node == node) return cached_path_;
  // Climb from `node` to the deepest node the cached path goes through (the steps' nodes rise
  // with depth, as every parent's index is below its children's), then keep the cached path up
  // to there and append the rest. Paths of neighbouring folders share most of their steps.
  new_steps_.clear();
  NodeIndex at = node;
  auto kept = path_steps_.end();
  for (; at != 0; at = tree_.parent(at)) {
    kept =
        std::lower_bound(path_steps_.begin(), path_steps_.end(), at,
                         [](const PathStep& step, NodeIndex value) { return step.node < value; });
    if (kept != path_steps_.end() && kept->node == at) break;
    new_steps_.push_back(at);
  }
  if (at == 0) {
    path_steps_.clear();
    cached_path_.assign(tree_.root_path_);
  } else {
    path_steps_.erase(kept + 1, path_steps_.end());
    cached_path_.resize(kept->path_length);
  }
  for (auto step = new_steps_.rbegin(); step != new_steps_.rend(); ++step) {
    platform::append_path(cached_path_, tree_.name(*step), tree_.style_);
    path_steps_.push_back({*step, cached_path_.size()});
  }
  return cached_path_;
}

tl::expected<void, TreeProblem> TreeBuilder::add(const elevation::DecodedNode& node) {
  using Kind = TreeProblem::Kind;
  const NodeIndex index = tree_.size();
  std::string_view name = node.path;
  NodeIndex parent = kNoNode;
  if (index == 0) {
    if (node.parent_id) return tl::unexpected(TreeProblem{Kind::FirstNodeHasParent, node.id, 0});
  } else {
    if (!node.parent_id) return tl::unexpected(TreeProblem{Kind::SecondRoot, node.id, 0});
    if (node.id <= last_id_) {
      const bool seen = ids_.find(node.id, index).has_value();
      return tl::unexpected(
          TreeProblem{seen ? Kind::DuplicateId : Kind::IdOutOfOrder, node.id, last_id_});
    }
    if (index >= kNoNode - 1 ||
        tree_.arena_.allocated_bytes() > NameArena::kMaxBytes - 2 * NameArena::kBlockBytes) {
      return tl::unexpected(TreeProblem{Kind::TooManyNodes, node.id, 0});
    }
    if (*node.parent_id == last_parent_id_ && last_parent_ != kNoNode) {
      parent = last_parent_;  // found and checked for the node before
    } else {
      const std::optional<NodeIndex> found = ids_.find(*node.parent_id, index);
      if (!found) {
        return tl::unexpected(TreeProblem{Kind::UnknownParent, node.id, *node.parent_id});
      }
      parent = *found;
      if (!tree_.is_container(parent)) {
        return tl::unexpected(TreeProblem{Kind::ParentNotContainer, node.id, *node.parent_id});
      }
      last_parent_id_ = *node.parent_id;
      last_parent_ = parent;
    }
    const std::optional<std::string_view> child =
        child_name(path_of(parent), node.path, tree_.style_);
    if (!child) return tl::unexpected(TreeProblem{Kind::PathNotBelowParent, node.id, 0});
    name = *child;
    if (name.size() > NameArena::kBlockBytes ||
        node.link_target.value_or("").size() > NameArena::kBlockBytes) {
      return tl::unexpected(TreeProblem{Kind::NameTooLong, node.id, 0});
    }
  }

  StoredNode& stored = tree_.nodes_.emplace_back();
  stored.logical_bytes = node.logical_bytes;
  stored.size_on_disk_bytes = node.size_on_disk_bytes;
  stored.modified_at = node.modified_at_epoch_seconds;
  stored.parent = parent;
  stored.kind = node.kind;
  stored.flags = flag_bits(node.flags);
  stored.has_identity = node.identity.has_value();
  tree_.totals_.emplace_back() = {node.logical_bytes, node.size_on_disk_bytes};
  storage::FileIdentity& identity = tree_.identities_.emplace_back();
  if (node.identity) {
    identity = {node.identity->file_id, node.identity->volume_serial};
    if (node.kind == NodeRecordKind::File) {
      link_keys_.push_back((storage::identity_hash(identity) & ~uint64_t{0xFFFFFFFF}) | index);
    }
  }
  count(index, stored);
  if (index == 0) {
    tree_.root_path_ = std::string(node.path);
  } else {
    stored.name_position = tree_.arena_.add(name);
    stored.name_length = static_cast<uint32_t>(name.size());
  }
  if (node.link_target) {
    const uint64_t position = tree_.arena_.add(*node.link_target);
    tree_.link_targets_.push_back(
        {index, {position, static_cast<uint32_t>(node.link_target->size())}});
  }
  ids_.append(node.id, index);
  last_id_ = node.id;
  return {};
}

NodeIndex TreeBuilder::primary_of(std::span<const NodeIndex> group) {
  const auto names_below_root = [this](NodeIndex node) {
    std::vector<std::string_view> names;
    for (NodeIndex at = node; at != 0; at = tree_.parent(at)) names.push_back(tree_.name(at));
    std::reverse(names.begin(), names.end());
    return names;
  };
  const auto compare_names_of_tree = [this](std::string_view x, std::string_view y) {
    return compare_names(x, y, tree_.style_);
  };
  // Each member's path is normalised once; path_of builds it mostly from the last one's steps.
  NodeIndex primary = group.front();
  storage::NormalizedPath primary_path = storage::normalize_path_text(path_of(primary));
  for (const NodeIndex member : group.subspan(1)) {
    storage::NormalizedPath member_path = storage::normalize_path_text(path_of(member));
    if (storage::link_precedes(member, member_path, primary, primary_path, names_below_root,
                               compare_names_of_tree)) {
      primary = member;
      primary_path = std::move(member_path);
    }
  }
  return primary;
}

void TreeBuilder::count(NodeIndex index, const StoredNode& stored) {
  TreeCounts& counts = tree_.counts_;
  if (stored.kind == NodeRecordKind::File) ++counts.files;
  if (tree_.unmeasured(index)) ++counts.unmeasured;
  if (stored.kind == NodeRecordKind::Folder && index != 0) ++counts.folders;
  if (stored.kind == NodeRecordKind::Restricted) ++counts.restricted;
  if (kind_is_link(stored.kind)) ++counts.links;
}

void TreeBuilder::group_hard_links() {
  // One key per file with an identity (made in add): 32 bits of the identity's hash above the
  // node's index. Sorted by the hash bits, equal identities become neighbours, in node order.
  std::vector<NodeIndex> members;  // the groups' members, one group after another
  std::vector<std::pair<std::size_t, std::size_t>> groups;  // where each starts, its size
  {
    const std::vector<uint64_t> keys = sorted_by_high_half(std::move(link_keys_));
    std::vector<NodeIndex> run;
    for (std::size_t start = 0; start < keys.size();) {
      std::size_t end = start + 1;
      while (end < keys.size() && (keys[end] >> 32) == (keys[start] >> 32)) ++end;
      run.clear();
      for (std::size_t i = start; i < end; ++i) run.push_back(static_cast<NodeIndex>(keys[i]));
      start = end;
      // Equal hash bits almost always mean equal identities; split the run where they differ.
      while (run.size() > 1) {
        const storage::FileIdentity& first = tree_.identities_[run.front()];
        auto rest = std::stable_partition(run.begin(), run.end(), [&](NodeIndex node) {
          return tree_.identities_[node] == first;
        });
        if (rest - run.begin() > 1) {
          groups.emplace_back(members.size(), rest - run.begin());
          members.insert(members.end(), run.begin(), rest);
        }
        run.erase(run.begin(), rest);
      }
    }
  }
  // In the order of their first members, so that neighbouring groups share the nodes and path
  // steps that choosing a primary reads.
  std::sort(groups.begin(), groups.end(), [&members](const auto& a, const auto& b) {
    return members[a.first] < members[b.first];
  });
  for (const auto& [start, size] : groups) {
    const std::span<const NodeIndex> group(members.data() + start, size);
    const NodeIndex primary = primary_of(group);
    for (const NodeIndex member : group) {
      if (member != primary) {
        tree_.nodes_[member].counted_elsewhere = true;
        tree_.totals_[member] = {};
      }
      tree_.link_counts_[member] = static_cast<uint32_t>(size);
    }
    ++tree_.counts_.hard_link_groups;
  }
}

tl::expected<ResultTree, TreeProblem> TreeBuilder::finish() && {
  const NodeIndex count = tree_.size();
  if (count == 0) return tl::unexpected(TreeProblem{TreeProblem::Kind::Empty, 0, 0});
  group_hard_links();
  // Totals bottom-up: every node's total holds its own sizes (0 for a link counted elsewhere)
  // and is complete before it is added to its parent's, children having higher indices.
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (NodeIndex node = count - 1; node > 0; --node) {
    const Sizes child = tree_.totals_[node];
    Sizes& parent = tree_.totals_[tree_.parent(node)];
    if (child.logical_bytes > kMax - parent.logical_bytes ||
        child.size_on_disk_bytes > kMax - parent.size_on_disk_bytes) {
      return tl::unexpected(TreeProblem{TreeProblem::Kind::SizeOverflow, tree_.parent(node), 0});
    }
    parent.logical_bytes += child.logical_bytes;
    parent.size_on_disk_bytes += child.size_on_disk_bytes;
  }
  // Child lists in arrival order, as one table of offsets and one of children: each node's
  // count, summed up to where its range ends, then the children placed from the last one back,
  // which moves each node's entry to where its range begins.
  std::vector<NodeIndex>& begin = tree_.child_begin_;
  begin.assign(static_cast<std::size_t>(count) + 1, 0);
  for (NodeIndex node = 1; node < count; ++node) ++begin[tree_.parent(node)];
  for (NodeIndex node = 1; node < count; ++node) begin[node] += begin[node - 1];
  begin[count] = count - 1;
  tree_.children_.resize(count - 1);
  for (NodeIndex node = count - 1; node > 0; --node) {
    tree_.children_[--begin[tree_.parent(node)]] = node;
  }
  return std::move(tree_);
}

}  // namespace ketterlin::host
