// The floor of a scan: the system calls alone, with nothing built and nothing sent. Walks a
// folder tree on THREADS threads (default 2): each folder is opened by its full path
// (openat with O_DIRECTORY | O_NOFOLLOW), listed with getdents64 into a 64 KiB buffer, and every
// entry but "." and ".." gets one fstatat without following links; folders found that way are
// queued. Links are never followed, as in a scan.
//
// Prints one line: the entries found (the root not counted) and the sum of their allocated
// bytes, so that a run can be checked against the other tools.
//
// Usage: floor PATH [THREADS]
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBufferBytes = 65536;

// Folders still to be listed, and how many are being listed; the walk ends when both are zero.
class WorkQueue {
 public:
  explicit WorkQueue(std::string root) { pending_.push_back(std::move(root)); }

  // The next folder, or false once nothing is pending or being listed.
  bool take(std::string& folder) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !pending_.empty() || busy_ == 0; });
    if (pending_.empty()) return false;
    folder = std::move(pending_.front());
    pending_.pop_front();
    ++busy_;
    return true;
  }

  // Queues the subfolders of a folder that has been listed.
  void finish(std::vector<std::string>& found) {
    {
      std::lock_guard lock(mutex_);
      for (std::string& folder : found) pending_.push_back(std::move(folder));
      --busy_;
    }
    found.clear();
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> pending_;
  unsigned busy_ = 0;
};

struct Totals {
  uint64_t entries = 0;
  uint64_t allocated_bytes = 0;
  uint64_t failures = 0;
};

void list_folder(const std::string& folder, std::byte* buffer, std::vector<std::string>& found,
                 Totals& totals) {
  const int fd =
      ::openat(AT_FDCWD, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    ++totals.failures;
    return;
  }
  for (;;) {
    const long filled = syscall(SYS_getdents64, fd, buffer, kBufferBytes);
    if (filled <= 0) {
      if (filled < 0) ++totals.failures;
      break;
    }
    for (long offset = 0; offset < filled;) {
      const auto* record = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += record->d_reclen;
      const char* name = record->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      struct stat status {};
      if (::fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        ++totals.failures;
        continue;
      }
      ++totals.entries;
      totals.allocated_bytes += static_cast<uint64_t>(status.st_blocks) * 512;
      if (S_ISDIR(status.st_mode)) found.push_back(folder + "/" + name);
    }
  }
  ::close(fd);
}

void walk(WorkQueue& queue, Totals& totals) {
  const auto buffer = std::make_unique<std::byte[]>(kBufferBytes);
  std::vector<std::string> found;
  std::string folder;
  while (queue.take(folder)) {
    list_folder(folder, buffer.get(), found, totals);
    queue.finish(found);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: floor PATH [THREADS]\n");
    return 2;
  }
  const int threads = argc == 3 ? std::atoi(argv[2]) : 2;
  if (threads < 1) {
    std::fprintf(stderr, "floor: THREADS must be at least 1\n");
    return 2;
  }
  WorkQueue queue(argv[1]);
  std::vector<Totals> totals(static_cast<std::size_t>(threads));
  std::vector<std::thread> workers;
  for (auto& own : totals) workers.emplace_back([&queue, &own] { walk(queue, own); });
  for (std::thread& worker : workers) worker.join();

  Totals sum;
  for (const Totals& own : totals) {
    sum.entries += own.entries;
    sum.allocated_bytes += own.allocated_bytes;
    sum.failures += own.failures;
  }
  std::printf("entries %llu allocated_bytes %llu failures %llu\n",
              static_cast<unsigned long long>(sum.entries),
              static_cast<unsigned long long>(sum.allocated_bytes),
              static_cast<unsigned long long>(sum.failures));
  return sum.failures == 0 ? 0 : 1;
}
