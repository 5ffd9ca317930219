#include "scanner/manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "platform/file_system.h"
#include "platform/os_error.h"
#include "scanner/scan_testing.h"
#include "storage/display_path.h"

namespace ketterlin::scanner {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A fresh folder for one test, removed afterwards.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    path_ = fs::temp_directory_path() /
            ("ketterlin-manager-test-" +
             std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id())) + "-" +
             std::to_string(counter_++));
    fs::create_directories(path_);
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  OsString os_path() const { return path_.native(); }
  OsString canonical() const { return *platform::canonicalize(os_path()); }
  const fs::path& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

std::vector<ScanStatus> statuses_until_closed(ScanHandle& handle) {
  std::vector<ScanStatus> seen;
  for (;;) {
    NextProgress next = next_progress(handle, 5s);
    if (std::holds_alternative<ProgressClosed>(next)) return seen;
    if (std::holds_alternative<ProgressTimedOut>(next)) {
      ADD_FAILURE() << "no progress within 5 s";
      return seen;
    }
    seen.push_back(std::get<ScanProgress>(next).status);
    if (is_terminal(seen.back())) return seen;
  }
}

TEST(PoolThreadCount, FollowsTheHardwareThreads) {
  const std::pair<unsigned, unsigned> cases[] = {{0, 1}, {1, 1}, {2, 1},  {3, 1},
                                                 {4, 2}, {9, 7}, {10, 8}, {16, 8}};
  for (const auto& [hardware, pool] : cases) {
    SCOPED_TRACE(hardware);
    EXPECT_EQ(pool_thread_count(hardware), pool);
  }
}

// Runs `jobs` jobs that each wait until `together` of them have arrived, so that `together` pool
// threads must take part; returns the name of each job's thread.
std::vector<std::string> names_of_jobs(WorkerPool& pool, int jobs, int together) {
  std::mutex mutex;
  std::condition_variable arrival;
  std::vector<std::string> names;
  int arrived = 0;
  {
    WorkerPool::Scope scope(pool);
    for (int i = 0; i < jobs; ++i) {
      EXPECT_TRUE(scope.spawn([&] {
        std::unique_lock lock(mutex);
        names.push_back(platform::current_thread_name());
        ++arrived;
        arrival.notify_all();
        arrival.wait_for(lock, 10s, [&] { return arrived >= together; });
      }));
    }
    scope.wait();
  }
  return names;
}

TEST(WorkerPool, NamesEachThreadByItsIndexForItsWholeLife) {
  for (const unsigned threads : {1u, 2u, 8u}) {
    SCOPED_TRACE(threads);
    auto pool = *WorkerPool::create(threads);
    ASSERT_EQ(pool->thread_count(), threads);
    std::set<std::string> expected;
    for (unsigned i = 0; i < threads; ++i) {
      expected.insert(platform::held_thread_name("ketterlin-scan-" + std::to_string(i)));
    }
    // All threads at once, then again after they have all gone idle: the same names.
    const int all = static_cast<int>(threads);
    for (int round = 0; round < 2; ++round) {
      const std::vector<std::string> names = names_of_jobs(*pool, all, all);
      EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
      std::this_thread::sleep_for(50ms);
    }
    // Many jobs never run anywhere but on the pool's threads.
    for (const std::string& name : names_of_jobs(*pool, 50, 1)) {
      EXPECT_TRUE(expected.contains(name)) << name;
    }
  }
}

TEST(WorkerPool, AThreadThatCannotStartFailsTheBuildAndStopsTheOthers) {
  int started = 0;
  auto pool = WorkerPool::create(
      4, [&](std::function<void()> body) -> tl::expected<platform::Thread, platform::OsError> {
        if (++started == 3) return tl::unexpected(platform::OsError{11});
        return platform::Thread::start(std::move(body));
      });
  ASSERT_FALSE(pool);
  EXPECT_EQ(to_string(pool.error()), platform::to_string(platform::OsError{11}));
  EXPECT_EQ(started, 3);
}

TEST(WorkerPool, TwoPoolsKeepTheirOwnSizes) {
  auto small = *WorkerPool::create(1);
  auto large = *WorkerPool::create(4);
  EXPECT_EQ(names_of_jobs(*large, 4, 4).size(), 4u);
  EXPECT_EQ(names_of_jobs(*small, 1, 1).size(), 1u);
}

TEST(ScanManagerError, DisplayAndDebugForms) {
  const ScanManagerError error = ScanManagerError::pool_setup_failed("cannot build the pool");
  EXPECT_EQ(to_string(error), "cannot build the pool");
  EXPECT_EQ(debug_string(error), "ScanManagerError(\"cannot build the pool\")");
}

class ScanManagerTest : public ::testing::Test {
 protected:
  std::shared_ptr<ScanManager> manager(ScanManager::ThreadStarter starter = {}) {
    ScanManager::Options options;
    options.read_directory = reader_.function();
    options.start_thread = std::move(starter);
    return *ScanManager::create(std::move(options));
  }

  ScanRequest request_for(const TemporaryFolder& folder) {
    ScanRequest request;
    request.root = folder.os_path();
    return request;
  }

  FakeReader reader_;
  TemporaryFolder folder_;
};

TEST_F(ScanManagerTest, AQuickScanReportsQueuedRunningCompletedThenItsResult) {
  reader_.on(platform::join_path(folder_.canonical(), {}),
             {{Batch{{file("a", 3, 4096, 1)}}}, ok()});
  auto scans = manager();
  ScanHandle handle = scans->start(request_for(folder_));
  EXPECT_EQ(handle.id, ScanId{1});

  std::vector<ScanProgress> snapshots;
  for (;;) {
    NextProgress next = next_progress(handle, 5s);
    ASSERT_TRUE(std::holds_alternative<ScanProgress>(next));
    snapshots.push_back(std::get<ScanProgress>(next));
    if (is_terminal(snapshots.back().status)) break;
  }
  ASSERT_GE(snapshots.size(), 3u);
  EXPECT_EQ(snapshots.front().status, ScanStatus::Queued);
  EXPECT_EQ(snapshots.front().current_path, folder_.os_path());
  EXPECT_EQ(snapshots[1].status, ScanStatus::Running);
  EXPECT_EQ(snapshots.back().status, ScanStatus::Completed);
  EXPECT_EQ(snapshots.back().files_discovered, 1u);
  EXPECT_EQ(snapshots.back().folders_discovered, 1u);
  EXPECT_EQ(snapshots.back().bytes_measured, 4096u);

  ScanOutcome outcome = wait(std::move(handle));
  ASSERT_TRUE(std::holds_alternative<ScanResult>(outcome));
  const ScanResult& result = std::get<ScanResult>(outcome);
  EXPECT_EQ(result.final_progress, snapshots.back());
  EXPECT_EQ(result.id, ScanId{1});
  EXPECT_EQ(result.tree.node_count(), 2u);
  EXPECT_EQ(result.modified_at.size(), 2u);

  ScanHandle next = scans->start(request_for(folder_));
  EXPECT_EQ(next.id, ScanId{2});
  // Waited for: the scan uses this test's reader and folder.
  EXPECT_TRUE(std::holds_alternative<ScanResult>(wait(std::move(next))));
}

TEST_F(ScanManagerTest, CoordinatorThreadsAreNamedAfterTheirScan) {
  reader_.on(platform::join_path(folder_.canonical(), {}), {{Batch{}}, ok()});
  std::mutex mutex;
  std::vector<std::string> names;
  std::vector<std::thread> threads;
  auto scans = manager([&](std::function<void()> job) -> tl::expected<void, platform::OsError> {
    threads.emplace_back([&, job] {
      job();
      std::lock_guard lock(mutex);
      names.push_back(platform::current_thread_name());
    });
    return {};
  });
  for (int i = 0; i < 2; ++i) {
    ScanHandle handle = scans->start(request_for(folder_));
    (void)wait(std::move(handle));
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(names.size(), 2u);
  // The first thread may record its name after the second: its scan's outcome, which lets the
  // second scan start, is sent before. Sorted, the names are in scan order.
  std::sort(names.begin(), names.end());
  for (int i = 0; i < 2; ++i) {
    const std::string full = "ketterlin-scan-coordinator-" + std::to_string(i + 1);
    EXPECT_EQ(names[i], platform::held_thread_name(full));
  }
  // The directory job ran on a pool thread.
  const std::string worker = reader_.calls().at(0).thread_name;
  EXPECT_TRUE(worker.starts_with(platform::held_thread_name("ketterlin-scan-"))) << worker;
}

// A detached coordinator thread may still be alive after its outcome is taken (here it is held
// back at a gate); by then it must hold nothing of the manager, so that the caller's reference
// is the last one and the worker pool is destroyed on the caller's thread, before the caller can
// leave the process.
TEST_F(ScanManagerTest, TheCallerHoldsTheLastManagerReferenceOnceItHasTheOutcome) {
  struct Case {
    const char* name;
    tl::expected<void, DirectoryError> root_listing;
    bool completes;
  };
  const Case cases[] = {
      {"completed", ok(), true},
      {"failed", error(0x80070005, "Access is denied."), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reader_.on(platform::join_path(folder_.canonical(), {}), {{}, c.root_listing});
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::vector<std::thread> threads;
    auto scans = manager([&](std::function<void()> job) -> tl::expected<void, platform::OsError> {
      threads.emplace_back([job = std::move(job), gate] {
        job();
        gate.wait();
      });
      return {};
    });

    ScanOutcome outcome = wait(scans->start(request_for(folder_)));
    EXPECT_EQ(std::holds_alternative<ScanResult>(outcome), c.completes);
    const std::weak_ptr<ScanManager> watched = scans;
    scans.reset();
    EXPECT_TRUE(watched.expired());

    release.set_value();
    for (auto& thread : threads) thread.join();
  }
}

TEST_F(ScanManagerTest, AThirdScanWaitsForASlotAndCanBeCancelledThere) {
  std::promise<void> open;
  reader_.on(platform::join_path(folder_.canonical(), {}),
             {{WaitFor{open.get_future().share()}, Batch{}}, ok()});
  auto scans = manager();
  ScanHandle first = scans->start(request_for(folder_));
  ScanHandle second = scans->start(request_for(folder_));
  for (ScanHandle* running : {&first, &second}) {
    EXPECT_EQ(std::get<ScanProgress>(next_progress(*running, 5s)).status, ScanStatus::Queued);
    EXPECT_EQ(std::get<ScanProgress>(next_progress(*running, 5s)).status, ScanStatus::Running);
  }
  ScanHandle third = scans->start(request_for(folder_));

  // The first two run; the third announces Queued and then nothing while both slots are held.
  EXPECT_EQ(std::get<ScanProgress>(next_progress(third, 5s)).status, ScanStatus::Queued);
  EXPECT_TRUE(std::holds_alternative<ProgressTimedOut>(next_progress(third, 200ms)));

  third.cancel_requested->store(true);
  const auto cancelled_at = Clock::now();
  ASSERT_EQ(std::get<ScanProgress>(next_progress(third, 5s)).status, ScanStatus::Cancelled);
  EXPECT_LT(Clock::now() - cancelled_at, 1s);
  ScanOutcome outcome = wait(std::move(third));
  ASSERT_TRUE(std::holds_alternative<ScanFailure>(outcome));
  EXPECT_EQ(text_of(std::get<ScanFailure>(outcome)),
            (FailureText{ScanId{3}, folder_.os_path(), ScanStatus::Cancelled, "Scan cancelled"}));

  open.set_value();
  EXPECT_TRUE(std::holds_alternative<ScanResult>(wait(std::move(first))));
  EXPECT_TRUE(std::holds_alternative<ScanResult>(wait(std::move(second))));
}

TEST_F(ScanManagerTest, AThreadThatCannotStartFailsTheScan) {
  auto scans = manager([](std::function<void()>) -> tl::expected<void, platform::OsError> {
    return tl::unexpected(platform::OsError{11});
  });
  ScanHandle handle = scans->start(request_for(folder_));
  EXPECT_EQ(statuses_until_closed(handle),
            (std::vector<ScanStatus>{ScanStatus::Queued, ScanStatus::Failed}));
  ScanOutcome outcome = wait(std::move(handle));
  ASSERT_TRUE(std::holds_alternative<ScanFailure>(outcome));
  const auto& failure = std::get<ScanFailure>(outcome);
  EXPECT_EQ(failure.status(), ScanStatus::Failed);
  EXPECT_EQ(failure.path, folder_.os_path());
  EXPECT_EQ(failure.message(), platform::to_string(platform::OsError{11}));
}

TEST_F(ScanManagerTest, APoolThatCannotBeBuiltIsTheManagersError) {
  ScanManager::Options options;
  options.start_pool_thread =
      [](std::function<void()>) -> tl::expected<platform::Thread, platform::OsError> {
    return tl::unexpected(platform::OsError{11});
  };
  auto scans = ScanManager::create(std::move(options));
  ASSERT_FALSE(scans);
  EXPECT_EQ(scans.error(), ScanManagerError::pool_thread_not_started(platform::OsError{11}));
  EXPECT_EQ(to_string(scans.error()), platform::to_string(platform::OsError{11}));
}

TEST_F(ScanManagerTest, ACoordinatorThatStopsOnABrokenInvariantDeliversNoOutcome) {
  const OsString root = platform::join_path(folder_.canonical(), {});
  reader_.on(root, {{Volume{7}, Batch{{folder("x")}}}, ok()});
  // A batch added under x, then a report that x lies on another volume: marking a folder that
  // already has children is a broken invariant.
  reader_.on(platform::join_path(folder_.canonical(), from_utf8("x")),
             {{Batch{{file("y", 1, 1, 1)}}, Batch{}, Volume{8}}, ok()});
  auto scans = manager();
  ScanHandle handle = scans->start(request_for(folder_));
  const std::vector<ScanStatus> seen = statuses_until_closed(handle);
  ASSERT_FALSE(seen.empty());
  EXPECT_FALSE(is_terminal(seen.back()));
  ScanOutcome outcome = wait(std::move(handle));
  ASSERT_TRUE(std::holds_alternative<ScanFailure>(outcome));
  EXPECT_EQ(text_of(std::get<ScanFailure>(outcome)),
            (FailureText{ScanId{1}, OsString(), ScanStatus::Failed,
                         "Scan worker stopped before reporting a result"}));
}

// ---- Scan execution ----

class ExecutionTest : public ScanManagerTest {
 protected:
  ScanOutcome execute(ScanRequest request) {
    auto [sender, receiver] = make_channel<ScanProgress>(0);
    receiver_.emplace(std::move(receiver));
    ProgressReporter progress(std::move(sender), Clock::now(), ScanId{5}, request.root);
    const ReadDirectoryFunction read = reader_.function();
    return execute_scan(ScanId{5}, std::move(request), *pool_, cancel_, progress, live_, read);
  }

  std::unique_ptr<WorkerPool> pool_ = *WorkerPool::create(1);
  std::atomic<bool> cancel_{false};
  LiveScan live_;
  std::optional<Receiver<ScanProgress>> receiver_;
};

TEST_F(ExecutionTest, ACompletedScanCarriesOneModificationTimePerNode) {
  reader_.on(platform::join_path(folder_.canonical(), {}),
             {{Batch{{file("a", 1, 1, 1), folder("b")}}}, ok()});
  reader_.on(platform::join_path(folder_.canonical(), from_utf8("b")), {{Batch{}}, ok()});

  ScanOutcome outcome = execute(request_for(folder_));
  ASSERT_TRUE(std::holds_alternative<ScanResult>(outcome));
  const auto& result = std::get<ScanResult>(outcome);
  EXPECT_EQ(result.tree.kind(0), storage::NodeKind::Folder);
  EXPECT_EQ(result.tree.path(0), storage::display_path(folder_.canonical()));
  ASSERT_EQ(result.modified_at.size(), 3u);
  const auto written = std::chrono::file_clock::to_sys(fs::last_write_time(folder_.path()));
  EXPECT_EQ(result.modified_at[0],
            static_cast<uint64_t>(
                std::chrono::floor<std::chrono::seconds>(written).time_since_epoch().count()));
  EXPECT_EQ(result.modified_at[1], 201u);
  EXPECT_EQ(result.final_progress.status, ScanStatus::Completed);
  EXPECT_EQ(result.final_progress.folders_discovered, 2u);  // the root and b
  EXPECT_FALSE(live_.state().builder.has_value());
}

TEST_F(ExecutionTest, VolumeUsageAddsUnknownSpaceToADriveRoot) {
  reader_.on(platform::join_path(folder_.canonical(), {}), {{Batch{{file("a", 1, 100, 1)}}}, ok()});
  ScanRequest request = request_for(folder_);
  request.root_is_volume = true;
  request.volume = storage::ElevatedVolume{1000, storage::FileSystemKind::ReFs};
  ScanOutcome outcome = execute(std::move(request));
  ASSERT_TRUE(std::holds_alternative<ScanResult>(outcome));
  const auto& result = std::get<ScanResult>(outcome);
  EXPECT_EQ(result.tree.kind(0), storage::NodeKind::Drive);
  ASSERT_EQ(result.tree.unknown_space(), 2u);
  EXPECT_EQ(result.tree.totals(2).size_on_disk_bytes, 900u);
  EXPECT_EQ(result.tree.file_system(), storage::FileSystemKind::ReFs);
  EXPECT_EQ(result.modified_at, (std::vector<uint64_t>{result.modified_at[0], 201, 0}));
}

TEST_F(ExecutionTest, FailuresBeforeAndAfterTheWalk) {
  {
    SCOPED_TRACE("the root does not exist");
    ScanRequest request;
    request.root = platform::join_path(folder_.os_path(), from_utf8("missing"));
    ScanOutcome outcome = execute(request);
    ASSERT_TRUE(std::holds_alternative<ScanFailure>(outcome));
    const auto& failure = std::get<ScanFailure>(outcome);
    EXPECT_EQ(failure.status(), ScanStatus::Failed);
    EXPECT_EQ(failure.path, request.root);
    EXPECT_TRUE(failure.message().ends_with("(os error 2)") ||
                failure.message().ends_with("(os error 3)"))
        << failure.message();
  }
  {
    SCOPED_TRACE("volume usage on a folder root");
    reader_.on(platform::join_path(folder_.canonical(), {}), {{Batch{}}, ok()});
    ScanRequest request = request_for(folder_);
    request.volume = storage::ElevatedVolume{1, storage::FileSystemKind::Ntfs};
    ScanOutcome outcome = execute(request);
    ASSERT_TRUE(std::holds_alternative<ScanFailure>(outcome));
    EXPECT_EQ(
        text_of(std::get<ScanFailure>(outcome)),
        (FailureText{ScanId{5}, storage::display_path(folder_.canonical()), ScanStatus::Failed,
                     "volume usage can only be applied to a Drive scan"}));
  }
  {
    SCOPED_TRACE("cancelled before the start");
    cancel_ = true;
    ScanOutcome outcome = execute(request_for(folder_));
    ASSERT_TRUE(std::holds_alternative<ScanFailure>(outcome));
    EXPECT_EQ(text_of(std::get<ScanFailure>(outcome)),
              (FailureText{ScanId{5}, folder_.os_path(), ScanStatus::Cancelled, "Scan cancelled"}));
  }
}

}  // namespace
}  // namespace ketterlin::scanner
