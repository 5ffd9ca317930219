#include "platform/panic.h"

#include "platform/process.h"

namespace ketterlin::platform {

void panic(std::string_view text) {
  write_standard_error(std::string(text) + "\n");
  throw ThreadPanic{std::string(text)};
}

}  // namespace ketterlin::platform
