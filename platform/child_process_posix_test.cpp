#include <errno.h>
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/child_process.h"

namespace ketterlin::platform {

void PrintTo(const ExitStatus& status, std::ostream* out) { *out << debug_string(status); }

namespace {

using std::chrono::milliseconds;
using Kind = ExitStatus::Kind;

ChildProcessOptions shell(std::string script, std::vector<std::string> extra = {}) {
  ChildProcessOptions options{"/bin/sh", {"-c", std::move(script), "sh"}};
  for (auto& argument : extra) options.arguments.push_back(std::move(argument));
  options.standard_input = StreamSetup::Null;
  options.standard_output = StreamSetup::Pipe;
  options.standard_error = StreamSetup::Pipe;
  return options;
}

ChildOutput run_to_end(const ChildProcessOptions& options) {
  auto child = ChildProcess::start(options);
  EXPECT_TRUE(child.has_value()) << to_string(child.error());
  if (!child) return {};
  auto output = child->wait_with_output(milliseconds(20000));
  EXPECT_TRUE(output.has_value()) << to_string(output.error());
  return output.value_or(ChildOutput{});
}

TEST(ChildProcess, StatusesArgumentsEnvironmentAndOutput) {
  ASSERT_EQ(setenv("KETTERLIN_CHILD_TEST", "inherited", 1), 0);
  struct Case {
    const char* name;
    ChildProcessOptions options;
    ExitStatus status;
    std::string standard_output;
    std::string standard_error;
  };
  const Case cases[] = {
      {"exit status", shell("exit 3"), {Kind::Exited, 3}, "", ""},
      {"killed by a signal", shell("kill -TERM $$"), {Kind::Killed, SIGTERM}, "", ""},
      {"both outputs kept apart",
       shell("printf out; printf err >&2"),
       {Kind::Exited, 0},
       "out",
       "err"},
      {"arguments arrive exactly",
       shell(R"(printf '%s|' "$@")", {"a b", "", "\"q\"", "\\"}),
       {Kind::Exited, 0},
       "a b||\"q\"|\\|",
       ""},
      {"environment unchanged",
       shell("printf %s \"$KETTERLIN_CHILD_TEST\""),
       {Kind::Exited, 0},
       "inherited",
       ""},
      {"null input reads as empty", shell("cat; echo $?"), {Kind::Exited, 0}, "0\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ChildOutput output = run_to_end(c.options);
    EXPECT_EQ(output.status, c.status);
    EXPECT_EQ(output.standard_output, c.standard_output);
    EXPECT_EQ(output.standard_error, c.standard_error);
    EXPECT_FALSE(output.timed_out);
  }
}

TEST(ChildProcess, LargeOutputOnBothStreamsDoesNotBlock) {
  // Far more than a pipe holds, on both streams, the second one first.
  const ChildOutput output =
      run_to_end(shell("head -c 1000000 /dev/zero >&2; head -c 700000 /dev/zero"));
  EXPECT_EQ(output.status, (ExitStatus{Kind::Exited, 0}));
  EXPECT_EQ(output.standard_output.size(), 700000u);
  EXPECT_EQ(output.standard_error.size(), 1000000u);
}

TEST(ChildProcess, InputPipeFeedsTheChildAndClosingItEndsTheInput) {
  ChildProcessOptions options = shell("cat; echo end");
  options.standard_input = StreamSetup::Pipe;
  auto child = ChildProcess::start(options);
  ASSERT_TRUE(child.has_value());
  ASSERT_TRUE(child->write_input("first,").has_value());
  ASSERT_TRUE(child->write_input(std::string(1000, 'd')).has_value());
  // cat ends only when the input pipe closes, which wait_with_output does first.
  auto output = child->wait_with_output(milliseconds(20000));
  ASSERT_TRUE(output.has_value());
  EXPECT_FALSE(output->timed_out);
  EXPECT_EQ(output->standard_output, "first," + std::string(1000, 'd') + "end\n");
  EXPECT_FALSE(child->write_input("late").has_value()) << "the input is closed";
}

TEST(ChildProcess, WritingToAChildThatStoppedReadingIsAnError) {
  ChildProcessOptions options = shell("exec 0<&-; exit 0");
  options.standard_input = StreamSetup::Pipe;
  auto child = ChildProcess::start(options);
  ASSERT_TRUE(child.has_value());
  auto output = child->try_wait();
  while (output && !*output) {
    std::this_thread::sleep_for(milliseconds(5));
    output = child->try_wait();
  }
  // Without SIGPIPE being held back this process would die here.
  const auto written = child->write_input(std::string(100000, 'x'));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), OsError{EPIPE});
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "the raised SIGPIPE must be taken back";
}

TEST(ChildProcess, TimeLimitKillsAHungChild) {
  auto child = ChildProcess::start(shell("printf started; exec sleep 30"));
  ASSERT_TRUE(child.has_value());
  const auto start = std::chrono::steady_clock::now();
  auto output = child->wait_with_output(milliseconds(300));
  ASSERT_TRUE(output.has_value());
  EXPECT_TRUE(output->timed_out);
  EXPECT_EQ(output->status, (ExitStatus{Kind::Killed, SIGKILL}));
  EXPECT_EQ(output->standard_output, "started");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(ChildProcess, TryWaitReportsRunningThenTheStatus) {
  ChildProcessOptions options = shell("read line; exit 7");
  options.standard_input = StreamSetup::Pipe;  // `read` waits until the input closes
  auto child = ChildProcess::start(options);
  ASSERT_TRUE(child.has_value());
  auto running = child->try_wait();
  ASSERT_TRUE(running.has_value());
  EXPECT_EQ(*running, std::nullopt);
  auto output = child->wait_with_output(milliseconds(20000));  // closes the input
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->status, (ExitStatus{Kind::Exited, 7}));
  EXPECT_EQ(child->try_wait().value(), std::optional(ExitStatus{Kind::Exited, 7}));
}

TEST(ChildProcess, DestroyingARunningChildKillsIt) {
  const auto start = std::chrono::steady_clock::now();
  {
    auto child = ChildProcess::start(shell("exec sleep 30"));
    ASSERT_TRUE(child.has_value());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(ChildProcess, SignalStateOfTheParentIsNotInherited) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous_action {};
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous_action), 0);
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigset_t previous_mask;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &previous_mask), 0);

  const ChildOutput piped = run_to_end(shell("kill -PIPE $$; exit 0"));
  const ChildOutput terminated = run_to_end(shell("kill -TERM $$; exit 0"));

  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  sigaction(SIGPIPE, &previous_action, nullptr);
  EXPECT_EQ(piped.status, (ExitStatus{Kind::Killed, SIGPIPE}));
  EXPECT_EQ(terminated.status, (ExitStatus{Kind::Killed, SIGTERM}));
}

TEST(ChildProcess, StartFailures) {
  struct Case {
    const char* name;
    ChildProcessOptions options;
    uint32_t error;
  };
  const Case cases[] = {
      {"missing program", {"/nonexistent/ketterlin-program", {}}, ENOENT},
      {"zero inside an argument", {"/bin/sh", {std::string("a\0b", 3)}}, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto child = ChildProcess::start(c.options);
    ASSERT_FALSE(child.has_value());
    EXPECT_EQ(child.error(), OsError{c.error});
  }
}

}  // namespace
}  // namespace ketterlin::platform
