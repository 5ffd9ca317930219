// The pipe on Windows: a client handle to the host's named pipe for reading and a duplicate of it
// for writing, both used synchronously as a byte stream.
#include "scan_helper/pipe_win32.h"

#include <algorithm>
#include <limits>

#include "unique_handle.h"

namespace ketterlin::helper {
namespace {

static_assert(windows_pipe_open_flags() ==
              (FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));

DWORD clamp_to_dword(std::size_t size) {
  return static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
}

class HandleStream final : public PipeStream {
 public:
  HandleStream(platform::UniqueHandle reader, platform::UniqueHandle writer)
      : reader_(std::move(reader)), writer_(std::move(writer)) {}

  tl::expected<std::size_t, StreamFailure> read(std::span<char> buffer) override {
    DWORD count = 0;
    if (!ReadFile(reader_.get(), buffer.data(), clamp_to_dword(buffer.size()), &count, nullptr)) {
      const DWORD code = GetLastError();
      // The host closed its end: the end of the stream, not an error.
      if (code == ERROR_BROKEN_PIPE) return 0;
      return tl::unexpected(StreamFailure{platform::OsError{code}});
    }
    return count;
  }

  tl::expected<std::size_t, StreamFailure> write(std::span<const char> bytes) override {
    DWORD count = 0;
    if (!WriteFile(writer_.get(), bytes.data(), clamp_to_dword(bytes.size()), &count, nullptr)) {
      return tl::unexpected(StreamFailure{platform::last_os_error()});
    }
    return count;
  }

 private:
  platform::UniqueHandle reader_;
  platform::UniqueHandle writer_;
};

}  // namespace

namespace win32 {

PipeOpenCalls system_pipe_open_calls() {
  PipeOpenCalls calls;
  calls.wait_named_pipe = WaitNamedPipeW;
  calls.create_file = CreateFileW;
  return calls;
}

tl::expected<std::unique_ptr<PipeStream>, PipeError> open_pipe_stream(platform::OsStringView name,
                                                                      const PipeOpenCalls& calls) {
  // The system would stop at a zero unit and open another pipe than the one named.
  if (name.find(L'\0') != platform::OsStringView::npos) {
    return tl::unexpected(PipeError::windows(ERROR_INVALID_NAME));
  }
  const platform::OsString text(name);
  if (!calls.wait_named_pipe(text.c_str(), static_cast<DWORD>(CONNECT_TIMEOUT.count()))) {
    return tl::unexpected(PipeError::windows(GetLastError()));
  }
  platform::UniqueHandle reader(calls.create_file(text.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                  nullptr, OPEN_EXISTING, windows_pipe_open_flags(),
                                                  nullptr));
  if (!reader.valid()) return tl::unexpected(PipeError::windows(GetLastError()));
  HANDLE duplicate = nullptr;
  const HANDLE process = GetCurrentProcess();
  if (!DuplicateHandle(process, reader.get(), process, &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return tl::unexpected(PipeError::io(platform::last_os_error()));
  }
  platform::UniqueHandle writer(duplicate);
  return std::make_unique<HandleStream>(std::move(reader), std::move(writer));
}

}  // namespace win32

tl::expected<std::unique_ptr<PipeStream>, PipeError> open_pipe_stream(platform::OsStringView name) {
  return win32::open_pipe_stream(name, win32::system_pipe_open_calls());
}

}  // namespace ketterlin::helper
