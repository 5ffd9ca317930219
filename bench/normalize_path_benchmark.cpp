// Cost of normalize_path per call: the plain-drive shortcut (ASCII and non-ASCII), and paths
// that need the full rewrite (slashes, "." and "..", verbatim and UNC prefixes).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/os_string.h"
#include "storage/windows_path.h"

namespace ketterlin::storage {
namespace {

void run(benchmark::State& state, const std::vector<std::string>& utf8_paths) {
  std::vector<platform::OsString> paths;
  for (const std::string& path : utf8_paths) paths.push_back(platform::from_utf8(path));
  std::size_t next = 0;
  for (auto _ : state) {
    NormalizedPath normalized = normalize_path(paths[next]);
    benchmark::DoNotOptimize(normalized);
    next = next + 1 == paths.size() ? 0 : next + 1;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ShortcutAscii(benchmark::State& state) {
  run(state, {"C:\\Users\\Someone\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE\\file.dat",
              "C:\\Windows\\System32\\DriverStore\\FileRepository\\netrtwlane.inf",
              "D:\\Games\\SteamLibrary\\steamapps\\common\\Game\\Data\\pak01.bin"});
}
BENCHMARK(BM_ShortcutAscii);

void BM_ShortcutNonAscii(benchmark::State& state) {
  run(state, {"C:\\Users\\Jürgen\\Documents\\Ärger\\Übersicht.txt",
              "C:\\Users\\Σοφία\\Φωτογραφίες\\ΟΔΟΣ.jpg"});
}
BENCHMARK(BM_ShortcutNonAscii);

void BM_FullSteps(benchmark::State& state) {
  run(state, {"\\\\?\\C:\\Users\\Someone\\AppData\\Local\\Temp\\setup.log",
              "C:/Users/Someone/./Documents/../Downloads/installer.exe",
              "\\\\?\\UNC\\Server\\Share\\Projects\\Build\\output.bin"});
}
BENCHMARK(BM_FullSteps);

}  // namespace
}  // namespace ketterlin::storage
