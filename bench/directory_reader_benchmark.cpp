// Entries listed per second by read_directory on a folder of 10,000 entries (files and a few
// folders; and the same with every tenth entry a symbolic link, the one kind that costs extra
// calls). The folder is created once in the temporary directory and removed at exit; the figures
// are for a warm cache.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "scanner/directory_reader.h"

namespace ketterlin::scanner {
namespace {

namespace fs = std::filesystem;

constexpr int kEntries = 10'000;

// A folder of kEntries entries below the temporary directory, removed when dropped.
class BenchFolder {
 public:
  explicit BenchFolder(int link_every) {
    path_ = fs::temp_directory_path() /
            ("directory_reader_benchmark." + std::to_string(std::random_device{}()));
    fs::create_directory(path_);
    for (int i = 0; i < kEntries; ++i) {
      const fs::path entry = path_ / ("entry-" + std::to_string(i) + ".dat");
      if (link_every > 0 && i % link_every == 0) {
        std::error_code error;
        fs::create_symlink("entry-1.dat", entry, error);
        if (error) links_failed_ = true;
      } else if (i % 100 == 0) {
        fs::create_directory(entry);
      } else {
        std::ofstream(entry) << i;
      }
    }
  }
  ~BenchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  bool links_failed() const { return links_failed_; }

 private:
  fs::path path_;
  bool links_failed_ = false;
};

void list_folder(benchmark::State& state, const BenchFolder& folder) {
  if (folder.links_failed()) {
    state.SkipWithError("symbolic links cannot be created here");
    return;
  }
  const std::atomic<bool> cancel{false};
  uint64_t listed = 0;
  const ProgressCallback progress = [](platform::OsStringView, const BatchCounts&) {};
  const DirectorySink sink = [&](DirectoryEvent&& event) {
    if (const auto* batch = std::get_if<EntriesEvent>(&event)) listed += batch->size();
    return true;
  };
  for (auto _ : state) {
    auto result =
        read_directory(folder.path().native(), std::nullopt, false, cancel, progress, sink);
    if (!result) {
      state.SkipWithError(to_string(result.error()).c_str());
      return;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(listed));
  state.counters["entries"] = static_cast<double>(listed) / static_cast<double>(state.iterations());
}

void BM_ReadDirectory(benchmark::State& state) {
  static const BenchFolder folder(0);
  list_folder(state, folder);
}
BENCHMARK(BM_ReadDirectory)->Unit(benchmark::kMillisecond);

void BM_ReadDirectoryWithLinks(benchmark::State& state) {
  static const BenchFolder folder(10);
  list_folder(state, folder);
}
BENCHMARK(BM_ReadDirectoryWithLinks)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ketterlin::scanner
