#include "platform/file_system.h"

namespace ketterlin::platform {

uint64_t epoch_seconds_from_file_time(uint64_t file_time) {
  // 1970-01-01 in 100-nanosecond ticks since 1601-01-01.
  constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;
  constexpr uint64_t kTicksPerSecond = 10000000ULL;
  if (file_time < kUnixEpochTicks) return 0;
  return (file_time - kUnixEpochTicks) / kTicksPerSecond;
}

}  // namespace ketterlin::platform
