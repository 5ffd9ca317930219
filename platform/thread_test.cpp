#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/thread_name.h"

namespace ketterlin::platform {
namespace {

using namespace std::chrono_literals;

TEST(Thread, RunsItsBodyOnAnotherThreadUntilJoined) {
  std::thread::id ran_on;
  auto thread = Thread::start([&] { ran_on = std::this_thread::get_id(); });
  ASSERT_TRUE(thread.has_value()) << to_string(thread.error());
  thread->join();
  EXPECT_NE(ran_on, std::thread::id());
  EXPECT_NE(ran_on, std::this_thread::get_id());
}

TEST(Thread, ADetachedThreadRunsOnAndKeepsWhatItOwns) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto thread = Thread::start([done] {
    std::this_thread::sleep_for(20ms);
    done->store(true);
  });
  ASSERT_TRUE(thread.has_value());
  thread->detach();
  for (int i = 0; i < 500 && !done->load(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(done->load());
}

}  // namespace
}  // namespace ketterlin::platform
