#include "host/browser/browse_tree.h"

namespace ketterlin::host {

NodeIndex LoadedTree::add(NodeIndex parent) {
  Node node;
  node.parent = parent;
  nodes_.push_back(node);
  return static_cast<NodeIndex>(nodes_.size() - 1);
}

void LoadedTree::set(NodeIndex index, const LoadedNodeFields& fields) {
  Node& node = nodes_[index];
  node.kind = fields.kind;
  node.totals = fields.totals;
  node.modified_at = fields.modified_at;
  node.flags = fields.flags;
  node.link_count = fields.link_count;
  node.counted_elsewhere = fields.counted_elsewhere;
  set_name(index, fields.name);
  if (fields.link_target) set_link_target(index, *fields.link_target);
}

void LoadedTree::set_name(NodeIndex index, std::string_view name) {
  nodes_[index].name_position = text_.size();
  nodes_[index].name_length = static_cast<uint32_t>(name.size());
  text_.append(name);
}

void LoadedTree::set_link_target(NodeIndex index, std::string_view target) {
  nodes_[index].target_position = text_.size();
  nodes_[index].target_length = static_cast<uint32_t>(target.size());
  nodes_[index].has_target = true;
  text_.append(target);
}

void LoadedTree::remove_last() { nodes_.pop_back(); }

void LoadedTree::finish() {
  child_begin_.assign(nodes_.size() + 1, 0);
  for (const Node& node : nodes_) {
    if (node.parent != kNoNode) ++child_begin_[node.parent + 1];
  }
  for (std::size_t i = 1; i < child_begin_.size(); ++i) child_begin_[i] += child_begin_[i - 1];
  children_.assign(nodes_.empty() ? 0 : nodes_.size() - 1, 0);
  std::vector<NodeIndex> next(child_begin_.begin(), child_begin_.end() - 1);
  for (NodeIndex index = 1; index < nodes_.size(); ++index) {
    children_[next[nodes_[index].parent]++] = index;
  }
}

std::span<const NodeIndex> LoadedTree::children(NodeIndex node) const {
  if (child_begin_.empty()) return {};
  return std::span<const NodeIndex>(children_).subspan(child_begin_[node],
                                                       child_begin_[node + 1] - child_begin_[node]);
}

std::string_view LoadedTree::name(NodeIndex node) const {
  return std::string_view(text_).substr(nodes_[node].name_position, nodes_[node].name_length);
}

std::optional<std::string_view> LoadedTree::link_target(NodeIndex node) const {
  if (!nodes_[node].has_target) return std::nullopt;
  return std::string_view(text_).substr(nodes_[node].target_position, nodes_[node].target_length);
}

std::string LoadedTree::path(NodeIndex node) const {
  std::vector<NodeIndex> chain;
  for (NodeIndex at = node; at != kNoNode; at = nodes_[at].parent) chain.push_back(at);
  std::string text(name(chain.back()));
  // A root written in the Windows form joins its names with backslashes.
  const bool windows = text.find('\\') != std::string::npos && text.find('/') == std::string::npos;
  const char separator = windows ? '\\' : '/';
  for (std::size_t i = chain.size() - 1; i-- > 0;) {
    if (text.empty() || text.back() != separator) text.push_back(separator);
    text.append(name(chain[i]));
  }
  return text;
}

}  // namespace ketterlin::host
