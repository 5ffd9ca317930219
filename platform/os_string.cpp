#include "platform/os_string.h"

#include "platform/path_style.h"

namespace ketterlin::platform {

OsString join_path(OsStringView directory, OsStringView name) {
  OsString path;
  path.reserve(directory.size() + 1 + name.size());
  path.append(directory);
  append_path(path, name, native_path_style());
  return path;
}

}  // namespace ketterlin::platform
