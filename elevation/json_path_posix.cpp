#include "elevation/json_text.h"

namespace ketterlin::elevation {

// POSIX paths are bytes: valid UTF-8 is written as it stands, without a copy.
bool append_json_path(std::string& out, platform::OsStringView path, bool lossless) {
  const std::size_t start = out.size();
  if (append_json_utf8(out, path)) return true;
  out.resize(start);
  if (!lossless) return false;
  append_json_bytes_lossless(out, path);
  return true;
}

}  // namespace ketterlin::elevation
