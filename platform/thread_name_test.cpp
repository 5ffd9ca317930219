#include "platform/thread_name.h"

#include <gtest/gtest.h>

#include <thread>

namespace ketterlin::platform {
namespace {

TEST(ThreadName, ShortFormsFitFifteenBytes) {
  struct Case {
    const char* name;
    const char* shortened;
  };
  const Case cases[] = {
      {"ketterlin-scan-coordinator-1", "kscan-coord-1"},
      {"ketterlin-scan-coordinator-123456", "kscan-coord-123"},
      {"ketterlin-scan-0", "kscan-0"},
      {"ketterlin-scan-7", "kscan-7"},
      {"main", "main"},
      {"a-name-longer-than-fifteen", "a-name-longer-t"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(short_thread_name(c.name), c.shortened);
  }
}

TEST(ThreadName, TheSystemKeepsTheNameOfTheCallingThread) {
  std::string seen;
  std::thread thread([&] {
    ASSERT_TRUE(set_current_thread_name("ketterlin-scan-coordinator-42"));
    seen = current_thread_name();
  });
  thread.join();
  // Windows keeps the whole name, Linux the short form.
  EXPECT_TRUE(seen == "ketterlin-scan-coordinator-42" || seen == "kscan-coord-42") << seen;
}

}  // namespace
}  // namespace ketterlin::platform
