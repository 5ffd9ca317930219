// The processor cost of the Windows directory reader per entry: list_directory over a scripted
// file system whose every query returns a full 64 KiB buffer of FILE_ID_EXTD_DIR_INFO records
// (plain files with names of about 20 characters), so that only decoding, batching and the
// callbacks are measured; the system's own time per query comes on top on a real volume.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "scanner/windows_listing.h"
#include "scanner/windows_records_testing.h"

namespace ketterlin::scanner::windows_fs {
namespace {

constexpr int kQueriesPerListing = 16;

// A full listing buffer and the number of records in it.
struct FullBuffer {
  std::vector<std::byte> bytes;
  std::size_t records = 0;
};

FullBuffer make_full_buffer() {
  std::vector<testing::TestRecord> records;
  std::size_t used = 0;
  for (int i = 0;; ++i) {
    testing::TestRecord record;
    std::string name = "document-" + std::to_string(100000 + i) + ".pdf";
    record.name.assign(name.begin(), name.end());
    record.attributes = 0x20;
    record.end_of_file = 1000 + i;
    record.allocation_size = 4096;
    record.last_write_time = 133'485'408'000'000'000;
    const std::size_t size = testing::record_size(RecordLayout::IdExtended, record);
    if (used + size > kListingBufferBytes) break;
    used += size;
    records.push_back(std::move(record));
  }
  return {testing::listing_buffer(RecordLayout::IdExtended, records), records.size()};
}

class ScriptedDirectory final : public OpenedDirectory {
 public:
  explicit ScriptedDirectory(const std::vector<std::byte>& buffer) : buffer_(buffer) {}
  tl::expected<uint32_t, Hresult> volume_serial() override { return 1; }
  std::optional<std::u16string> file_system_name() override { return u"NTFS"; }
  tl::expected<void, Hresult> query_directory(uint32_t, std::span<std::byte> buffer) override {
    if (queries_++ == kQueriesPerListing) return tl::unexpected(kNoMoreFilesHresult);
    std::copy(buffer_.begin(), buffer_.end(), buffer.begin());
    return {};
  }

 private:
  const std::vector<std::byte>& buffer_;
  int queries_ = 0;
};

class ScriptedFileSystem final : public WindowsFileSystem {
 public:
  explicit ScriptedFileSystem(const std::vector<std::byte>& buffer) : buffer_(buffer) {}
  tl::expected<std::unique_ptr<OpenedDirectory>, Hresult> open_directory(
      platform::OsStringView) override {
    return std::make_unique<ScriptedDirectory>(buffer_);
  }
  std::u16string system_message(Hresult) override { return {}; }
  std::optional<platform::OsString> volume_name_for_mount_point(platform::OsStringView) override {
    return std::nullopt;
  }
  std::optional<std::vector<std::byte>> read_reparse_data(platform::OsStringView) override {
    return std::nullopt;
  }
  bool full_path_round_trips(std::u16string_view) override { return false; }

 private:
  const std::vector<std::byte>& buffer_;
};

void BM_DecodeFullBuffers(benchmark::State& state) {
  const FullBuffer full = make_full_buffer();
  ScriptedFileSystem system(full.bytes);
  const platform::OsString path = platform::from_utf8("\\\\?\\C:\\Data");
  const std::atomic<bool> cancel{false};
  uint64_t entries = 0;
  const ProgressCallback progress = [](platform::OsStringView, const BatchCounts&) {};
  const DirectorySink sink = [&entries](DirectoryEvent&& event) {
    if (const auto* batch = std::get_if<EntriesEvent>(&event)) entries += batch->size();
    return true;
  };
  for (auto _ : state) {
    auto result = list_directory(system, path, 1, false, cancel, progress, sink);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(static_cast<int64_t>(entries));
  state.counters["records_per_buffer"] = static_cast<double>(full.records);
}
BENCHMARK(BM_DecodeFullBuffers);

}  // namespace
}  // namespace ketterlin::scanner::windows_fs
