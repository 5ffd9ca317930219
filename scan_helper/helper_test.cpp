#include "scan_helper/helper.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>

#include "platform/panic.h"

namespace ketterlin::helper {
namespace {

TEST(FaultBarrier, EveryWayOutEndsWithOneOfTheTwoStatuses) {
  struct Case {
    const char* name;
    std::function<int()> body;
    int status;
    std::string standard_error;
  };
  const Case cases[] = {
      {"a run that completes", [] { return 0; }, 0, ""},
      {"a run that reports its error", [] { return 1; }, 1, ""},
      {"a broken invariant", []() -> int { platform::panic("tree node out of range"); }, 1,
       "tree node out of range\n"},
      {"a failed allocation", []() -> int { throw std::bad_alloc(); }, 1,
       "memory allocation failed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::testing::internal::CaptureStderr();
    const int status = run_behind_fault_barrier(c.body);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.standard_error);
    EXPECT_EQ(status, c.status);
  }
}

}  // namespace
}  // namespace ketterlin::helper
