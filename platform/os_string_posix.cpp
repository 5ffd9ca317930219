#include "platform/os_string.h"

#include "platform/unicode.h"

namespace ketterlin::platform {

std::optional<std::string> to_utf8(OsStringView s) {
  if (!is_valid_utf8(s)) return std::nullopt;
  return std::string(s);
}

std::string to_utf8_lossy(OsStringView s) { return utf8_lossy(s); }

OsString from_utf8(std::string_view utf8) { return OsString(utf8); }

}  // namespace ketterlin::platform
