#include <errno.h>
#include <string.h>

#include "platform/os_error.h"

namespace ketterlin::platform {

OsError last_os_error() { return OsError{static_cast<uint32_t>(errno)}; }

std::string os_error_description(OsError error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in `buffer`.
  const char* text = strerror_r(static_cast<int>(error.code), buffer, sizeof buffer);
  return text != nullptr && *text != '\0' ? std::string(text) : "Unknown error";
}

}  // namespace ketterlin::platform
