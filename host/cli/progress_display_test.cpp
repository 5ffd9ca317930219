#include "host/cli/progress_display.h"

#include <gtest/gtest.h>

namespace ketterlin::host {
namespace {

using Clock = ProgressDisplay::Clock;
using std::chrono::milliseconds;

struct Harness {
  std::vector<std::string> written;
  Clock::time_point now{};
  ProgressDisplay make(ProgressDisplay::Mode mode, std::size_t targets = 1) {
    return ProgressDisplay(
        mode, 60, targets, true, [this](std::string_view text) { written.emplace_back(text); },
        [this] { return now; });
  }
};

elevation::DecodedProgress event(uint64_t target, uint64_t files,
                                 ProgressStatus status = ProgressStatus::Running) {
  elevation::DecodedProgress progress;
  progress.target_index = target;
  progress.current_path = "/data/x";
  progress.files_discovered = files;
  progress.status = status;
  return progress;
}

TEST(ProgressDisplayTest, RedrawsATerminalLineAtMostEveryTenthOfASecond) {
  Harness harness;
  ProgressDisplay display = harness.make(ProgressDisplay::Mode::Terminal);
  display.update(event(0, 1));
  harness.now += milliseconds(50);
  display.update(event(0, 2));  // too soon
  harness.now += milliseconds(60);
  display.update(event(0, 3));
  harness.now += milliseconds(1);
  display.update(event(0, 4, ProgressStatus::Completed));  // final: always shown
  display.clear();
  ASSERT_EQ(harness.written.size(), 4u);
  // The cursor is hidden with the first line and shown again by clear().
  EXPECT_EQ(harness.written[0].substr(0, 15), "\x1b[?25l\r1 name, ");
  EXPECT_EQ(harness.written[1].substr(0, 10), "\r3 names, ");
  EXPECT_EQ(harness.written[2].substr(0, 10), "\r4 names, ");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(harness.written[i].substr(harness.written[i].size() - 3), "\x1b[K");
    EXPECT_EQ(harness.written[i].find('\n'), std::string::npos);
  }
  EXPECT_EQ(harness.written[3], "\r\x1b[K\x1b[?25h");
}

TEST(ProgressDisplayTest, WritesPlainLinesAboutOnceASecond) {
  Harness harness;
  ProgressDisplay display = harness.make(ProgressDisplay::Mode::Plain, 2);
  display.update(event(0, 1));
  harness.now += milliseconds(500);
  display.update(event(0, 2));  // too soon
  harness.now += milliseconds(600);
  display.update(event(0, 3));
  harness.now += milliseconds(10);
  display.update(event(1, 0, ProgressStatus::Queued));  // a new target: always shown
  display.clear();                                      // nothing to clear in a plain stream
  ASSERT_EQ(harness.written.size(), 3u);
  EXPECT_EQ(harness.written[0].substr(0, 14), "[1/2] 1 name, ");
  EXPECT_EQ(harness.written[1].substr(0, 14), "[1/2] 3 names,");
  EXPECT_EQ(harness.written[2].substr(0, 14), "[2/2] 0 names,");
  for (const std::string& line : harness.written) {
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\r'), std::string::npos);
  }
}

TEST(ProgressDisplayTest, StaysSilentWhenOff) {
  Harness harness;
  ProgressDisplay display = harness.make(ProgressDisplay::Mode::Off);
  display.update(event(0, 1, ProgressStatus::Completed));
  display.clear();
  EXPECT_TRUE(harness.written.empty());
}

}  // namespace
}  // namespace ketterlin::host
