// The channel over real named pipes: the test plays the host with a pipe instance of its own
// (CreateNamedPipeW, byte mode, as the host makes it) and the channel connects to it as the helper
// does.
#include "scan_helper/pipe_win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "elevation/protocol.h"
#include "platform/os_error.h"
#include "platform/os_string.h"
#include "win32_testing.h"

namespace ketterlin::helper {
namespace {

using elevation::HelperMessage;
using namespace std::chrono_literals;

constexpr DWORD kPipeBufferBytes = 65536;

std::wstring unique_pipe_name() {
  static std::atomic<int> counter{0};
  return L"\\\\.\\pipe\\ketterlin-pipe-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(counter++);
}

// The host's end: one instance of a fresh pipe. At most one background task at a time (serve or
// collect), joined before the end closes.
class PipeHost {
 public:
  enum class AfterWrite { KeepOpen, Close };

  PipeHost() : name_(unique_pipe_name()) {
    handle_ = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeBufferBytes,
                               kPipeBufferBytes, 0, nullptr);
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << "CreateNamedPipeW failed with " << GetLastError();
  }
  ~PipeHost() {
    join();
    close();
  }
  PipeHost(const PipeHost&) = delete;
  PipeHost& operator=(const PipeHost&) = delete;

  const std::wstring& name() const { return name_; }

  // In the background: waits for the client, writes `bytes`, then closes this end or keeps it.
  void serve(std::string bytes, AfterWrite after) {
    task_ = std::thread([this, bytes = std::move(bytes), after] {
      if (!await_client()) return;
      std::string_view left = bytes;
      while (!left.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left.size(), 1 << 20));
        if (!WriteFile(handle_, left.data(), chunk, &written, nullptr)) return;  // client gone
        left.remove_prefix(written);
      }
      if (after == AfterWrite::Close) close();
    });
  }

  // In the background: reads until the client closes its end. The client has connected
  // (await_client): one that writes and closes at once could otherwise be gone before the wait.
  void collect() {
    task_ = std::thread([this] {
      char buffer[65536];
      DWORD count = 0;
      while (ReadFile(handle_, buffer, sizeof buffer, &count, nullptr)) {
        received_.append(buffer, count);
      }
    });
  }

  void join() {
    if (task_.joinable()) task_.join();
  }
  // Closes this end of the pipe: the host goes away.
  void close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  // Waits until the client has written bytes that nobody has read yet (at most 10 s).
  void await_unread_bytes() {
    DWORD available = 0;
    for (int wait = 0; wait < 1000 && available == 0; ++wait) {
      if (!PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr)) return;
      if (available == 0) std::this_thread::sleep_for(10ms);
    }
  }
  // What collect() read; call after join().
  const std::string& received() const { return received_; }
  bool await_client() {
    return ConnectNamedPipe(handle_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
  }
  // Reads what the client wrote, then takes on the client's token, as far as the client allows,
  // on the calling thread: the level that token has (nullopt when impersonation failed).
  std::optional<SECURITY_IMPERSONATION_LEVEL> impersonation_level_of_client() {
    char buffer[256];
    DWORD count = 0;
    if (!ReadFile(handle_, buffer, sizeof buffer, &count, nullptr)) return std::nullopt;
    if (!ImpersonateNamedPipeClient(handle_)) return std::nullopt;
    std::optional<SECURITY_IMPERSONATION_LEVEL> level;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
      SECURITY_IMPERSONATION_LEVEL value{};
      DWORD size = 0;
      if (GetTokenInformation(token, TokenImpersonationLevel, &value, sizeof value, &size)) {
        level = value;
      }
      CloseHandle(token);
    }
    RevertToSelf();
    return level;
  }

 private:
  std::wstring name_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::thread task_;
  std::string received_;
};

// ---- Connecting ----

TEST(NamedPipeChannel, ConnectFailuresCarryTheSystemCode) {
  const PipeHost host;
  struct Case {
    const char* name;
    std::wstring pipe_name;
    uint32_t code;
    std::string text;
  };
  const Case cases[] = {
      // The wait returns at once when no pipe of the name exists.
      {"no pipe of that name", host.name() + L"-missing", ERROR_FILE_NOT_FOUND,
       "named pipe operation failed (2)"},
      {"zero unit inside", host.name() + std::wstring(1, L'\0') + L"x", ERROR_INVALID_NAME,
       "named pipe operation failed (123)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    const auto connection = PipeConnection::connect(c.pipe_name);
    ASSERT_FALSE(connection.has_value());
    EXPECT_EQ(connection.error().kind, PipeErrorKind::Windows);
    EXPECT_EQ(connection.error().windows_code, c.code);
    EXPECT_EQ(to_string(connection.error()), c.text);
    EXPECT_LT(std::chrono::steady_clock::now() - start, CONNECT_TIMEOUT / 2);
  }
}

// The calls that opened the pipe, seen through the opening seam.
struct OpenCall {
  std::wstring name;
  DWORD access = 0;
  DWORD share_mode = 0;
  bool security = true;
  DWORD disposition = 0;
  DWORD flags = 0;
  bool template_file = true;
};

TEST(NamedPipeChannel, OpensThePipeToBeIdentifiedNotImpersonated) {
  PipeHost host;
  std::vector<DWORD> waits;
  std::vector<OpenCall> opens;
  win32::PipeOpenCalls calls = win32::system_pipe_open_calls();
  const auto system_wait = calls.wait_named_pipe;
  const auto system_open = calls.create_file;
  calls.wait_named_pipe = [&](LPCWSTR name, DWORD timeout) {
    waits.push_back(timeout);
    return system_wait(name, timeout);
  };
  calls.create_file = [&](LPCWSTR name, DWORD access, DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                          HANDLE template_file) {
    opens.push_back({name, access, share_mode, security != nullptr, disposition, flags,
                     template_file != nullptr});
    return system_open(name, access, share_mode, security, disposition, flags, template_file);
  };

  auto stream = win32::open_pipe_stream(host.name(), calls);

  ASSERT_TRUE(stream.has_value()) << to_string(stream.error());
  ASSERT_TRUE(host.await_client());
  host.collect();
  EXPECT_EQ(waits, std::vector<DWORD>{10000});
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].name, host.name());
  EXPECT_EQ(opens[0].access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(opens[0].share_mode, 0u);
  EXPECT_FALSE(opens[0].security);
  EXPECT_EQ(opens[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(opens[0].flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT |
                                               SECURITY_IDENTIFICATION));
  EXPECT_FALSE(opens[0].template_file);
  // The stream opened through the seam is the pipe: what it writes reaches the host.
  std::optional<PipeConnection> connection(std::in_place, std::move(*stream));
  ASSERT_TRUE(connection->send(elevation::CompleteMessage{}).has_value());
  connection.reset();  // the helper's end closes
  host.join();
  EXPECT_EQ(host.received(), "{\"type\":\"complete\"}\n");
}

TEST(NamedPipeChannel, TheHostMayIdentifyButNotImpersonateTheHelper) {
  if (platform::testing::running_under_wine()) {
    GTEST_SKIP() << "Wine ignores the impersonation level a pipe client asks for";
  }
  PipeHost host;
  auto connection = PipeConnection::connect(host.name());
  ASSERT_TRUE(connection.has_value()) << to_string(connection.error());
  ASSERT_TRUE(host.await_client());
  ASSERT_TRUE(connection->send(elevation::CompleteMessage{}).has_value());

  EXPECT_EQ(host.impersonation_level_of_client(), SecurityIdentification);
}

// ---- Reading the request ----

const std::string kRequest =
    R"({"type":"scan","request":{"mode":"restrictedTopUp","root":"C:\\","targets":["C:\\Users"]}})";

elevation::HostMessage expected_request() {
  elevation::HostMessage message;
  message.request.mode = elevation::ElevatedScanMode::RestrictedTopUp;
  message.request.root = L"C:\\";
  message.request.targets = {L"C:\\Users"};
  return message;
}

// `json` followed by blanks up to `size` bytes in all, the last one `last`.
std::string frame_of_size(std::string json, std::size_t size, char last) {
  json.resize(size - 1, ' ');
  return json + last;
}

TEST(NamedPipeChannel, ReadsTheFirstFrameWithinTheLimit) {
  using AfterWrite = PipeHost::AfterWrite;
  struct Case {
    const char* name;
    std::string bytes;
    AfterWrite after;
    std::optional<PipeErrorKind> error;  // nullopt: decodes to expected_request()
    std::string text = "";               // the error's text, or its beginning for Json
  };
  const Case cases[] = {
      {"one line", kRequest + "\n", AfterWrite::KeepOpen, std::nullopt},
      {"exactly the limit, line feed last", frame_of_size(kRequest, MAX_FRAME_BYTES, '\n'),
       AfterWrite::KeepOpen, std::nullopt},
      {"the line feed one byte past the limit", frame_of_size(kRequest, MAX_FRAME_BYTES + 1, '\n'),
       AfterWrite::KeepOpen, PipeErrorKind::FrameTooLarge,
       "named pipe frame exceeds the size limit"},
      {"carriage return and line feed", kRequest + "\r\n", AfterWrite::KeepOpen, std::nullopt},
      {"no line feed, then the host closes", kRequest, AfterWrite::Close, std::nullopt},
      {"two frames at once: only the first counts", kRequest + "\n{\"type\":\"other\"}\n",
       AfterWrite::KeepOpen, std::nullopt},
      {"the host closes without writing", "", AfterWrite::Close, PipeErrorKind::Closed,
       "named pipe closed before the next frame"},
      {"text after the value", kRequest + " x\n", AfterWrite::KeepOpen, PipeErrorKind::Json,
       "trailing characters at line 1 column "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PipeHost host;
    host.serve(c.bytes, c.after);
    auto connection = PipeConnection::connect(host.name());
    ASSERT_TRUE(connection.has_value()) << to_string(connection.error());

    const auto message = connection->read_host_message();

    if (!c.error) {
      ASSERT_TRUE(message.has_value()) << to_string(message.error());
      EXPECT_EQ(*message, expected_request());
    } else {
      ASSERT_FALSE(message.has_value());
      EXPECT_EQ(message.error().kind, *c.error);
      EXPECT_EQ(to_string(message.error()).rfind(c.text, 0), 0u) << to_string(message.error());
    }
    // Closing the helper's end releases a host still writing what was not read.
    connection = tl::unexpected(PipeError::closed());
  }
}

// ---- Sending ----

TEST(NamedPipeChannel, FramesReachTheHostWholeAndInOrder) {
  PipeHost host;
  auto connection = PipeConnection::connect(host.name());
  ASSERT_TRUE(connection.has_value()) << to_string(connection.error());
  ASSERT_TRUE(host.await_client());
  host.collect();
  // A tree far larger than the pipe's buffer, so that writes wait for the host.
  std::vector<HelperMessage> messages;
  elevation::TargetProgress progress;
  progress.current_path = L"C:\\Data";
  messages.push_back(elevation::EventMessage{progress});
  messages.push_back(elevation::TreeStartMessage{0, std::nullopt});
  const platform::OsString long_path = L"C:\\Data\\" + std::wstring(300, L'\u00e9');
  for (uint64_t id = 0; id < 2000; ++id) {
    elevation::NodeRecord record;
    record.id = id;
    record.path = long_path;
    messages.push_back(elevation::NodeMessage{0, record});
  }
  messages.push_back(elevation::TreeEndMessage{0});
  messages.push_back(elevation::CompleteMessage{});
  std::string expected;
  for (const HelperMessage& message : messages) {
    const auto sent = connection->send(message);
    ASSERT_TRUE(sent.has_value()) << to_string(sent.error());
    ASSERT_TRUE(elevation::encode(message, expected).has_value());
    expected += '\n';
  }
  ASSERT_GT(expected.size(), 10u * kPipeBufferBytes);

  connection = tl::unexpected(PipeError::closed());  // the helper's end closes
  host.join();
  EXPECT_EQ(host.received(), expected);
}

TEST(NamedPipeChannel, AHostThatClosesMidStreamFailsTheNextSend) {
  struct Case {
    const char* name;
    bool while_writing;  // the host closes while a send waits for it to read
    uint32_t code;
  };
  const Case cases[] = {
      // A write to a pipe the host has closed: "the pipe is being closed".
      {"between two sends", false, ERROR_NO_DATA},
      // A write cut short by the host's going away: "the pipe has been ended".
      {"during a send", true, ERROR_BROKEN_PIPE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PipeHost host;
    auto connection = PipeConnection::connect(host.name());
    ASSERT_TRUE(connection.has_value()) << to_string(connection.error());
    ASSERT_TRUE(host.await_client());
    std::thread closing([&] {
      // The send below has begun to write, and waits for room.
      if (c.while_writing) host.await_unread_bytes();
      host.close();
    });
    if (!c.while_writing) closing.join();
    // Far more than the pipe holds: the write waits until the host reads or goes away.
    const auto sent = connection->send(elevation::FailureMessage{std::string(1 << 20, 'f')});
    if (closing.joinable()) closing.join();

    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error().kind, PipeErrorKind::Io);
    ASSERT_TRUE(sent.error().io_error.has_value());
    EXPECT_EQ(sent.error().io_error->code, c.code);
    EXPECT_TRUE(to_string(sent.error()).ends_with(" (os error " + std::to_string(c.code) + ")"))
        << to_string(sent.error());
    const auto again = connection->send(elevation::CompleteMessage{});
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error(), sent.error());
  }
}

}  // namespace
}  // namespace ketterlin::helper
