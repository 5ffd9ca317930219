#include "storage/known_locations.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/panic.h"
#include "storage/known_locations_internal.h"

// How a path is classified: the rule table below is the whole definition, tested in order with
// the first matching row winning. Testing 24 rows against every path would split and compare
// components for nothing in almost every case, so each row first contributes one or more literal
// texts that must occur in a path it can match. One pass of a multi-pattern matcher over the path
// yields the set of texts that occur, hence a mask of candidate rows, and only those rows are
// tested.

namespace ketterlin::storage {
namespace {

using internal::kCacheText;
using internal::LocationRule;
using internal::MatcherKind;

// The rows in the order they are tested (location_rules() in the internal header shows them).
constexpr std::array<LocationRule, 24> build_location_rules() {
  using enum KnownLocation;
  using enum MatcherKind;
  return {{
      {RecycleBin, AnyComponent, {"$recycle.bin"}},
      {SystemVolumeInformation, AnyComponent, {"system volume information"}},
      {WindowsUpdateCache, ComponentSequence, {"windows", "softwaredistribution"}},
      {ComponentStore, ComponentSequence, {"windows", "winsxs"}},
      {PreviousWindows, AnyComponent, {"windows.old"}},
      {TemporaryFiles, ComponentSequence, {"windows", "temp"}},
      {TemporaryFiles, ComponentSequence, {"windows", "systemtemp"}},
      {TemporaryFiles, ComponentSequence, {"appdata", "local", "temp"}},
      {Downloads, ComponentSequence, {"users", "", "downloads"}},
      {OneDrive, AnyComponent, {"onedrive"}},
      {OneDrive, ComponentPrefix, {"onedrive - "}},
      {OtherCloudSync, AnyComponent, {"dropbox", "google drive", "icloud drive"}},
      {DockerData, ComponentSequence, {"docker", "wsl"}},
      {DockerData, FileName, {"docker_data.vhdx"}},
      {WslDisk, FileName, {"ext4.vhdx"}},
      {HyperV, AnyComponent, {"hyper-v"}},
      {VirtualMachines, AnyComponent, {"virtualbox vms", "virtual machines"}},
      {Steam, AnyComponent, {"steam", "steamapps", "steamlibrary"}},
      {EpicGames, AnyComponent, {"epic games"}},
      {XboxGames, AnyComponent, {"xboxgames"}},
      {WindowsApps, AnyComponent, {"windowsapps"}},
      {DeviceBackups, ComponentSequence, {"mobilesync", "backup"}},
      {DeviceBackups, ComponentSequence, {"samsung", "smartswitch"}},
      {ApplicationCache, CacheUnder, {"appdata", "local"}},
  }};
}

constexpr std::array<LocationRule, 24> kRules = build_location_rules();
static_assert(kRules.size() < 64, "a candidate mask has one bit per row");
constexpr uint64_t kAllRows = (uint64_t{1} << kRules.size()) - 1;

// The literal texts whose occurrence makes row `rule` a candidate. Empty for a sequence of empty
// slots only: such a row is always tested.
std::vector<std::string_view> texts_required_by(const LocationRule& rule) {
  const std::span<const std::string_view> texts = rule.texts();
  switch (rule.kind) {
    case MatcherKind::AnyComponent:
    case MatcherKind::ComponentPrefix:
    case MatcherKind::FileName:
      return {texts.begin(), texts.end()};
    case MatcherKind::ComponentSequence:
      for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
        if (!it->empty()) return {*it};
      }
      return {};
    case MatcherKind::CacheUnder:
      return {kCacheText};
  }
  return {};
}

// The distinct texts of the table, each with the rows that require it, and the matcher over them.
struct PatternSet {
  std::vector<uint64_t> row_masks;  // indexed by the matcher's pattern index
  uint64_t always_tested = 0;
  std::unique_ptr<RE2::Set> matcher;
};

// Merges every row's texts into distinct patterns, one mask bit per row.
void collect_patterns(std::vector<std::string_view>& texts, PatternSet& set) {
  for (std::size_t row = 0; row < kRules.size(); ++row) {
    const uint64_t bit = uint64_t{1} << row;
    const std::vector<std::string_view> required = texts_required_by(kRules[row]);
    if (required.empty()) set.always_tested |= bit;
    for (std::string_view text : required) {
      std::size_t index = 0;
      while (index < texts.size() && texts[index] != text) ++index;
      if (index == texts.size()) {
        texts.push_back(text);
        set.row_masks.push_back(0);
      }
      set.row_masks[index] |= bit;
    }
  }
}

// Builds the pattern set; stops the thread when the matcher cannot be built, which the fixed
// table never causes.
PatternSet build_pattern_set() {
  PatternSet set;
  std::vector<std::string_view> texts;
  collect_patterns(texts, set);

  RE2::Options options;
  options.set_literal(true);
  options.set_case_sensitive(true);
  options.set_encoding(RE2::Options::EncodingLatin1);  // byte-exact, whatever the path holds
  options.set_log_errors(false);
  set.matcher = std::make_unique<RE2::Set>(options, RE2::UNANCHORED);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (set.matcher->Add(re2::StringPiece(texts[i].data(), texts[i].size()), nullptr) !=
        static_cast<int>(i)) {
      platform::panic("static location patterns");
    }
  }
  if (!set.matcher->Compile()) platform::panic("static location patterns");
  return set;
}

const PatternSet& pattern_set() {
  static const PatternSet set = build_pattern_set();
  return set;
}

// Rows whose required text occurs somewhere in `text`.
uint64_t candidate_rows(const PatternSet& set, std::string_view text) {
  thread_local std::vector<int> matched;
  RE2::Set::ErrorInfo error{RE2::Set::kNoError};
  const bool any = set.matcher->Match(re2::StringPiece(text.data(), text.size()), &matched, &error);
  // The matcher only narrows the rows to test; if it gives up, test them all.
  if (!any) return error.kind == RE2::Set::kNoError ? set.always_tested : kAllRows;
  uint64_t candidates = set.always_tested;
  for (int index : matched) candidates |= set.row_masks[static_cast<std::size_t>(index)];
  return candidates;
}

std::vector<std::string_view> split_components(std::string_view text) {
  std::vector<std::string_view> components;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\\', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) components.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return components;
}

// The index just past the first run of consecutive components that `slots` match (an empty slot
// matches any component), or nullopt when there is none.
std::optional<std::size_t> find_sequence_end(std::span<const std::string_view> components,
                                             std::span<const std::string_view> slots) {
  if (slots.size() > components.size()) return std::nullopt;
  for (std::size_t start = 0; start + slots.size() <= components.size(); ++start) {
    bool all_equal = true;
    for (std::size_t i = 0; i < slots.size() && all_equal; ++i) {
      all_equal = slots[i].empty() || slots[i] == components[start + i];
    }
    if (all_equal) return start + slots.size();
  }
  return std::nullopt;
}

bool any_component_equals(std::span<const std::string_view> components,
                          std::span<const std::string_view> names) {
  for (std::string_view component : components) {
    for (std::string_view name : names) {
      if (component == name) return true;
    }
  }
  return false;
}

bool rule_matches(const LocationRule& rule, std::span<const std::string_view> components) {
  switch (rule.kind) {
    case MatcherKind::AnyComponent:
      return any_component_equals(components, rule.texts());
    case MatcherKind::ComponentPrefix:
      for (std::string_view component : components) {
        if (component.starts_with(rule.texts()[0])) return true;
      }
      return false;
    case MatcherKind::ComponentSequence:
      return find_sequence_end(components, rule.texts()).has_value();
    case MatcherKind::FileName:
      return components.back() == rule.texts()[0];
    case MatcherKind::CacheUnder: {
      const std::optional<std::size_t> end = find_sequence_end(components, rule.texts());
      if (!end) return false;
      for (std::size_t i = *end; i < components.size(); ++i) {
        if (components[i].find(kCacheText) != std::string_view::npos) return true;
      }
      return false;
    }
  }
  return false;
}

}  // namespace

namespace internal {

std::span<const LocationRule> location_rules() { return kRules; }

}  // namespace internal

std::optional<KnownLocation> classify_known_location(std::string_view normalized) {
  const uint64_t candidates = candidate_rows(pattern_set(), normalized);
  if (candidates == 0) return std::nullopt;
  const std::vector<std::string_view> components = split_components(normalized);
  if (components.empty()) return std::nullopt;
  for (std::size_t row = 0; row < kRules.size(); ++row) {
    if ((candidates & (uint64_t{1} << row)) == 0) continue;
    if (rule_matches(kRules[row], components)) return kRules[row].category;
  }
  return std::nullopt;
}

}  // namespace ketterlin::storage
