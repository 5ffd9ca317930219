// The known-locations classifier's table, visible to its fuzzer and tests so that their slow
// reference tests the very rows the classifier holds. Everyone else calls
// classify_known_location.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "storage/known_locations.h"

namespace ketterlin::storage::internal {

enum class MatcherKind : uint8_t {
  AnyComponent,       // some component equals one of the texts
  ComponentPrefix,    // some component starts with the text
  ComponentSequence,  // consecutive components equal the texts; an empty text is any component
  FileName,           // the last component equals the text
  CacheUnder,         // the texts occur as consecutive components, and a later one holds "cache"
};

// One row of the table: the category it gives and how its texts must match the components of a
// normalised path (split at '\', empty pieces dropped).
struct LocationRule {
  // `texts` holds at most three texts; more fail to compile where the table is built.
  constexpr LocationRule(KnownLocation category, MatcherKind kind,
                         std::initializer_list<std::string_view> texts)
      : category(category), kind(kind), slot_count(texts.size()) {
    std::copy(texts.begin(), texts.end(), slots.begin());
  }

  std::span<const std::string_view> texts() const { return {slots.data(), slot_count}; }

  KnownLocation category;
  MatcherKind kind;
  std::array<std::string_view, 3> slots{};
  std::size_t slot_count;
};

// The text a CacheUnder row looks for in the components after its sequence.
inline constexpr std::string_view kCacheText = "cache";

// The rows in the order classify_known_location tests them; the first that matches decides.
// All texts are lower case: paths are matched in their normalised form.
std::span<const LocationRule> location_rules();

}  // namespace ketterlin::storage::internal
