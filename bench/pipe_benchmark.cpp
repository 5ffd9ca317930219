// Cost of sending the helper's messages over a real Unix-domain socket to a host that reads as
// fast as it can: "node" frames, which the channel batches into writes of up to 64 KiB, against
// "event" (progress) frames of similar size, which it writes one by one. Reports ns per message.

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "scan_helper/pipe.h"

namespace ketterlin::helper {
namespace {

// Listens on a socket in a fresh folder; a thread accepts one connection and reads it to the end.
class DrainingHost {
 public:
  DrainingHost() {
    std::string pattern =
        std::filesystem::temp_directory_path().string() + "/ketterlin-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    folder_ = pattern;
    path_ = folder_ + "/pipe";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 1) != 0) {
      std::abort();
    }
    reader_ = std::thread([this] {
      const int connection = accept(listener_, nullptr, nullptr);
      char buffer[65536];
      while (read(connection, buffer, sizeof buffer) > 0) {
      }
      close(connection);
    });
  }
  ~DrainingHost() {
    reader_.join();
    close(listener_);
    std::filesystem::remove_all(folder_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
  int listener_ = -1;
  std::thread reader_;
};

elevation::NodeRecord typical_file_node(platform::OsStringView path) {
  elevation::NodeRecord node;
  node.id = 123456;
  node.parent_id = 120001;
  node.path = path;
  node.logical_bytes = 1048576;
  node.size_on_disk_bytes = 1052672;
  node.identity = elevation::NodeRecordIdentity{0x1234ABCD, {0x1F, 0x2E, 0, 0, 0, 0, 1}};
  node.modified_at_epoch_seconds = 1700000000;
  return node;
}

const platform::OsString kPath =
    platform::from_utf8("/data/Users/someone/Documents/Projects/report-2023/figures/plot-17.png");

void send_messages(benchmark::State& state, const elevation::HelperMessage& message) {
  DrainingHost host;
  {
    auto connection = PipeConnection::connect(host.path());
    if (!connection) {
      state.SkipWithError(to_string(connection.error()).c_str());
      return;
    }
    for (auto _ : state) {
      if (!connection->send(message)) state.SkipWithError("send failed");
    }
    // Writes what is still batched, inside the measurement's last moments.
    if (!connection->send(elevation::TreeEndMessage{0})) state.SkipWithError("send failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SendNodeBatched(benchmark::State& state) {
  send_messages(state, elevation::NodeMessage{0, typical_file_node(kPath)});
}
BENCHMARK(BM_SendNodeBatched);

void BM_SendProgressOneWriteEach(benchmark::State& state) {
  elevation::TargetProgress progress;
  progress.current_path = kPath;
  progress.files_discovered = 123456;
  progress.folders_discovered = 12345;
  progress.bytes_measured = 1234567890;
  progress.elapsed_millis = 250;
  progress.status = elevation::ProgressStatus::Running;
  send_messages(state, elevation::EventMessage{progress});
}
BENCHMARK(BM_SendProgressOneWriteEach);

}  // namespace
}  // namespace ketterlin::helper
