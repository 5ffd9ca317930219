// What reading a whole drive's scan costs the host: the helper's node lines for a tree shaped
// like a real drive (folders of 8 to 24 entries, one in eight a folder, names of 6 to 24
// characters, every file with an identity, one file in 200 a hard link), decoded and rebuilt by
// ProtocolReader as they would arrive through the pipe.
//
// Printed: time per line of the fast decoding path (straight into a elevation::DecodedNodeMessage,
// as ProtocolReader reads node lines, and through decode()) and of the general (nlohmann) path,
// time per node of the whole reading (decode, check, rebuild, finish with hard links and totals),
// the peak heap bytes per node while reading (this program replaces the global operator new
// with a counting one; the input, the text made in 32 MiB batches and what its generator keeps, is
// not counted), and the time per node of writing each export of the tree read. The helper's own
// target is 150 bytes per entry; the host's is at most twice that.
//
// Times are CPU times of the process (the machine is shared).
//
// Usage: host_benchmark [node count]   (default 2,000,000)
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <ostream>
#include <random>
#include <streambuf>
#include <string>
#include <vector>

#include "elevation/protocol.h"
#include "host/exports/exports.h"
#include "host/session/session.h"

namespace {

std::atomic<int64_t> live_bytes{0};
std::atomic<int64_t> peak_bytes{0};

constexpr std::size_t kHeader = 16;

void* counted_allocate(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  const int64_t now = live_bytes += static_cast<int64_t>(size);
  int64_t peak = peak_bytes.load();
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
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
void* operator new[](std::size_t size) { return counted_allocate(size); }
void operator delete(void* pointer) noexcept { counted_free(pointer); }
void operator delete[](void* pointer) noexcept { counted_free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { counted_free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { counted_free(pointer); }

namespace {

using ketterlin::elevation::NodeRecord;
using ketterlin::elevation::NodeRecordKind;

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Produces the node lines of a drive-shaped tree breadth first, as the helper's traversal adds
// them (a folder's entries together), in batches.
class DriveLines {
 public:
  explicit DriveLines(uint64_t count) : count_(count), random_(7) {
    folders_.push_back({0, "/drive"});
    next_id_ = 1;
  }

  // The next batch of lines (about `bytes` long); empty at the end.
  std::string batch(std::size_t bytes) {
    std::string out;
    if (!root_sent_) {
      NodeRecord root;
      root.path = "/drive";
      root.kind = NodeRecordKind::Folder;
      append(out, root);
      root_sent_ = true;
    }
    while (out.size() < bytes && next_id_ < count_) {
      if (folder_at_ == folders_.size()) folder_at_ = 0;  // a tree that stopped growing: widen it
      const Folder folder = folders_[folder_at_++];
      const int entries = std::uniform_int_distribution<int>(8, 24)(random_);
      for (int i = 0; i < entries && next_id_ < count_; ++i) add_entry(out, folder, i);
    }
    return out;
  }

 private:
  struct Folder {
    uint64_t id;
    std::string path;
  };

  std::string name(int index) {
    const int length = std::uniform_int_distribution<int>(6, 24)(random_);
    std::string text;
    for (int i = 0; i < length; ++i) {
      text.push_back(static_cast<char>('a' + std::uniform_int_distribution<int>(0, 25)(random_)));
    }
    return text + "-" + std::to_string(index);
  }

  void add_entry(std::string& out, const Folder& folder, int index) {
    std::string path = folder.path + "/" + name(index);
    NodeRecord record;
    record.id = next_id_++;
    record.parent_id = folder.id;
    record.path = path;
    record.modified_at_epoch_seconds = 1700000000 + record.id;
    const bool is_folder = std::uniform_int_distribution<int>(0, 7)(random_) == 0;
    if (is_folder) {
      record.kind = NodeRecordKind::Folder;
      folders_.push_back({record.id, path});
    } else {
      record.kind = NodeRecordKind::File;
      record.logical_bytes = std::uniform_int_distribution<uint64_t>(0, 1 << 20)(random_);
      record.size_on_disk_bytes = (record.logical_bytes + 4095) / 4096 * 4096;
      ketterlin::elevation::NodeRecordIdentity identity;
      identity.volume_serial = 2049;
      // One file in 200 shares its file id with the file before it: a hard link.
      const uint64_t inode = record.id % 200 == 0 ? record.id - 1 : record.id;
      for (int i = 0; i < 8; ++i) identity.file_id[i] = static_cast<uint8_t>(inode >> (8 * i));
      record.identity = identity;
    }
    append(out, record);
  }

  static void append(std::string& out, const NodeRecord& record) {
    if (!ketterlin::elevation::encode(ketterlin::elevation::NodeMessage{0, record}, out))
      std::abort();
    out.push_back('\n');
  }

  uint64_t count_;
  std::mt19937_64 random_;
  std::vector<Folder> folders_;
  std::size_t folder_at_ = 0;
  uint64_t next_id_ = 0;
  bool root_sent_ = false;
};

void decoding_figures() {
  DriveLines lines(200'000);
  const std::string text = lines.batch(std::size_t{1} << 30);
  std::vector<std::string_view> split;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    split.push_back(std::string_view(text).substr(at, end - at));
    at = end + 1;
  }
  ketterlin::elevation::MessageDecoder decoder;
  ketterlin::elevation::DecodedNodeMessage node;
  double started = cpu_seconds();
  for (const std::string_view line : split) {
    if (!decoder.decode_compact_node(line, node)) std::abort();
  }
  const double node_path = cpu_seconds() - started;
  started = cpu_seconds();
  for (const std::string_view line : split) {
    if (!decoder.decode(line)) std::abort();
  }
  const double fast = cpu_seconds() - started;
  started = cpu_seconds();
  for (const std::string_view line : split) {
    if (!decoder.decode_general(line)) std::abort();
  }
  const double general = cpu_seconds() - started;
  std::printf("node lines: %zu, %.0f bytes per line on average\n", split.size(),
              static_cast<double>(text.size()) / static_cast<double>(split.size()));
  std::printf("decode, node lines:   %7.0f ns per line (%.0f MB/s; what ProtocolReader uses)\n",
              node_path * 1e9 / static_cast<double>(split.size()),
              static_cast<double>(text.size()) / node_path / 1e6);
  std::printf("decode, fast path:    %7.0f ns per line (%.0f MB/s; through decode())\n",
              fast * 1e9 / static_cast<double>(split.size()),
              static_cast<double>(text.size()) / fast / 1e6);
  std::printf("decode, general path: %7.0f ns per line (%.0f MB/s)\n",
              general * 1e9 / static_cast<double>(split.size()),
              static_cast<double>(text.size()) / general / 1e6);
}

// A stream that only counts what it is given.
class CountingBuffer final : public std::streambuf {
 public:
  uint64_t bytes = 0;

 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override {
    bytes += static_cast<uint64_t>(count);
    return count;
  }
  int_type overflow(int_type c) override {
    ++bytes;
    return c;
  }
};

// Both exports of the tree just read, written to a stream that discards them.
void export_figures(std::vector<ketterlin::host::TargetReport> reports) {
  ketterlin::host::ScanResult result;
  result.root = "/r";
  result.targets = {"/r"};
  result.reports = std::move(reports);
  const double nodes = result.reports[0].tree->size();
  const auto measure = [&](const char* name, auto write) {
    CountingBuffer buffer;
    std::ostream out(&buffer);
    const double started = cpu_seconds();
    write(out);
    const double seconds = cpu_seconds() - started;
    std::printf("%s export: %.0f ns per node, %.0f bytes per node\n", name, seconds * 1e9 / nodes,
                static_cast<double>(buffer.bytes) / nodes);
  };
  measure("JSON", [&](std::ostream& out) { ketterlin::host::write_json_export(result, out); });
  measure("ncdu", [&](std::ostream& out) { ketterlin::host::write_ncdu_export(result, 0, out); });
}

void reading_figures(uint64_t count) {
  DriveLines lines(count);
  const int64_t baseline = live_bytes.load();
  int64_t reader_peak = 0;
  double reading = 0;
  uint64_t input_bytes = 0;
  {
    ketterlin::host::ProtocolReader reader(1, ketterlin::host::PathStyle::Posix, nullptr);
    auto feed = [&](std::string_view text) {
      const double started = cpu_seconds();
      if (!reader.feed(text)) std::abort();
      reading += cpu_seconds() - started;
    };
    feed(R"({"type":"treeStart","targetIndex":0,"fileSystem":"other"})"
         "\n");
    // What the generator holds besides the batch (its list of folders grows as the tree does):
    // input, not the host's memory, like the batch itself.
    int64_t generator_bytes = 0;
    for (;;) {
      const int64_t before_batch = live_bytes.load();
      std::string batch = lines.batch(32 << 20);
      if (batch.empty()) break;
      input_bytes += batch.size();
      const int64_t batch_bytes = static_cast<int64_t>(batch.capacity());
      generator_bytes += live_bytes.load() - before_batch - batch_bytes;
      peak_bytes = live_bytes.load();
      // Feed in pipe-sized pieces, as the host reads.
      for (std::size_t at = 0; at < batch.size(); at += 65536) {
        feed(std::string_view(batch).substr(at, 65536));
      }
      reader_peak =
          std::max(reader_peak, peak_bytes.load() - batch_bytes - generator_bytes - baseline);
    }
    peak_bytes = live_bytes.load();
    const double before_end = reading;
    feed(R"({"type":"treeEnd","targetIndex":0})"
         "\n"
         R"({"type":"complete"})"
         "\n");
    const double finishing = reading - before_end;
    reader_peak = std::max(reader_peak, peak_bytes.load() - generator_bytes - baseline);
    const auto& tree = *reader.targets()[0].tree;
    std::printf("\nnodes read: %u (%llu bytes of lines), hard-link groups %llu\n", tree.size(),
                static_cast<unsigned long long>(input_bytes),
                static_cast<unsigned long long>(tree.counts().hard_link_groups));
    std::printf("reading (decode, check, rebuild, finish): %.0f ns per node, %.2f s in all\n",
                reading * 1e9 / tree.size(), reading);
    std::printf("  of which finishing (hard links, totals, child lists): %.0f ns per node\n",
                finishing * 1e9 / tree.size());
    std::printf("peak heap while reading: %.1f bytes per node (target: at most 300)\n",
                static_cast<double>(reader_peak) / tree.size());
    std::printf("finished tree: %.1f bytes per node\n",
                static_cast<double>(tree.memory_bytes()) / tree.size());
    export_figures(reader.take_targets());
  }
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t count = 2'000'000;
  if (argc > 1) {
    char* end = nullptr;
    count = std::strtoull(argv[1], &end, 10);
    if (argc > 2 || count == 0 || *end != '\0') {
      std::fprintf(stderr, "usage: host_benchmark [node count]\n");
      return 2;
    }
  }
  decoding_figures();
  reading_figures(count);
  return 0;
}
