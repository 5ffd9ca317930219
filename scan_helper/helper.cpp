#include "scan_helper/helper.h"

#include <string>

#include "platform/process.h"

namespace ketterlin::helper {
namespace {

constexpr const char* kUsage = "usage: ketterlin-scan-helper --pipe <name>";

int fail(const std::string& text) {
  platform::write_standard_error(text + "\n");
  return 1;
}

}  // namespace

int run_helper(const std::vector<platform::OsString>& arguments) {
  if (arguments.size() != 2 || arguments[0] != platform::from_utf8("--pipe")) return fail(kUsage);
  if (!platform::to_utf8(arguments[1])) return fail("pipe name must be Unicode");
  return fail("scanning is not available yet");
}

}  // namespace ketterlin::helper
