// Encoding speed of the helper's messages into memory: one "node" message per tree node is the
// bulk of what the helper sends. Reports ns per message and messages per second.

#include <benchmark/benchmark.h>

#include <string>

#include "elevation/protocol.h"

namespace ketterlin::elevation {
namespace {

// A typical file node: a path of some depth, an identity, no link.
NodeRecord typical_file_node(platform::OsStringView path) {
  NodeRecord node;
  node.id = 123456;
  node.parent_id = 120001;
  node.path = path;
  node.kind = NodeRecordKind::File;
  node.logical_bytes = 1048576;
  node.size_on_disk_bytes = 1052672;
  node.identity =
      NodeRecordIdentity{0x1234ABCD, {0x1F, 0x2E, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}};
  node.modified_at_epoch_seconds = 1700000000;
  return node;
}

void encode_node_messages(benchmark::State& state, const char* path_utf8) {
  const platform::OsString path = platform::from_utf8(path_utf8);
  const HelperMessage message = NodeMessage{0, typical_file_node(path)};
  std::string out;
  for (auto _ : state) {
    out.clear();  // keeps its capacity, as a reused send buffer would
    const auto result = encode(message, out);
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}

void BM_EncodeNodeAsciiPath(benchmark::State& state) {
  encode_node_messages(
      state, "\\\\?\\C:\\Users\\someone\\AppData\\Local\\Packages\\App\\LocalCache\\data.bin");
}
BENCHMARK(BM_EncodeNodeAsciiPath);

void BM_EncodeNodeNonAsciiPath(benchmark::State& state) {
  encode_node_messages(state, "\\\\?\\C:\\Users\\Zoë\\Documents\\Résumé – 日本語\\notes.txt");
}
BENCHMARK(BM_EncodeNodeNonAsciiPath);

// A deep POSIX path, as long as the bench tree's: no escape at all.
void BM_EncodeNodeLongPosixPath(benchmark::State& state) {
  encode_node_messages(state,
                       "/home/someone/.cache/projects/ketterlin/build/release/trees/seed-1/tree/"
                       "Qw9vLx3pZt/aB7cD2eF/gH5iJ8kL1mN/oP4qR6sT9uV/wX2yZ0aB3cD/eF6gH9iJ2kL/"
                       "mN5oP8qR1sT/uV4wX7yZ0aB/cD3eF6gH9iJ/kL2mN5oP8qR/sT1uV4wX7yZ/aB0cD3eF6gH/"
                       "iJ9kL2mN5oP/qR8sT1uV4wX/yZ7aB0cD3eF/report-2026-final.tar.gz");
}
BENCHMARK(BM_EncodeNodeLongPosixPath);

void BM_EncodeProgressEvent(benchmark::State& state) {
  const platform::OsString path = platform::from_utf8("\\\\?\\C:\\Users\\someone\\Documents");
  TargetProgress progress{0, path, 120000, 9000, 80000000000, 12, 2500, ProgressStatus::Running};
  const HelperMessage message = EventMessage{progress};
  std::string out;
  for (auto _ : state) {
    out.clear();
    const auto result = encode(message, out);
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeProgressEvent);

}  // namespace
}  // namespace ketterlin::elevation
