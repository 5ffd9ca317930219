// The browser's model: which folder is shown, its rows in the chosen order, the cursor, and what
// the user deleted. The trees themselves are read-only (browse_tree.h); deletions live here, as
// a set of deleted nodes and, for every folder above them, the sizes and entries taken away.
// No terminal is involved: the view (browser_view.h) draws what this model says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tsl/robin_map.h>
#include <tsl/robin_set.h>
#include <tl/expected.hpp>

#include "host/browser/browse_tree.h"
#include "host/browser/entry_remover.h"
#include "platform/os_error.h"

namespace ketterlin::host {

struct BrowseTarget {
  std::string path;                       // as the request named it, UTF-8
  const BrowseTree* tree = nullptr;       // nullptr: unavailable; must outlive the model
  std::optional<uint64_t> unknown_space;  // a full-root volume scan's unexplained used space
};

// What the listing shows: a folder of one target, or the list of targets.
struct Place {
  static constexpr uint32_t kTargets = UINT32_MAX;
  uint32_t target = kTargets;
  NodeIndex node = 0;

  friend bool operator==(const Place&, const Place&) = default;
};

struct Row {
  enum class Kind : uint8_t {
    Entry,         // `node` of `target`'s tree
    UnknownSpace,  // the Unknown Space of `target` (in its root, sizes on disk only)
    Target,        // the target itself, in the list of targets
  };
  Kind kind = Kind::Entry;
  uint32_t target = 0;
  NodeIndex node = 0;

  friend bool operator==(const Row&, const Row&) = default;
};

enum class SortKey : uint8_t { Size, Name, Items, Modified };

// Why something the user asked for did not happen.
struct BrowseError {
  enum class Kind : uint8_t {
    DeletionOff,      // deletion was not enabled on the command line
    SavedDocument,    // the tree was loaded from a saved document
    NotDeletable,     // the row is the Unknown Space, a whole target, or there is no row
    HoldsMountPoint,  // `path` is or holds a mount point
    HoldsRestricted,  // `path` is or holds a folder that could not be listed
    RemoveFailed,     // `path` could not be removed: `os_error`
  };
  Kind kind = Kind::NotDeletable;
  std::string path;
  platform::OsError os_error{};

  friend bool operator==(const BrowseError&, const BrowseError&) = default;
};

std::string to_string(const BrowseError& error);

class BrowserModel {
 public:
  // With one available target the browser opens in its root; otherwise in the list of targets.
  // The cursor starts on the first row; rows are sorted by size, the largest first.
  explicit BrowserModel(std::vector<BrowseTarget> targets, bool apparent = false);

  const Place& place() const { return place_; }
  const std::vector<Row>& rows() const { return rows_; }
  std::size_t cursor() const { return cursor_; }
  const Row* selected() const { return rows_.empty() ? nullptr : &rows_[cursor_]; }
  SortKey sort_key() const { return sort_key_; }
  // Whether the order is the opposite of the key's first one (size, items and modified time
  // start with the largest or newest, names from A).
  bool reversed() const { return reversed_; }
  bool apparent() const { return apparent_; }
  const std::vector<BrowseTarget>& targets() const { return targets_; }

  // The cursor moved by `delta` rows, or to `row`, within the rows.
  void move_cursor(std::ptrdiff_t delta);
  void move_to(std::size_t row);
  // Opens the row under the cursor when it is a folder, a drive or an available target; the
  // cursor goes to its first row. False when there is nothing to open.
  bool open_selected();
  // Goes to the folder above (or to the list of targets) with the cursor on the folder left.
  // False at the top.
  bool go_up();
  // Sorts by `key`; the same key again reverses the order. The cursor stays on its entry.
  void sort(SortKey key);
  // Switches between sizes on disk and logical sizes. The cursor stays on its entry.
  void toggle_apparent();

  // A row's figures, with deletions taken off.
  Sizes sizes(const Row& row) const;
  uint64_t size(const Row& row) const;   // on disk or logical, as chosen
  uint64_t items(const Row& row) const;  // entries below it (0 for all but folders)
  bool is_folder(const Row& row) const;
  std::string_view name(const Row& row) const;  // raw, for sorting; valid as long as the model
  // The name as the report shows it: printable, with the marks of restricted folders, mount
  // points, links and hard links, and "/" after a folder.
  std::string label(const Row& row) const;
  NodeRecordKind kind(const Row& row) const;
  uint64_t modified_at(const Row& row) const;

  // The place's figures: the size that rows' shares are of, and the entries below it.
  Sizes place_sizes() const;
  uint64_t place_size() const;
  uint64_t place_items() const;
  // The place's path as shown (display_root form); "" for the list of targets.
  std::string place_path() const;
  std::string path(const Row& row) const;  // the row's full path, printable

  // Whether the row could be deleted: not the Unknown Space or a target, and holding no mount
  // point and no restricted folder (whose removal would go astray or stop half-way).
  [[nodiscard]] tl::expected<void, BrowseError> check_deletable(const Row& row) const;
  // Removes the selected entry through `remover` and takes it out of the model: its row goes,
  // and every folder above it loses its sizes and entries. On failure nothing changes.
  [[nodiscard]] tl::expected<void, BrowseError> delete_selected(EntryRemover& remover);

 private:
  struct TargetState {
    std::vector<uint32_t> items;                        // entries below each node, as scanned
    tsl::robin_set<NodeIndex> deleted;                  // nodes removed (their subtrees with them)
    tsl::robin_map<NodeIndex, Sizes> removed;           // sizes deleted below each node
    tsl::robin_map<NodeIndex, uint32_t> removed_items;  // entries deleted below each node
  };

  void enter(const Place& place);
  void list_rows();
  void sort_rows();
  bool before(const Row& a, const Row& b) const;
  const BrowseTree& tree_of(const Row& row) const { return *targets_[row.target].tree; }

  std::vector<BrowseTarget> targets_;
  std::vector<TargetState> states_;  // by target
  Place place_;
  Place top_;  // where going up ends
  std::vector<Row> rows_;
  std::size_t cursor_ = 0;
  SortKey sort_key_ = SortKey::Size;
  bool reversed_ = false;
  bool apparent_ = false;
};

}  // namespace ketterlin::host
