#include "platform/file_system.h"

#include <gtest/gtest.h>

namespace ketterlin::platform {
namespace {

TEST(FileTime, WholeSecondsSince1970) {
  constexpr uint64_t k1970 = 116444736000000000ULL;  // 1970-01-01 in ticks since 1601
  constexpr uint64_t kSecond = 10000000ULL;
  struct Case {
    const char* name;
    uint64_t file_time;
    uint64_t seconds;
  };
  const Case cases[] = {
      {"1601", 0, 0},
      {"one tick before 1970", k1970 - 1, 0},
      {"1970 exactly", k1970, 0},
      {"a tick short of one second", k1970 + kSecond - 1, 0},
      {"one second", k1970 + kSecond, 1},
      {"2021-01-01 00:00:00.5", k1970 + 1609459200ULL * kSecond + kSecond / 2, 1609459200},
      {"largest file time", UINT64_MAX, 1833029933770ULL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(epoch_seconds_from_file_time(c.file_time), c.seconds);
  }
}

}  // namespace
}  // namespace ketterlin::platform
