// A run that ends early on a failed send stops the scan under way and waits for it: when the
// flow returns (and the process may end), no scanner thread still holds the manager.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <variant>
#include <vector>

#include "platform/file_system.h"
#include "scan_helper/scan_flow.h"
#include "scanner/scan_testing.h"

namespace ketterlin::helper {
namespace {

namespace fs = std::filesystem;
using namespace scanner::testing_support;
using namespace std::chrono_literals;

constexpr platform::OsError kBrokenPipe{32};

// A host that has gone away: every write fails.
class BrokenStream final : public PipeStream {
 public:
  tl::expected<std::size_t, StreamFailure> read(std::span<char>) override { return 0; }
  tl::expected<std::size_t, StreamFailure> write(std::span<const char>) override {
    return tl::unexpected(StreamFailure{kBrokenPipe, false});
  }
};

TEST(ScanFlowStop, AFailedSendCancelsTheScanAndWaitsForItsEnd) {
  const fs::path base = fs::temp_directory_path() /
                        ("ketterlin-scan-flow-stop-" + std::to_string(std::random_device{}()));
  fs::create_directories(base);
  const OsString target = platform::canonicalize(base.native()).value_or(OsString());
  ASSERT_FALSE(target.empty());

  // The root's listing lasts until the scan is cancelled (10 s at most).
  FakeReader reader;
  reader.on(platform::join_path(target, {}), {{WaitForCancel{}, Batch{}}, ok()});
  std::vector<std::thread> threads;
  scanner::ScanManager::Options options;
  options.read_directory = reader.function();
  options.start_thread = [&](std::function<void()> job) -> tl::expected<void, platform::OsError> {
    threads.emplace_back(std::move(job));
    return {};
  };
  std::shared_ptr<scanner::ScanManager> scans = *scanner::ScanManager::create(std::move(options));
  PipeConnection connection(std::make_unique<BrokenStream>());
  elevation::ValidatedScanRequest request;
  request.targets = {target};

  const auto started = std::chrono::steady_clock::now();
  auto result = scan_targets(connection, request, *scans);
  const auto elapsed = std::chrono::steady_clock::now() - started;

  ASSERT_FALSE(result.has_value());
  ASSERT_TRUE(std::holds_alternative<PipeError>(result.error()));
  EXPECT_EQ(std::get<PipeError>(result.error()), PipeError::io(kBrokenPipe));
  EXPECT_EQ(scans.use_count(), 1) << "the scan's thread still holds the manager";
  EXPECT_LT(elapsed, 5s) << "the scan ran to the end of its listing instead of being cancelled";

  for (std::thread& thread : threads) thread.join();
  std::error_code ignored;
  fs::remove_all(base, ignored);
}

}  // namespace
}  // namespace ketterlin::helper
