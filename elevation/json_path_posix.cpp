#include "elevation/json_text.h"
#include "platform/unicode.h"

namespace ketterlin::elevation {

// POSIX paths are bytes: valid UTF-8 is written as it stands, without a copy.
bool append_json_path(std::string& out, platform::OsStringView path, bool lossless) {
  if (platform::is_valid_utf8(path)) {
    append_json_string(out, path);
    return true;
  }
  if (!lossless) return false;
  append_json_bytes_lossless(out, path);
  return true;
}

}  // namespace ketterlin::elevation
