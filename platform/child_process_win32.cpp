#include <windows.h>

#include <array>
#include <thread>

#include "platform/child_process.h"
#include "unique_handle.h"

namespace ketterlin::platform {

struct ChildProcess::State {
  UniqueHandle process;
  std::optional<ExitStatus> status;  // set once the exit has been collected
  bool killed = false;               // we terminated it
  UniqueHandle input;                // the parent's ends of the piped streams
  UniqueHandle output;
  UniqueHandle error;
};

namespace {

constexpr UINT kKilledExitCode = 1;

// The child's handle for standard stream `which` (STD_INPUT_HANDLE...) as `setup` says. For a
// pipe, `parent_end` receives the parent's end (not inheritable). Handles the child inherits are
// owned by `child_end`, which the caller closes once the child has started.
tl::expected<HANDLE, OsError> arrange_stream(DWORD which, StreamSetup setup,
                                             UniqueHandle& parent_end, UniqueHandle& child_end) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (setup == StreamSetup::Inherit) return GetStdHandle(which);
  if (setup == StreamSetup::Null) {
    child_end.reset(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                                nullptr));
    if (!child_end.valid()) return tl::unexpected(last_os_error());
    return child_end.get();
  }
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return tl::unexpected(last_os_error());
  const bool is_input = which == STD_INPUT_HANDLE;
  parent_end.reset(is_input ? write_end : read_end);
  child_end.reset(is_input ? read_end : write_end);
  if (!SetHandleInformation(parent_end.get(), HANDLE_FLAG_INHERIT, 0)) {
    return tl::unexpected(last_os_error());
  }
  return child_end.get();
}

// Reads `pipe` until its writer closes it.
void read_to_end(HANDLE pipe, std::string& out) {
  std::array<char, 65536> buffer;
  DWORD count = 0;
  while (ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr) &&
         count > 0) {
    out.append(buffer.data(), count);
  }
}

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}
ChildProcess::ChildProcess(ChildProcess&& other) noexcept = default;

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    ChildProcess discarded(std::move(*this));
    state_ = std::move(other.state_);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (!state_ || state_->status) return;
  TerminateProcess(state_->process.get(), kKilledExitCode);
  WaitForSingleObject(state_->process.get(), INFINITE);
}

tl::expected<ChildProcess, OsError> ChildProcess::start(const ChildProcessOptions& options) {
  auto command_line = windows_command_line(options.program, options.arguments);
  if (!command_line) return tl::unexpected(OsError{ERROR_INVALID_PARAMETER});
  auto state = std::make_unique<State>();
  std::array<UniqueHandle, 3> child_ends;
  const std::array<std::pair<StreamSetup, UniqueHandle*>, 3> streams = {{
      {options.standard_input, &state->input},
      {options.standard_output, &state->output},
      {options.standard_error, &state->error},
  }};
  const std::array<DWORD, 3> which = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  std::array<HANDLE, 3> child_handles{};
  for (std::size_t i = 0; i < 3; ++i) {
    auto handle = arrange_stream(which[i], streams[i].first, *streams[i].second, child_ends[i]);
    if (!handle) return tl::unexpected(handle.error());
    child_handles[i] = *handle;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_handles[0];
  startup.hStdOutput = child_handles[1];
  startup.hStdError = child_handles[2];
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(options.program.c_str(), command_line->data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &info)) {
    return tl::unexpected(last_os_error());
  }
  CloseHandle(info.hThread);
  state->process.reset(info.hProcess);
  return ChildProcess(std::move(state));
}

tl::expected<void, OsError> ChildProcess::write_input(std::string_view data) {
  if (!state_->input.valid()) return tl::unexpected(OsError{ERROR_INVALID_HANDLE});
  while (!data.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 20));
    if (!WriteFile(state_->input.get(), data.data(), chunk, &written, nullptr)) {
      return tl::unexpected(last_os_error());
    }
    data.remove_prefix(written);
  }
  return {};
}

void ChildProcess::close_input() { state_->input.reset(); }

tl::expected<std::optional<ExitStatus>, OsError> ChildProcess::try_wait() {
  if (state_->status) return state_->status;
  const DWORD waited = WaitForSingleObject(state_->process.get(), 0);
  if (waited == WAIT_TIMEOUT) return std::nullopt;
  if (waited != WAIT_OBJECT_0) return tl::unexpected(last_os_error());
  DWORD code = 0;
  if (!GetExitCodeProcess(state_->process.get(), &code)) return tl::unexpected(last_os_error());
  state_->status =
      ExitStatus{state_->killed ? ExitStatus::Kind::Killed : ExitStatus::Kind::Exited, code};
  return state_->status;
}

tl::expected<ChildOutput, OsError> ChildProcess::wait_with_output(
    std::optional<std::chrono::milliseconds> time_limit) {
  close_input();
  ChildOutput result;
  // Each pipe is read on its own thread so that neither can fill up and block the child.
  std::array<std::thread, 2> readers;
  try {
    if (state_->output.valid()) {
      readers[0] = std::thread(read_to_end, state_->output.get(), std::ref(result.standard_output));
    }
    if (state_->error.valid()) {
      readers[1] = std::thread(read_to_end, state_->error.get(), std::ref(result.standard_error));
    }
  } catch (const std::system_error&) {
    kill();  // the child's end of the stream will close, so a started reader ends
    for (auto& reader : readers) {
      if (reader.joinable()) reader.join();
    }
    return tl::unexpected(OsError{ERROR_NOT_ENOUGH_MEMORY});
  }
  const DWORD limit = time_limit ? static_cast<DWORD>(time_limit->count()) : INFINITE;
  if (!state_->status && WaitForSingleObject(state_->process.get(), limit) == WAIT_TIMEOUT) {
    kill();
    result.timed_out = true;
    WaitForSingleObject(state_->process.get(), INFINITE);
  }
  for (auto& reader : readers) {
    if (reader.joinable()) reader.join();
  }
  state_->output.reset();
  state_->error.reset();
  auto status = try_wait();
  if (!status) return tl::unexpected(status.error());
  if (!*status) return tl::unexpected(OsError{ERROR_INVALID_STATE});
  result.status = **status;
  return result;
}

void ChildProcess::kill() {
  if (!state_ || state_->status) return;
  if (TerminateProcess(state_->process.get(), kKilledExitCode)) state_->killed = true;
}

}  // namespace ketterlin::platform
