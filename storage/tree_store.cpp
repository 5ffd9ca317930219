#include "storage/tree_store.h"

#include <algorithm>
#include <new>
#include <string>

#include "platform/panic.h"
#include "platform/path_style.h"

namespace ketterlin::storage::internal {

TreeStore::TreeStore(platform::OsString root_path, NodeKind root_kind)
    : root_path_(std::move(root_path)) {
  commit_capacity(1);
  StoredNode& root = node(0);
  root = StoredNode{};
  root.parent = kNoNode;
  root.next_sibling = kNoNode;
  root.link = kNoNode;
  root.kind = static_cast<uint8_t>(root_kind);
  count_ = 1;
}

void TreeStore::commit_capacity(uint64_t capacity) {
  constexpr uint64_t kChunkNodes = uint64_t{kNodeChunkMask} + 1;
  while (node_chunks_.size() * kChunkNodes < capacity) {
    node_chunks_.push_back(std::make_unique_for_overwrite<StoredNode[]>(kChunkNodes));
  }
  capacity_ = capacity;
}

uint32_t TreeStore::append(uint32_t parent, const NodeEntry& entry) {
  if (count_ == kMaxNodeCount) {
    platform::panic("a tree holds at most " + std::to_string(kMaxNodeCount) + " nodes");
  }
  if (count_ == capacity_) commit_capacity(std::min(grown_capacity(capacity_), kMaxNodeCount));
  const uint32_t id = count_;

  StoredNode stored{};
  stored.parent = parent;
  stored.next_sibling = id;
  stored.link = kNoNode;
  if (entry.identity) store_identity(id, *entry.identity, stored);
  stored.name_end = store_name(id, entry.name);
  stored.kind = static_cast<uint8_t>(entry.kind);
  stored.flags = entry.flags.bits;
  if (entry.own_size) {
    stored.has_own_size = 1;
    stored.logical_bytes = entry.own_size->logical_bytes;
    stored.size_on_disk_bytes = entry.own_size->size_on_disk_bytes;
  }
  if (entry.link_target) {
    stored.has_link_target = 1;
    link_targets_.emplace(id, platform::OsString(*entry.link_target));
  }
  node(id) = stored;
  ++count_;
  link_child(parent, id);
  return id;
}

void TreeStore::link_child(uint32_t parent, uint32_t child) {
  StoredNode& container = node(parent);
  if (container.link != kNoNode) {
    StoredNode& previous_last = node(container.link);
    node(child).next_sibling = previous_last.next_sibling;  // the first child
    previous_last.next_sibling = child;
  }
  container.link = child;
}

uint64_t TreeStore::store_name(uint32_t id, platform::OsStringView name) {
  platform::check(names_end_ + kNameChunkUnits < kMaxNameUnits, "name storage exhausted");
  if (name.size() > kMaxArenaNameUnits) {
    long_names_.emplace(id, platform::OsString(name));
    return names_end_;
  }
  uint64_t start = names_end_;
  const uint64_t chunk_end = (start / kNameChunkUnits + 1) * kNameChunkUnits;
  if (start + name.size() > chunk_end) start = chunk_end;
  if (!name.empty() && start / kNameChunkUnits == name_chunks_.size()) {
    name_chunks_.push_back(std::make_unique_for_overwrite<platform::OsChar[]>(kNameChunkUnits));
  }
  std::copy(name.begin(), name.end(),
            name_chunks_[start / kNameChunkUnits].get() + start % kNameChunkUnits);
  names_end_ = start + name.size();
  return names_end_;
}

void TreeStore::store_identity(uint32_t id, const FileIdentity& identity, StoredNode& stored) {
  stored.link = static_cast<uint32_t>(file_ids_.size());
  file_ids_.push_back(identity.file_id);
  const auto known =
      std::find(volume_serials_.begin(), volume_serials_.end(), identity.volume_serial);
  if (known != volume_serials_.end()) {
    stored.volume = static_cast<uint8_t>(known - volume_serials_.begin());
  } else if (volume_serials_.size() < kVolumeInSideMap) {
    stored.volume = static_cast<uint8_t>(volume_serials_.size());
    volume_serials_.push_back(identity.volume_serial);
  } else {
    stored.volume = kVolumeInSideMap;
    unlisted_volume_serials_.emplace(id, identity.volume_serial);
  }
}

platform::OsStringView TreeStore::name(uint32_t id) const {
  if (id == 0) return root_path_;
  const uint64_t end = node(id).name_end;
  const uint64_t previous_end = node(id - 1).name_end;
  // The name starts where the previous one ended, unless it did not fit into that chunk.
  const uint64_t previous_chunk_end = (previous_end / kNameChunkUnits + 1) * kNameChunkUnits;
  const uint64_t start = end <= previous_chunk_end ? previous_end : previous_chunk_end;
  if (start == end) return long_names_.at(id);  // names are never empty
  return {name_chunks_[start / kNameChunkUnits].get() + start % kNameChunkUnits, end - start};
}

void TreeStore::append_path(uint32_t id, platform::OsString& out) const {
  // platform::append_path's rule in the platform's style: a separator goes between a path and a
  // name unless the path is empty or ends with one. Below the root a path ends as its last name
  // does (names are never empty).
  constexpr platform::PathStyle kStyle = platform::native_path_style();
  const auto separator_after = [](platform::OsStringView path_end) {
    return !path_end.empty() && !platform::is_separator(path_end.back(), kStyle);
  };
  // Measure first, then fill from the end while walking up the parent chain: no recursion and
  // no list of ancestors, whatever the depth.
  std::size_t length = root_path_.size();
  platform::OsStringView own = name(id);
  for (uint32_t current = id; current != 0;) {
    const uint32_t parent = node(current).parent;
    const platform::OsStringView parent_name = name(parent);
    length += own.size() + (separator_after(parent_name) ? 1 : 0);
    current = parent;
    own = parent_name;
  }
  const std::size_t base = out.size();
  out.resize(base + length);
  platform::OsChar* cursor = out.data() + base + length;
  own = name(id);
  for (uint32_t current = id; current != 0;) {
    const uint32_t parent = node(current).parent;
    const platform::OsStringView parent_name = name(parent);
    cursor -= own.size();
    std::copy(own.begin(), own.end(), cursor);
    if (separator_after(parent_name)) {
      *--cursor = static_cast<platform::OsChar>(platform::preferred_separator(kStyle));
    }
    current = parent;
    own = parent_name;
  }
  std::copy(root_path_.begin(), root_path_.end(), out.data() + base);
}

platform::OsString TreeStore::path(uint32_t id) const {
  platform::OsString out;
  append_path(id, out);
  return out;
}

std::optional<platform::OsStringView> TreeStore::link_target(uint32_t id) const {
  if (!node(id).has_link_target) return std::nullopt;
  return platform::OsStringView(link_targets_.at(id));
}

std::optional<HardLinkInfo> TreeStore::hard_link(uint32_t id) const {
  if (!node(id).has_hard_link) return std::nullopt;
  const LinkGroup& group = groups_[group_of(id)];
  return HardLinkInfo{group.primary, group.link_count};
}

uint32_t TreeStore::new_group(uint32_t primary) {
  groups_.push_back(LinkGroup{primary, 0});
  return static_cast<uint32_t>(groups_.size() - 1);
}

void TreeStore::join_group(uint32_t group, uint32_t member) {
  group_of_node_.emplace(member, group);
  ++groups_[group].link_count;
  node(member).has_hard_link = 1;
}

void TreeStore::clear_hard_links() {
  for (const auto& [member, group] : group_of_node_) {
    node(member).has_hard_link = 0;
    node(member).counted_elsewhere = 0;
  }
  group_of_node_.clear();
  groups_.clear();
}

}  // namespace ketterlin::storage::internal
