#include "host/browser/browser_model.h"

#include <algorithm>

#include "host/cli/format.h"
#include "host/cli/report.h"

namespace ketterlin::host {

std::string to_string(const BrowseError& error) {
  using Kind = BrowseError::Kind;
  switch (error.kind) {
    case Kind::DeletionOff:
      return "deleting is off: start ketterlin-scan with --allow-delete to delete with d";
    case Kind::SavedDocument:
      return "a loaded document cannot be changed: deleting works only on a scan just taken";
    case Kind::NotDeletable:
      return "only an entry of a folder can be deleted";
    case Kind::HoldsMountPoint:
      return "not deleted: " + error.path + " is or holds a mount point";
    case Kind::HoldsRestricted:
      return "not deleted: " + error.path + " is or holds a folder that could not be read";
    case Kind::RemoveFailed:
      return "cannot delete " + error.path + ": " + platform::to_string(error.os_error);
  }
  return "BrowseError(" + std::to_string(static_cast<unsigned>(error.kind)) + ")";
}

namespace {

Sizes minus(Sizes a, const Sizes& b) {
  a.logical_bytes -= std::min(a.logical_bytes, b.logical_bytes);
  a.size_on_disk_bytes -= std::min(a.size_on_disk_bytes, b.size_on_disk_bytes);
  return a;
}

}  // namespace

BrowserModel::BrowserModel(std::vector<BrowseTarget> targets, bool apparent)
    : targets_(std::move(targets)), states_(targets_.size()), apparent_(apparent) {
  for (std::size_t t = 0; t < targets_.size(); ++t) {
    const BrowseTree* tree = targets_[t].tree;
    if (tree == nullptr) continue;
    std::vector<uint32_t>& items = states_[t].items;
    items.assign(tree->size(), 0);
    // Parents come before their children, so a backward pass finishes each node before its
    // parent takes it in.
    for (NodeIndex node = tree->size(); node-- > 1;) items[tree->parent(node)] += items[node] + 1;
  }
  if (targets_.size() == 1 && targets_[0].tree != nullptr) top_ = Place{0, 0};
  enter(top_);
}

void BrowserModel::enter(const Place& place) {
  place_ = place;
  list_rows();
  sort_rows();
  cursor_ = 0;
}

void BrowserModel::list_rows() {
  rows_.clear();
  if (place_.target == Place::kTargets) {
    for (uint32_t t = 0; t < targets_.size(); ++t) rows_.push_back({Row::Kind::Target, t, 0});
    return;
  }
  const BrowseTree& tree = *targets_[place_.target].tree;
  const TargetState& state = states_[place_.target];
  for (const NodeIndex child : tree.children(place_.node)) {
    if (!state.deleted.contains(child)) rows_.push_back({Row::Kind::Entry, place_.target, child});
  }
  if (place_.node == 0 && targets_[place_.target].unknown_space && !apparent_) {
    rows_.push_back({Row::Kind::UnknownSpace, place_.target, 0});
  }
}

bool BrowserModel::before(const Row& a, const Row& b) const {
  auto ordered = [&](const Row& x, const Row& y) {
    switch (sort_key_) {
      case SortKey::Size:
        if (size(x) != size(y)) return size(x) > size(y);
        break;
      case SortKey::Items:
        if (items(x) != items(y)) return items(x) > items(y);
        break;
      case SortKey::Modified:
        if (modified_at(x) != modified_at(y)) return modified_at(x) > modified_at(y);
        break;
      case SortKey::Name:
        break;
    }
    const std::string_view x_name = name(x);
    const std::string_view y_name = name(y);
    if (x_name != y_name) return x_name < y_name;
    if (x.kind != y.kind) return x.kind < y.kind;
    return x.target != y.target ? x.target < y.target : x.node < y.node;
  };
  return reversed_ ? ordered(b, a) : ordered(a, b);
}

void BrowserModel::sort_rows() {
  std::sort(rows_.begin(), rows_.end(),
            [this](const Row& a, const Row& b) { return before(a, b); });
}

void BrowserModel::move_cursor(std::ptrdiff_t delta) {
  if (rows_.empty()) return;
  const auto last = static_cast<std::ptrdiff_t>(rows_.size() - 1);
  const std::ptrdiff_t moved = static_cast<std::ptrdiff_t>(cursor_) + delta;
  cursor_ = static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(moved, 0, last));
}

void BrowserModel::move_to(std::size_t row) {
  cursor_ = rows_.empty() ? 0 : std::min(row, rows_.size() - 1);
}

bool BrowserModel::open_selected() {
  const Row* row = selected();
  if (row == nullptr || !is_folder(*row)) return false;
  enter(Place{row->target, row->kind == Row::Kind::Target ? 0 : row->node});
  return true;
}

bool BrowserModel::go_up() {
  if (place_ == top_) return false;
  const Place left = place_;
  if (left.node == 0) {
    enter(Place{});
  } else {
    enter(Place{left.target, targets_[left.target].tree->parent(left.node)});
  }
  const Row came_from = left.node == 0 ? Row{Row::Kind::Target, left.target, 0}
                                       : Row{Row::Kind::Entry, left.target, left.node};
  const auto found = std::find(rows_.begin(), rows_.end(), came_from);
  if (found != rows_.end()) cursor_ = static_cast<std::size_t>(found - rows_.begin());
  return true;
}

void BrowserModel::sort(SortKey key) {
  reversed_ = key == sort_key_ ? !reversed_ : false;
  sort_key_ = key;
  const std::optional<Row> kept = selected() ? std::optional<Row>(*selected()) : std::nullopt;
  sort_rows();
  if (kept)
    cursor_ =
        static_cast<std::size_t>(std::find(rows_.begin(), rows_.end(), *kept) - rows_.begin());
}

void BrowserModel::toggle_apparent() {
  apparent_ = !apparent_;
  const std::optional<Row> kept = selected() ? std::optional<Row>(*selected()) : std::nullopt;
  list_rows();  // the Unknown Space has no logical size and is listed with sizes on disk only
  sort_rows();
  cursor_ = 0;
  if (kept) {
    const auto found = std::find(rows_.begin(), rows_.end(), *kept);
    if (found != rows_.end()) cursor_ = static_cast<std::size_t>(found - rows_.begin());
  }
}

Sizes BrowserModel::sizes(const Row& row) const {
  const BrowseTarget& target = targets_[row.target];
  switch (row.kind) {
    case Row::Kind::UnknownSpace:
      return {0, target.unknown_space.value_or(0)};
    case Row::Kind::Target: {
      if (target.tree == nullptr) return {};
      Sizes totals = sizes(Row{Row::Kind::Entry, row.target, 0});
      totals.size_on_disk_bytes += target.unknown_space.value_or(0);
      return totals;
    }
    case Row::Kind::Entry: {
      const TargetState& state = states_[row.target];
      const auto removed = state.removed.find(row.node);
      const Sizes totals = target.tree->totals(row.node);
      return removed == state.removed.end() ? totals : minus(totals, removed->second);
    }
  }
  return {};
}

uint64_t BrowserModel::size(const Row& row) const {
  const Sizes totals = sizes(row);
  return apparent_ ? totals.logical_bytes : totals.size_on_disk_bytes;
}

uint64_t BrowserModel::items(const Row& row) const {
  if (row.kind == Row::Kind::UnknownSpace || targets_[row.target].tree == nullptr) return 0;
  const NodeIndex node = row.kind == Row::Kind::Target ? 0 : row.node;
  if (!tree_of(row).is_container(node)) return 0;
  const TargetState& state = states_[row.target];
  const auto removed = state.removed_items.find(node);
  return state.items[node] - (removed == state.removed_items.end() ? 0 : removed->second);
}

bool BrowserModel::is_folder(const Row& row) const {
  if (row.kind == Row::Kind::UnknownSpace || targets_[row.target].tree == nullptr) return false;
  return row.kind == Row::Kind::Target || tree_of(row).is_container(row.node);
}

std::string_view BrowserModel::name(const Row& row) const {
  switch (row.kind) {
    case Row::Kind::UnknownSpace:
      return "Unknown Space";
    case Row::Kind::Target:
      return targets_[row.target].path;
    case Row::Kind::Entry:
      return tree_of(row).name(row.node);
  }
  return "";
}

std::string BrowserModel::label(const Row& row) const {
  switch (row.kind) {
    case Row::Kind::UnknownSpace:
      return "Unknown Space";
    case Row::Kind::Target:
      return display_root(targets_[row.target].path) +
             (targets_[row.target].tree == nullptr ? " [unavailable]" : "/");
    case Row::Kind::Entry: {
      const BrowseTree& tree = tree_of(row);
      std::string text = entry_label(printable(tree.name(row.node)), tree.kind(row.node),
                                     tree.link_target(row.node), tree.link_count(row.node),
                                     tree.counted_elsewhere(row.node));
      if (tree.is_container(row.node)) text += "/";
      return text;
    }
  }
  return "";
}

NodeRecordKind BrowserModel::kind(const Row& row) const {
  if (row.kind == Row::Kind::Entry) return tree_of(row).kind(row.node);
  return row.kind == Row::Kind::Target && targets_[row.target].tree != nullptr
             ? targets_[row.target].tree->kind(0)
             : NodeRecordKind::File;
}

uint64_t BrowserModel::modified_at(const Row& row) const {
  if (row.kind == Row::Kind::UnknownSpace || targets_[row.target].tree == nullptr) return 0;
  return tree_of(row).modified_at(row.kind == Row::Kind::Target ? 0 : row.node);
}

Sizes BrowserModel::place_sizes() const {
  if (place_.target == Place::kTargets) {
    Sizes sum;
    for (uint32_t t = 0; t < targets_.size(); ++t) {
      const Sizes one = sizes(Row{Row::Kind::Target, t, 0});
      sum.logical_bytes += one.logical_bytes;
      sum.size_on_disk_bytes += one.size_on_disk_bytes;
    }
    return sum;
  }
  if (place_.node == 0) return sizes(Row{Row::Kind::Target, place_.target, 0});
  return sizes(Row{Row::Kind::Entry, place_.target, place_.node});
}

uint64_t BrowserModel::place_size() const {
  const Sizes totals = place_sizes();
  return apparent_ ? totals.logical_bytes : totals.size_on_disk_bytes;
}

uint64_t BrowserModel::place_items() const {
  if (place_.target != Place::kTargets) {
    return items(Row{Row::Kind::Entry, place_.target, place_.node});
  }
  uint64_t sum = 0;
  for (uint32_t t = 0; t < targets_.size(); ++t) sum += items(Row{Row::Kind::Target, t, 0});
  return sum;
}

std::string BrowserModel::place_path() const {
  if (place_.target == Place::kTargets) return "";
  return display_root(targets_[place_.target].tree->path(place_.node));
}

std::string BrowserModel::path(const Row& row) const {
  if (row.kind == Row::Kind::Target) return display_root(targets_[row.target].path);
  if (row.kind == Row::Kind::UnknownSpace) return display_root(tree_of(row).path(0));
  return display_root(tree_of(row).path(row.node));
}

tl::expected<void, BrowseError> BrowserModel::check_deletable(const Row& row) const {
  if (row.kind != Row::Kind::Entry) return tl::unexpected(BrowseError{});
  const BrowseTree& tree = tree_of(row);
  const TargetState& state = states_[row.target];
  // The whole subtree, with an explicit stack: trees can be deeper than the call stack.
  std::vector<NodeIndex> pending{row.node};
  while (!pending.empty()) {
    const NodeIndex node = pending.back();
    pending.pop_back();
    if (state.deleted.contains(node)) continue;
    if (tree.kind(node) == NodeRecordKind::VolumeMountPoint) {
      return tl::unexpected(BrowseError{BrowseError::Kind::HoldsMountPoint, path(row), {}});
    }
    if (tree.kind(node) == NodeRecordKind::Restricted) {
      return tl::unexpected(BrowseError{BrowseError::Kind::HoldsRestricted, path(row), {}});
    }
    for (const NodeIndex child : tree.children(node)) pending.push_back(child);
  }
  return {};
}

tl::expected<void, BrowseError> BrowserModel::delete_selected(EntryRemover& remover) {
  const Row* row = selected();
  if (row == nullptr) return tl::unexpected(BrowseError{});
  if (auto deletable = check_deletable(*row); !deletable) return deletable;
  const Row gone = *row;
  const BrowseTree& tree = tree_of(gone);
  auto removed = remover.remove(platform::from_utf8(tree.path(gone.node)));
  if (!removed) {
    return tl::unexpected(
        BrowseError{BrowseError::Kind::RemoveFailed, path(gone), removed.error()});
  }
  TargetState& state = states_[gone.target];
  const Sizes taken = sizes(gone);
  const uint32_t entries = static_cast<uint32_t>(items(gone)) + 1;
  for (NodeIndex above = tree.parent(gone.node); above != kNoNode; above = tree.parent(above)) {
    Sizes& sum = state.removed[above];
    sum.logical_bytes += taken.logical_bytes;
    sum.size_on_disk_bytes += taken.size_on_disk_bytes;
    state.removed_items[above] += entries;
  }
  state.deleted.insert(gone.node);
  const std::size_t at = cursor_;
  list_rows();
  sort_rows();
  move_to(at);
  return {};
}

}  // namespace ketterlin::host
