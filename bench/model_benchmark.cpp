// Builds a 1,000,000-node scan tree shaped like a real drive and prints what it costs: time per
// add_entry with accounting on and the empty policy, peak memory per node, the time of finish
// (incremental results kept) and of the three-pass recomputation, and the time to build every
// node's path as the emitter does.
//
// Memory is counted two ways: every byte obtained through the global operator new (this program
// replaces it with a counting one) plus every byte committed in reserved address space (the node
// array), whether touched or not; and the growth of the peak resident set (VmHWM, reset through
// /proc/self/clear_refs after the input is made), which counts only the pages touched.
//
// Times are medians of five runs, as CPU time of the process (the machine is shared) and as wall
// time.
//
// Usage: model_benchmark [node count]
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/os_string.h"
#include "storage/model.h"

namespace {

std::atomic<int64_t> live_bytes{0};
std::atomic<int64_t> peak_bytes{0};  // of live heap bytes

// Heap bytes now.
int64_t footprint() { return live_bytes.load(); }

void note_peak() {
  const int64_t now = footprint();
  int64_t peak = peak_bytes.load();
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
}

constexpr std::size_t kHeader = 16;  // keeps the block 16-byte aligned

void* counted_allocate(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  live_bytes += static_cast<int64_t>(size);
  // Commits happen between allocations; checking here and after the build catches the peak.
  note_peak();
  return block + kHeader;
}

void counted_free(void* pointer) {
  if (pointer == nullptr) return;
  unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
  live_bytes -= static_cast<int64_t>(*reinterpret_cast<std::size_t*>(block));
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return counted_allocate(size); }
void operator delete(void* pointer) noexcept { counted_free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { counted_free(pointer); }

namespace {

using ketterlin::platform::OsString;
using ketterlin::storage::FileIdentity;
using ketterlin::storage::NodeEntry;
using ketterlin::storage::NodeId;
using ketterlin::storage::NodeKind;
using ketterlin::storage::NodeSizes;
using ketterlin::storage::RiskPolicy;
using ketterlin::storage::ScanTree;

// One entry to add, in the order a breadth-first walk would add them.
struct PlannedEntry {
  uint32_t parent_folder;  // index into the folders, 0 = the root
  uint32_t folder;         // index of the new folder, or UINT32_MAX for a file
  uint32_t name_offset;
  uint8_t name_length;
  NodeSizes sizes;
  uint32_t identity;  // file number; hard links repeat an earlier one
};

struct Plan {
  std::vector<PlannedEntry> entries;
  std::string names;
  uint32_t folder_count = 1;
};

// About 10% folders and 90% files, names of 12 to 28 bytes (20 on average), `links_percent` of
// the files hard links to an earlier file, folders at most 12 levels deep.
Plan make_plan(uint64_t node_count, uint64_t links_percent) {
  std::mt19937_64 random(20240601);
  const auto folder_count = static_cast<uint32_t>(std::max<uint64_t>(1, node_count / 10));
  std::vector<uint32_t> folder_parent(folder_count, 0);
  std::vector<uint32_t> depth(folder_count, 0);
  std::vector<std::vector<uint32_t>> children(folder_count);  // child folders, then files
  for (uint32_t folder = 1; folder < folder_count; ++folder) {
    // Mostly a recent folder, as siblings cluster; never deeper than 12 levels.
    auto parent = static_cast<uint32_t>(random() % 4 != 0
                                            ? folder - 1 - random() % std::min<uint32_t>(folder, 50)
                                            : random() % folder);
    while (depth[parent] >= 11) parent = folder_parent[parent];
    folder_parent[folder] = parent;
    depth[folder] = depth[parent] + 1;
  }
  Plan plan;
  plan.folder_count = folder_count;
  // Files are spread over the folders; folders keep their own parent.
  std::vector<std::vector<PlannedEntry>> per_folder(folder_count);
  for (uint32_t folder = 1; folder < folder_count; ++folder) {
    per_folder[folder_parent[folder]].push_back({folder_parent[folder], folder, 0, 0, {}, 0});
  }
  uint32_t next_identity = 1;
  for (uint64_t file = 0; file + folder_count < node_count; ++file) {
    const auto parent = static_cast<uint32_t>(random() % folder_count);
    const uint64_t logical = random() % (1 << 20);
    const uint32_t identity = random() % 100 < links_percent && next_identity > 1
                                  ? 1 + random() % (next_identity - 1)
                                  : next_identity++;
    per_folder[parent].push_back(
        {parent, UINT32_MAX, 0, 0, {logical, (logical + 4095) / 4096 * 4096}, identity});
  }
  // Breadth-first, as the traversal adds them; the names lie in the same order, as a listing
  // batch holds them.
  plan.entries.reserve(node_count);
  std::vector<uint32_t> queue = {0};
  for (std::size_t next = 0; next < queue.size(); ++next) {
    for (PlannedEntry entry : per_folder[queue[next]]) {
      entry.name_offset = static_cast<uint32_t>(plan.names.size());
      entry.name_length = static_cast<uint8_t>(12 + random() % 17);
      for (int i = 0; i < entry.name_length; ++i) {
        plan.names.push_back(static_cast<char>('a' + random() % 26));
      }
      plan.entries.push_back(entry);
      if (entry.folder != UINT32_MAX) queue.push_back(entry.folder);
    }
  }
  return plan;
}

FileIdentity identity_of(uint32_t number) {
  FileIdentity identity;
  for (int i = 0; i < 4; ++i) identity.file_id[i] = static_cast<uint8_t>(number >> (8 * i));
  identity.volume_serial = 0x1234abcd;
  return identity;
}

// Adds every planned entry; returns the tree. Without `identities` the files carry none.
ScanTree build(const Plan& plan, bool accounting, bool identities = true) {
  ScanTree tree(OsString("/"), NodeKind::Drive);
  if (accounting) tree.enable_accounting(RiskPolicy{});
  std::vector<NodeId> folder_ids(plan.folder_count, 0);
  for (const PlannedEntry& planned : plan.entries) {
    NodeEntry entry;
    entry.name = std::string_view(plan.names).substr(planned.name_offset, planned.name_length);
    if (planned.folder != UINT32_MAX) {
      entry.kind = NodeKind::Folder;
    } else {
      entry.kind = NodeKind::File;
      entry.own_size = planned.sizes;
      if (identities) entry.identity = identity_of(planned.identity);
    }
    auto added = tree.add_entry(folder_ids[planned.parent_folder], entry);
    if (!added) std::abort();
    if (planned.folder != UINT32_MAX) folder_ids[planned.folder] = *added;
  }
  return tree;
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU and wall seconds of one measured step.
struct Timing {
  double cpu = 0;
  double wall = 0;
};

class Stopwatch {
 public:
  Stopwatch() : cpu_(cpu_seconds()), wall_(wall_seconds()) {}
  Timing elapsed() const { return {cpu_seconds() - cpu_, wall_seconds() - wall_}; }

 private:
  double cpu_;
  double wall_;
};

Timing median(std::vector<Timing> timings) {
  std::sort(timings.begin(), timings.end(),
            [](const Timing& a, const Timing& b) { return a.cpu < b.cpu; });
  return timings[timings.size() / 2];
}

void print_per_item(const char* what, Timing timing, double items) {
  std::printf("%s: %.1f ns CPU (%.1f ns wall) per item\n", what, timing.cpu * 1e9 / items,
              timing.wall * 1e9 / items);
}

// The resident high-water mark in bytes, from /proc/self/status.
double peak_resident_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) * 1024;
  }
  return 0;
}

// Gives freed heap back to the system and lowers the high-water mark to the current size.
void reset_peak_resident() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t node_count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const Plan plan = make_plan(node_count, 1);
  const double nodes = static_cast<double>(plan.entries.size() + 1);

  // Memory first, so that the resident peak belongs to one tree.
  reset_peak_resident();
  const double resident_before = peak_resident_bytes();
  const int64_t footprint_before = footprint();
  peak_bytes = footprint_before;
  {
    const ScanTree tree = build(plan, true);
    note_peak();
    std::printf("nodes: %.0f (capacity %llu)\n", nodes,
                static_cast<unsigned long long>(tree.capacity()));
    std::printf("peak bytes per node (heap allocated): %.1f\n",
                static_cast<double>(peak_bytes.load() - footprint_before) / nodes);
    std::printf("  of which node chunks: %.1f\n",
                static_cast<double>(tree.node_storage_bytes()) / nodes);
    std::printf("bytes per node held after the build: %.1f\n",
                static_cast<double>(footprint() - footprint_before) / nodes);
    std::printf("peak resident growth per node (VmHWM): %.1f\n",
                (peak_resident_bytes() - resident_before) / nodes);
  }

  const double entries = static_cast<double>(plan.entries.size());
  std::vector<Timing> accounted, recorded_only, finish, recompute, paths, written_paths;
  for (int run = 0; run < 5; ++run) {
    Stopwatch watch;
    ScanTree incremental = build(plan, true);
    accounted.push_back(watch.elapsed());

    watch = Stopwatch();
    auto finished = std::move(incremental).finish(RiskPolicy{}, std::nullopt);
    finish.push_back(watch.elapsed());
    if (!finished) std::abort();

    watch = Stopwatch();
    ScanTree recorded = build(plan, false);
    recorded_only.push_back(watch.elapsed());

    watch = Stopwatch();
    auto recomputed = std::move(recorded).finish(RiskPolicy{}, std::nullopt);
    recompute.push_back(watch.elapsed());
    if (!recomputed || recomputed->totals(0) != finished->totals(0)) std::abort();

    OsString path;
    std::size_t characters = 0;
    watch = Stopwatch();
    for (NodeId id = 0; id < finished->node_count(); ++id) {
      path.clear();
      finished->append_path(id, path);
      characters += path.size();
    }
    paths.push_back(watch.elapsed());

    std::size_t written_characters = 0;
    ketterlin::storage::PathWriter writer(*finished);
    watch = Stopwatch();
    for (NodeId id = 0; id < finished->node_count(); ++id) {
      written_characters += writer.path(id).size();
    }
    written_paths.push_back(watch.elapsed());
    if (characters == 0 || written_characters != characters) std::abort();
  }
  print_per_item("add_entry with accounting, empty policy", median(accounted), entries);
  // Where the time goes: the same walk without hard links, and with files that carry no identity.
  const Plan unlinked = make_plan(node_count, 0);
  std::vector<Timing> no_links, no_identities;
  for (int run = 0; run < 5; ++run) {
    Stopwatch watch;
    (void)build(unlinked, true);
    no_links.push_back(watch.elapsed());
    watch = Stopwatch();
    (void)build(plan, true, false);
    no_identities.push_back(watch.elapsed());
  }
  print_per_item("  the same without hard links", median(no_links), entries);
  print_per_item("  the same, files without identity", median(no_identities), entries);
  print_per_item("add_entry without accounting", median(recorded_only), entries);
  const Timing kept = median(finish);
  std::printf("finish, incremental results kept: %.3f ms CPU (%.3f ms wall)\n", kept.cpu * 1e3,
              kept.wall * 1e3);
  print_per_item("finish with the three-pass recomputation, per node", median(recompute), nodes);
  print_per_item("append_path, every node in id order", median(paths), nodes);
  print_per_item("PathWriter, every node in id order", median(written_paths), nodes);
  return 0;
}
