#include "platform/thread_name.h"

#include <array>
#include <utility>

namespace ketterlin::platform {

std::string short_thread_name(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kPrefixes = {{
      {"ketterlin-scan-coordinator-", "kscan-coord-"},
      {"ketterlin-scan-", "kscan-"},
  }};
  std::string shortened(name);
  for (const auto& [long_prefix, short_prefix] : kPrefixes) {
    if (name.starts_with(long_prefix)) {
      shortened = std::string(short_prefix) + std::string(name.substr(long_prefix.size()));
      break;
    }
  }
  if (shortened.size() > 15) shortened.resize(15);
  return shortened;
}

}  // namespace ketterlin::platform
