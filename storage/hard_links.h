// The hard-link rules that every copy of a scan tree shares. The scan tree model applies them
// while it grows; the host applies them to the tree it rebuilds from the helper's nodes. Both
// therefore count each group once and credit the same folder with its size.
//
// Nodes with equal identities (FileIdentity) form a group; identity_hash keys the tables and
// sorts that find them. The group's size is counted at its primary, its least member in the link
// order (link_precedes); the other members count 0.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "storage/node_table.h"
#include "storage/windows_path.h"

namespace ketterlin::storage {

// A hash of the whole identity, mixed so that both its low bits (a power-of-two table) and its
// high bits (a sort key) are spread.
uint64_t identity_hash(const FileIdentity& identity);

// The link order: true when member `a` precedes member `b` of one tree. `path_a` and `path_b` are
// their full paths normalised (normalize_path); the one whose text is less byte-wise precedes.
// When both normalise to one text (two spellings of one path, such as letter case on Windows),
// the names of their paths below the tree's root decide, compared one by one from the top as raw
// names; a member whose names are a prefix of the other's precedes it.
//
// `names_below_root(member)` gives a member's names from the top, as a sized, indexable range;
// it is called only for such a tie. `compare_names(x, y)` orders two names as the system orders
// raw names (bytes on POSIX, UTF-16 code units on Windows): negative, zero or positive.
template <typename NamesBelowRoot, typename CompareNames>
bool link_precedes(uint32_t a, const NormalizedPath& path_a, uint32_t b,
                   const NormalizedPath& path_b, NamesBelowRoot names_below_root,
                   CompareNames compare_names) {
  if (path_a != path_b) return path_a < path_b;
  const auto names_a = names_below_root(a);
  const auto names_b = names_below_root(b);
  const std::size_t common = std::min(names_a.size(), names_b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const int order = compare_names(names_a[i], names_b[i]);
    if (order != 0) return order < 0;
  }
  return names_a.size() < names_b.size();
}

}  // namespace ketterlin::storage
