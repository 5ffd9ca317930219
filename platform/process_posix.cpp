#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "platform/process.h"

namespace ketterlin::platform {

std::vector<OsString> command_line_arguments(int argc, char** argv) {
  std::vector<OsString> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

void write_standard_error(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

void ignore_broken_pipe_signal() { signal(SIGPIPE, SIG_IGN); }

}  // namespace ketterlin::platform
