// The Win32 pipe client's opening calls, replaceable so that tests can see how the pipe is opened:
// what a client asks for when it opens a pipe (its impersonation level above all) cannot be seen
// from the pipe on every system. Only pipe_win32.cpp and its tests include this header.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include <tl/expected.hpp>

#include "platform/os_string.h"
#include "scan_helper/pipe.h"

namespace ketterlin::helper::win32 {

// WaitNamedPipeW and CreateFileW, with their parameters.
struct PipeOpenCalls {
  std::function<BOOL(LPCWSTR name, DWORD timeout_ms)> wait_named_pipe;
  std::function<HANDLE(LPCWSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE template_file)>
      create_file;
};

// The system's own functions.
PipeOpenCalls system_pipe_open_calls();

// open_pipe_stream (pipe.h) with the waiting and opening calls made through `calls`. The handle
// `calls.create_file` returns is owned by the stream from then on.
[[nodiscard]] tl::expected<std::unique_ptr<PipeStream>, PipeError> open_pipe_stream(
    platform::OsStringView name, const PipeOpenCalls& calls);

}  // namespace ketterlin::helper::win32
