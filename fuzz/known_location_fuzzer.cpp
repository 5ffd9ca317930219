// Fuzz target: classify_known_location on any bytes as text, and on the normalised form of the
// same bytes read as a path.
//
// Oracle: the category is the one a slow reference gives, which splits the text into its
// components and tests every row of the location table, in table order, with no pre-filter. The
// table below is written out again from the rules, not taken from the classifier.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "storage/known_locations.h"
#include "storage/windows_path.h"

namespace ketterlin::fuzz {
namespace {

using storage::KnownLocation;

enum class Matcher {
  AnyComponent,       // some component equals one of the texts
  ComponentPrefix,    // some component starts with the text
  ComponentSequence,  // the texts match consecutive components; "" matches any one component
  FileName,           // the last component equals the text
  CacheUnder,         // the first run of the texts as components, then a later one holds "cache"
};

struct Row {
  KnownLocation category;
  Matcher matcher;
  std::vector<std::string_view> texts;
};

const std::vector<Row>& location_table() {
  using enum KnownLocation;
  using enum Matcher;
  static const std::vector<Row> table = {
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
  };
  return table;
}

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
                    const std::vector<std::string_view>& slots) {
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (!slots[i].empty() && components[start + i] != slots[i]) return false;
  }
  return true;
}

// The position just past the first run of components that `slots` match, if any.
std::optional<std::size_t> first_run_end(const std::vector<std::string_view>& components,
                                         const std::vector<std::string_view>& slots) {
  for (std::size_t start = 0; start + slots.size() <= components.size(); ++start) {
    if (slots_match_at(components, start, slots)) return start + slots.size();
  }
  return std::nullopt;
}

bool row_matches(const Row& row, const std::vector<std::string_view>& components) {
  switch (row.matcher) {
    case Matcher::AnyComponent:
      for (std::string_view component : components) {
        for (std::string_view name : row.texts) {
          if (component == name) return true;
        }
      }
      return false;
    case Matcher::ComponentPrefix:
      for (std::string_view component : components) {
        if (component.starts_with(row.texts[0])) return true;
      }
      return false;
    case Matcher::ComponentSequence:
      return first_run_end(components, row.texts).has_value();
    case Matcher::FileName:
      return !components.empty() && components.back() == row.texts[0];
    case Matcher::CacheUnder: {
      const std::optional<std::size_t> end = first_run_end(components, row.texts);
      for (std::size_t i = end.value_or(components.size()); i < components.size(); ++i) {
        if (components[i].find("cache") != std::string_view::npos) return true;
      }
      return false;
    }
  }
  return false;
}

std::optional<KnownLocation> reference_classify(std::string_view text) {
  const std::vector<std::string_view> components = components_of(text);
  for (const Row& row : location_table()) {
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
