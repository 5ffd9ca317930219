// The names of the scanner's threads as Windows holds them, read from outside each thread the way
// debuggers and process viewers read them: the pool's threads "ketterlin-scan-<index>" and each
// scan's coordinator "ketterlin-scan-coordinator-<scan id>", whole.
#include "scanner/manager.h"

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/os_string.h"
#include "win32_testing.h"

namespace ketterlin::scanner {
namespace {

using namespace std::chrono_literals;

using GetDescription = HRESULT(WINAPI*)(HANDLE thread, PWSTR* description);

GetDescription get_thread_description() {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  return reinterpret_cast<GetDescription>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "GetThreadDescription")));
}

// The name the system holds for thread `id`; empty when it has none.
std::string name_of_thread(DWORD id) {
  const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (thread == nullptr) return {};
  wchar_t* description = nullptr;
  // Wine answers a success code other than S_OK.
  const HRESULT result = get_thread_description()(thread, &description);
  CloseHandle(thread);
  if (FAILED(result) || description == nullptr) return {};
  std::string name = platform::to_utf8_lossy(description);
  LocalFree(description);
  return name;
}

// The names of every thread of this process that has one, by thread id.
std::map<DWORD, std::string> named_threads() {
  std::map<DWORD, std::string> names;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return names;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    std::string name = name_of_thread(entry.th32ThreadID);
    if (!name.empty()) names[entry.th32ThreadID] = std::move(name);
  }
  CloseHandle(snapshot);
  return names;
}

// Holds callers until released, remembering which threads came.
class Gate {
 public:
  void pass() {
    std::unique_lock lock(mutex_);
    arrived_.push_back(GetCurrentThreadId());
    changed_.notify_all();
    changed_.wait_for(lock, 30s, [&] { return open_; });
  }
  // Waits until `count` callers are held; their thread ids.
  std::vector<DWORD> wait_for(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 30s, [&] { return arrived_.size() >= count; });
    return arrived_;
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Holds the callers that come from now on.
  void close() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DWORD> arrived_;
  bool open_ = false;
};

class ThreadNamesOnWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    if (get_thread_description() == nullptr) {
      GTEST_SKIP() << "this system has no thread descriptions (before Windows 10 1607)";
    }
  }
};

TEST_F(ThreadNamesOnWindows, EveryPoolThreadCarriesItsIndex) {
  constexpr unsigned kThreads = 3;
  auto pool = WorkerPool::create(kThreads);
  ASSERT_TRUE(pool.has_value()) << to_string(pool.error());
  Gate gate;
  std::set<std::string> names;
  {
    WorkerPool::Scope scope(**pool);
    // Three jobs can only all be held at once on three threads.
    for (unsigned i = 0; i < kThreads; ++i) ASSERT_TRUE(scope.spawn([&] { gate.pass(); }));
    for (const DWORD id : gate.wait_for(kThreads)) names.insert(name_of_thread(id));
    gate.open();
    scope.wait();
  }
  EXPECT_EQ(names,
            (std::set<std::string>{"ketterlin-scan-0", "ketterlin-scan-1", "ketterlin-scan-2"}));
}

TEST_F(ThreadNamesOnWindows, ARunningScanShowsItsCoordinatorAndItsWorker) {
  const platform::testing::ScratchFolder scratch;
  scratch.file(L"a.txt", "a");
  const auto root = platform::canonicalize(scratch.path());
  ASSERT_TRUE(root.has_value()) << platform::to_string(root.error());

  Gate gate;
  ScanManager::Options options;
  options.hardware_threads = 4;  // a pool of two threads
  options.read_directory = [&gate](platform::OsStringView path, std::optional<uint64_t> volume,
                                   bool query_file_system, const std::atomic<bool>& cancel,
                                   const ProgressCallback& progress, const DirectorySink& sink) {
    gate.pass();
    return read_directory(path, volume, query_file_system, cancel, progress, sink);
  };
  auto manager = ScanManager::create(std::move(options));
  ASSERT_TRUE(manager.has_value()) << to_string(manager.error());

  for (uint64_t scan = 1; scan <= 2; ++scan) {
    SCOPED_TRACE("scan " + std::to_string(scan));
    gate.close();
    ScanRequest request;
    request.root = *root;
    ScanHandle handle = (*manager)->start(request);
    ASSERT_EQ(handle.id, ScanId{scan});
    const std::vector<DWORD> workers = gate.wait_for(scan);
    ASSERT_EQ(workers.size(), scan);
    const std::map<DWORD, std::string> names = named_threads();
    gate.open();

    const std::string coordinator = "ketterlin-scan-coordinator-" + std::to_string(scan);
    int coordinators = 0;
    for (const auto& [id, name] : names) coordinators += name == coordinator ? 1 : 0;
    EXPECT_EQ(coordinators, 1) << coordinator;
    const auto worker = names.find(workers.back());
    ASSERT_NE(worker, names.end()) << "the listing ran on a thread without a name";
    EXPECT_TRUE(worker->second == "ketterlin-scan-0" || worker->second == "ketterlin-scan-1")
        << worker->second;
    EXPECT_TRUE(std::holds_alternative<ScanResult>(wait(std::move(handle))));
  }
}

}  // namespace
}  // namespace ketterlin::scanner
