// Thread names as Windows holds them: whole, in UTF-16, and readable from another thread through a
// thread handle, as debuggers and process viewers read them.
#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/os_string.h"
#include "platform/thread_name.h"

namespace ketterlin::platform {
namespace {

using GetDescription = HRESULT(WINAPI*)(HANDLE thread, PWSTR* description);

GetDescription get_thread_description() {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  return reinterpret_cast<GetDescription>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "GetThreadDescription")));
}

// The description the system holds for thread `id`, read through a handle opened on it.
std::optional<std::wstring> description_of(DWORD id) {
  const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (thread == nullptr) return std::nullopt;
  wchar_t* description = nullptr;
  // Wine answers a success code other than S_OK.
  const HRESULT result = get_thread_description()(thread, &description);
  CloseHandle(thread);
  if (FAILED(result) || description == nullptr) return std::nullopt;
  std::wstring text = description;
  LocalFree(description);
  return text;
}

TEST(ThreadNameOnWindows, AnotherThreadReadsTheWholeName) {
  if (get_thread_description() == nullptr) {
    GTEST_SKIP() << "this system has no thread descriptions (before Windows 10 1607)";
  }
  struct Case {
    const char* name;
    std::string thread_name;
  };
  const Case cases[] = {
      {"pool thread", "ketterlin-scan-7"},
      {"coordinator of the largest scan id", "ketterlin-scan-coordinator-18446744073709551615"},
      {"beyond fifteen bytes, unshortened", "a-name-longer-than-fifteen-bytes"},
      {"non-ASCII, astral plane included",
       "ketterlin-\xC3\xBCn\xC3\xAF-\xE6\x97\xA5-\xF0\x9F\x93\x81"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mutex mutex;
    std::condition_variable changed;
    bool named = false;
    bool read = false;
    bool accepted = false;
    std::string own_view;
    DWORD id = 0;
    std::thread thread([&] {
      std::unique_lock lock(mutex);
      accepted = set_current_thread_name(c.thread_name);
      own_view = current_thread_name();
      id = GetCurrentThreadId();
      named = true;
      changed.notify_all();
      // Alive until the test has read the name from outside.
      changed.wait(lock, [&] { return read; });
    });
    std::optional<std::wstring> seen;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return named; });
      seen = description_of(id);
      read = true;
      changed.notify_all();
    }
    thread.join();
    EXPECT_TRUE(accepted);
    EXPECT_EQ(own_view, c.thread_name);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, from_utf8(c.thread_name));
  }
}

}  // namespace
}  // namespace ketterlin::platform
