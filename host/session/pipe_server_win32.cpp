// The pipe on Windows: one instance of \\.\pipe\ketterlin-scan-<random>, created first (so no
// other process can have made the name before us), in byte mode, refusing remote clients, with a
// protected DACL that grants full access to the current user and to the Administrators group (the
// elevated helper runs as one of them) and to nobody else. All I/O is overlapped so that waiting
// for the connection can be bounded and interleaved with checks on the helper.
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <random>
#include <string>

#include "host/cli/interrupt_win32.h"
#include "host/session/pipe_server.h"
#include "unique_handle.h"

namespace ketterlin::host {

using platform::UniqueHandle;
using Clock = std::chrono::steady_clock;

struct HelperConnection::State {
  UniqueHandle pipe;
  UniqueHandle event;  // manual-reset, for overlapped reads and writes
};

struct PipeServer::State {
  platform::OsString name;
  UniqueHandle pipe;
  UniqueHandle event;
};

namespace {

HostError endpoint_failed(std::string step) {
  return HostError::with_os_error(HostError::Kind::EndpointFailed, std::move(step),
                                  platform::last_os_error());
}

struct LocalMemory {
  HLOCAL memory = nullptr;
  ~LocalMemory() {
    if (memory != nullptr) LocalFree(memory);
  }
};

// The current user's SID as text ("S-1-5-21-...").
tl::expected<std::wstring, HostError> current_user_sid() {
  HANDLE raw_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token)) {
    return tl::unexpected(endpoint_failed("OpenProcessToken"));
  }
  UniqueHandle token(raw_token);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return tl::unexpected(endpoint_failed("GetTokenInformation"));
  }
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  LocalMemory text;
  if (!ConvertSidToStringSidW(user->User.Sid, reinterpret_cast<LPWSTR*>(&text.memory))) {
    return tl::unexpected(endpoint_failed("ConvertSidToStringSidW"));
  }
  return std::wstring(static_cast<const wchar_t*>(text.memory));
}

std::wstring random_pipe_name() {
  std::random_device device;
  const uint64_t value = (static_cast<uint64_t>(device()) << 32 | device()) ^
                         (static_cast<uint64_t>(GetCurrentProcessId()) << 20) ^ GetTickCount64();
  wchar_t text[17];
  for (int i = 15; i >= 0; --i) text[15 - i] = L"0123456789abcdef"[(value >> (i * 4)) & 15];
  text[16] = L'\0';
  return std::wstring(L"\\\\.\\pipe\\ketterlin-scan-") + text;
}

// Waits for the overlapped operation on `handle` to finish: the bytes it moved.
tl::expected<DWORD, platform::OsError> finish_overlapped(HANDLE handle, OVERLAPPED& overlapped,
                                                         BOOL started) {
  DWORD moved = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    return tl::unexpected(platform::last_os_error());
  }
  if (!GetOverlappedResult(handle, &overlapped, &moved, TRUE)) {
    return tl::unexpected(platform::last_os_error());
  }
  return moved;
}

}  // namespace

HelperConnection::HelperConnection(std::unique_ptr<State> state) : state_(std::move(state)) {}
HelperConnection::HelperConnection(HelperConnection&&) noexcept = default;
HelperConnection& HelperConnection::operator=(HelperConnection&&) noexcept = default;
HelperConnection::~HelperConnection() = default;

tl::expected<void, platform::OsError> HelperConnection::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = state_->event.get();
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
    const BOOL started = WriteFile(state_->pipe.get(), bytes.data(), chunk, nullptr, &overlapped);
    auto written = finish_overlapped(state_->pipe.get(), overlapped, started);
    if (!written) return tl::unexpected(written.error());
    if (*written == 0) return tl::unexpected(platform::OsError{ERROR_NO_DATA});
    bytes.remove_prefix(*written);
  }
  return {};
}

tl::expected<std::size_t, platform::OsError> HelperConnection::read_some(char* buffer,
                                                                         std::size_t size) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = state_->event.get();
  const auto wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 20));
  const BOOL started = ReadFile(state_->pipe.get(), buffer, wanted, nullptr, &overlapped);
  if (!started && GetLastError() == ERROR_IO_PENDING && interrupt_event() != nullptr) {
    // An interrupt cancels the read; the cancelled read is still collected before returning.
    const HANDLE waited[2] = {overlapped.hEvent, static_cast<HANDLE>(interrupt_event())};
    if (WaitForMultipleObjects(2, waited, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      CancelIoEx(state_->pipe.get(), &overlapped);
      DWORD ignored = 0;
      GetOverlappedResult(state_->pipe.get(), &overlapped, &ignored, TRUE);
      return tl::unexpected(platform::OsError{ERROR_OPERATION_ABORTED});
    }
    SetLastError(ERROR_IO_PENDING);
  }
  auto read = finish_overlapped(state_->pipe.get(), overlapped, started);
  if (!read) {
    if (read.error().code == ERROR_BROKEN_PIPE || read.error().code == ERROR_PIPE_NOT_CONNECTED) {
      return 0;
    }
    return tl::unexpected(read.error());
  }
  return static_cast<std::size_t>(*read);
}

PipeServer::PipeServer(std::unique_ptr<State> state) : state_(std::move(state)) {}
PipeServer::PipeServer(PipeServer&&) noexcept = default;
PipeServer& PipeServer::operator=(PipeServer&&) noexcept = default;
PipeServer::~PipeServer() = default;

const platform::OsString& PipeServer::name() const { return state_->name; }

tl::expected<PipeServer, HostError> PipeServer::create() {
  auto user = current_user_sid();
  if (!user) return tl::unexpected(std::move(user.error()));
  // Protected DACL: the user and the Administrators group, generic all; nobody else.
  const std::wstring sddl = L"D:P(A;;GA;;;" + *user + L")(A;;GA;;;BA)";
  LocalMemory descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          sddl.c_str(), SDDL_REVISION_1,
          reinterpret_cast<PSECURITY_DESCRIPTOR*>(&descriptor.memory), nullptr)) {
    return tl::unexpected(endpoint_failed("ConvertStringSecurityDescriptorToSecurityDescriptorW"));
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.memory, FALSE};
  auto state = std::make_unique<State>();
  state->name = random_pipe_name();
  state->pipe.reset(
      CreateNamedPipeW(state->name.c_str(),
                       PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                       1, 1 << 16, 1 << 16, 0, &attributes));
  if (!state->pipe.valid()) return tl::unexpected(endpoint_failed("CreateNamedPipeW"));
  state->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->event.valid()) return tl::unexpected(endpoint_failed("CreateEventW"));
  return PipeServer(std::move(state));
}

tl::expected<std::optional<HelperConnection>, HostError> PipeServer::accept(
    std::chrono::milliseconds time_limit, const std::function<bool()>& keep_waiting) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = state_->event.get();
  auto connected = [this] {
    auto connection = std::make_unique<HelperConnection::State>();
    connection->pipe = std::move(state_->pipe);
    connection->event = std::move(state_->event);
    return std::optional<HelperConnection>(HelperConnection(std::move(connection)));
  };
  if (ConnectNamedPipe(state_->pipe.get(), &overlapped)) return connected();
  if (GetLastError() == ERROR_PIPE_CONNECTED) return connected();
  if (GetLastError() != ERROR_IO_PENDING)
    return tl::unexpected(endpoint_failed("ConnectNamedPipe"));
  const Clock::time_point deadline = Clock::now() + time_limit;
  auto give_up = [&] {
    CancelIoEx(state_->pipe.get(), &overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(state_->pipe.get(), &overlapped, &ignored, TRUE);
  };
  for (;;) {
    const DWORD waited = WaitForSingleObject(state_->event.get(), 50);
    if (waited == WAIT_OBJECT_0) {
      DWORD ignored = 0;
      if (!GetOverlappedResult(state_->pipe.get(), &overlapped, &ignored, FALSE)) {
        return tl::unexpected(endpoint_failed("ConnectNamedPipe"));
      }
      return connected();
    }
    if (waited != WAIT_TIMEOUT) return tl::unexpected(endpoint_failed("WaitForSingleObject"));
    if (!keep_waiting()) {
      give_up();
      return std::optional<HelperConnection>();
    }
    if (Clock::now() >= deadline) {
      give_up();
      HostError error;
      error.kind = HostError::Kind::ConnectTimedOut;
      error.number = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::seconds>(time_limit).count());
      return tl::unexpected(std::move(error));
    }
  }
}

}  // namespace ketterlin::host
