#include "platform/os_error.h"

namespace ketterlin::platform {

std::string to_string(OsError error) {
  return os_error_description(error) + " (os error " + std::to_string(error.code) + ")";
}

}  // namespace ketterlin::platform
