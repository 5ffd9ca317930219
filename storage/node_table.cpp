#include "storage/node_table.h"

#include <string>

#include "platform/panic.h"
#include "platform/path_style.h"
#include "storage/tree_store.h"

namespace ketterlin::storage {

using internal::kNoNode;

bool is_valid(NodeKind kind) {
  switch (kind) {
    case NodeKind::SymbolicLink:
    case NodeKind::Junction:
    case NodeKind::VolumeMountPoint:
    case NodeKind::OtherLink:
    case NodeKind::Drive:
    case NodeKind::Folder:
    case NodeKind::File:
    case NodeKind::Restricted:
    case NodeKind::UnknownSpace:
      return true;
  }
  return false;
}

bool is_container(NodeKind kind) { return kind == NodeKind::Drive || kind == NodeKind::Folder; }

ChildRange::Iterator& ChildRange::Iterator::operator++() {
  current_ = current_ == last_ ? kNoNode : store_->node(current_).next_sibling;
  return *this;
}

ChildRange::Iterator ChildRange::begin() const {
  if (last_child_ == kNoNode) return end();
  return Iterator(store_, store_->node(last_child_).next_sibling, last_child_);
}

ChildRange::Iterator ChildRange::end() const { return Iterator(store_, kNoNode, last_child_); }

NodeTable::NodeTable(platform::OsString root_path, NodeKind root_kind)
    : store_(std::make_unique<internal::TreeStore>(std::move(root_path), root_kind)) {}

NodeTable::NodeTable(NodeTable&&) noexcept = default;
NodeTable& NodeTable::operator=(NodeTable&&) noexcept = default;
NodeTable::~NodeTable() = default;

uint32_t NodeTable::checked(NodeId id) const {
  if (id >= store_->count()) {
    platform::panic("index out of bounds: the len is " + std::to_string(store_->count()) +
                    " but the index is " + std::to_string(id));
  }
  return static_cast<uint32_t>(id);
}

uint64_t NodeTable::node_count() const { return store_->count(); }

uint64_t NodeTable::capacity() const { return store_->capacity(); }
uint64_t NodeTable::node_storage_bytes() const { return store_->node_storage_bytes(); }

std::optional<NodeId> NodeTable::parent(NodeId id) const {
  const uint32_t parent = store_->node(checked(id)).parent;
  if (parent == kNoNode) return std::nullopt;
  return parent;
}

NodeKind NodeTable::kind(NodeId id) const { return store_->kind(checked(id)); }

NodeFlags NodeTable::flags(NodeId id) const {
  return NodeFlags(static_cast<uint8_t>(store_->node(checked(id)).flags));
}

std::optional<NodeSizes> NodeTable::own_size(NodeId id) const {
  const internal::StoredNode& stored = store_->node(checked(id));
  if (!stored.has_own_size) return std::nullopt;
  return NodeSizes{stored.logical_bytes, stored.size_on_disk_bytes};
}

std::optional<FileIdentity> NodeTable::identity(NodeId id) const {
  const uint32_t checked_id = checked(id);
  if (!store_->has_identity(checked_id)) return std::nullopt;
  return store_->identity(checked_id);
}

std::optional<platform::OsStringView> NodeTable::link_target(NodeId id) const {
  return store_->link_target(checked(id));
}

std::optional<HardLinkInfo> NodeTable::hard_link(NodeId id) const {
  return store_->hard_link(checked(id));
}

NodeSizes NodeTable::totals(NodeId id) const { return store_->totals(checked(id)); }

RiskLevel NodeTable::risk(NodeId id) const {
  return static_cast<RiskLevel>(store_->node(checked(id)).risk);
}

RiskLevel NodeTable::subtree_risk(NodeId id) const {
  return static_cast<RiskLevel>(store_->node(checked(id)).subtree_risk);
}

ChildRange NodeTable::children(NodeId id) const {
  return ChildRange(store_.get(), store_->last_child(checked(id)));
}

bool NodeTable::has_children(NodeId id) const { return store_->last_child(checked(id)) != kNoNode; }

platform::OsStringView NodeTable::name(NodeId id) const { return store_->name(checked(id)); }

void NodeTable::append_path(NodeId id, platform::OsString& out) const {
  store_->append_path(checked(id), out);
}

platform::OsString NodeTable::path(NodeId id) const { return store_->path(checked(id)); }

platform::OsStringView PathWriter::path(NodeId id) {
  const std::optional<NodeId> parent = table_.parent(id);
  if (!parent) {
    cached_parent_.reset();
    buffer_.clear();
    table_.append_path(id, buffer_);
    return buffer_;
  }
  if (cached_parent_ != parent) {
    buffer_.clear();
    table_.append_path(*parent, buffer_);
    cached_parent_ = parent;
    parent_length_ = buffer_.size();
  }
  buffer_.resize(parent_length_);
  platform::append_path(buffer_, table_.name(id), platform::native_path_style());
  return buffer_;
}

}  // namespace ketterlin::storage
