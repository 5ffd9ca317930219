// Fuzz target: classify_known_location on any bytes as text, and on the normalised form of the
// same bytes read as a path.
//
// Oracle: the category is the one a slow reference gives, which splits the text into its
// components and tests every row of the classifier's own location table, in table order, with no
// pre-filter. The rows are shared; what the target checks is the pre-filter and the matching.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "storage/known_locations.h"
#include "storage/known_locations_internal.h"
#include "storage/windows_path.h"

namespace ketterlin::fuzz {
namespace {

using storage::KnownLocation;
using storage::internal::LocationRule;
using storage::internal::MatcherKind;

std::vector<std::string_view> components_of(std::string_view text) {
  std::vector<std::string_view> components;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t separator = rest.find('\\');
    const std::string_view piece = rest.substr(0, separator);
    if (!piece.empty()) components.push_back(piece);
    if (separator == std::string_view::npos) break;
    rest.remove_prefix(separator + 1);
  }
  return components;
}

bool slots_match_at(const std::vector<std::string_view>& components, std::size_t start,
                    std::span<const std::string_view> slots) {
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (!slots[i].empty() && components[start + i] != slots[i]) return false;
  }
  return true;
}

// The position just past the first run of components that `slots` match, if any.
std::optional<std::size_t> first_run_end(const std::vector<std::string_view>& components,
                                         std::span<const std::string_view> slots) {
  for (std::size_t start = 0; start + slots.size() <= components.size(); ++start) {
    if (slots_match_at(components, start, slots)) return start + slots.size();
  }
  return std::nullopt;
}

bool row_matches(const LocationRule& row, const std::vector<std::string_view>& components) {
  const std::span<const std::string_view> texts = row.texts();
  switch (row.kind) {
    case MatcherKind::AnyComponent:
      for (std::string_view component : components) {
        for (std::string_view name : texts) {
          if (component == name) return true;
        }
      }
      return false;
    case MatcherKind::ComponentPrefix:
      for (std::string_view component : components) {
        if (component.starts_with(texts[0])) return true;
      }
      return false;
    case MatcherKind::ComponentSequence:
      return first_run_end(components, texts).has_value();
    case MatcherKind::FileName:
      return !components.empty() && components.back() == texts[0];
    case MatcherKind::CacheUnder: {
      const std::optional<std::size_t> end = first_run_end(components, texts);
      for (std::size_t i = end.value_or(components.size()); i < components.size(); ++i) {
        if (components[i].find(storage::internal::kCacheText) != std::string_view::npos) {
          return true;
        }
      }
      return false;
    }
  }
  return false;
}

std::optional<KnownLocation> reference_classify(std::string_view text) {
  const std::vector<std::string_view> components = components_of(text);
  for (const LocationRule& row : storage::internal::location_rules()) {
    if (row_matches(row, components)) return row.category;
  }
  return std::nullopt;
}

std::string describe(std::optional<KnownLocation> category) {
  return category ? std::to_string(static_cast<int>(*category)) : "none";
}

void check_classification(std::string_view input, std::string_view text) {
  const std::optional<KnownLocation> expected = reference_classify(text);
  const std::optional<KnownLocation> found = storage::classify_known_location(text);
  if (found != expected) {
    fail("the category is the first matching row's", input,
         std::string(text) + " -> " + describe(found) + ", reference " + describe(expected));
  }
}

}  // namespace
}  // namespace ketterlin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace ketterlin;
  const std::string_view input = fuzz::as_text(data, size);
  fuzz::check_classification(input, input);
  fuzz::check_classification(input, storage::normalize_path_text(input).text());
  return 0;
}
