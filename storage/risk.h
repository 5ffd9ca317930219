// Risk classification: rates a normalised path from a policy of path lists and, optionally, the
// known-locations classifier.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/windows_path.h"

namespace ketterlin::storage {

// Ordered by value: a higher value is riskier.
enum class RiskLevel : uint8_t {
  Ordinary = 0,
  Low = 1,
  Medium = 2,
  High = 3,
};

// The rules that rate paths. Equal when the five lists are equal element by element, in order,
// and the flags are equal.
struct RiskPolicy {
  std::vector<NormalizedPath> high_paths;
  std::vector<NormalizedPath> high_trees;
  std::vector<NormalizedPath> medium_paths;
  std::vector<NormalizedPath> medium_trees;
  std::vector<NormalizedPath> low_trees;
  bool use_known_locations = false;

  // True when every path of this policy rates Ordinary: all lists empty and the flag off. A
  // caller may then skip normalising paths it would only rate.
  bool is_empty() const;

  friend bool operator==(const RiskPolicy&, const RiskPolicy&) = default;
};

// The rating of `path` under `policy`; the first rule that applies wins. Never fails.
RiskLevel classify_risk(const RiskPolicy& policy, const NormalizedPath& path);

}  // namespace ketterlin::storage
