#include "scan_helper/test_host.h"

namespace ketterlin::helper::testing {

std::vector<std::string> split_lines(std::string_view bytes) {
  std::vector<std::string> lines;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    lines.emplace_back(bytes.substr(0, end));
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace ketterlin::helper::testing
