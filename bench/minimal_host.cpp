// A host that costs nothing: it listens on a Unix-domain socket, starts the helper with
// `--pipe <socket>`, sends one full-root scan request for PATH and reads and discards every byte
// the helper writes, so that the helper's own speed can be measured without a real reader.
//
// Prints one JSON line on standard output:
//   {"exitStatus":S,"bytes":B,"lines":L,"helperMaxRssKiB":K,
//    "scanSeconds":A,"streamSeconds":T,"totalSeconds":W}
// where scanSeconds runs from the connection to the first byte of the "treeStart" line (the walk
// and the progress lines), streamSeconds from there to the end of the stream (the tree stream),
// totalSeconds from starting the helper to its exit, and helperMaxRssKiB is the helper's peak
// resident set as wait4 reports it. Exits with 0 only when the helper exited with 0.
//
// Usage: minimal_host HELPER PATH
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadBytes = 1 << 20;
constexpr std::string_view kTreeStart = R"({"type":"treeStart")";

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "minimal_host: %s: %s\n", what, std::strerror(errno));
  std::exit(2);
}

// `text` as a JSON string; control characters escaped, everything else as it is.
std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail("write");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Accepts the helper's connection; fails when the helper exits first or nothing comes in 30 s.
int accept_helper(int listener, pid_t helper) {
  for (int waited = 0; waited < 300; ++waited) {
    pollfd ready{listener, POLLIN, 0};
    if (::poll(&ready, 1, 100) > 0) {
      const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) fail("accept");
      return connection;
    }
    int status = 0;
    if (::waitpid(helper, &status, WNOHANG) == helper) {
      std::fprintf(stderr, "minimal_host: the helper exited before connecting\n");
      std::exit(2);
    }
  }
  std::fprintf(stderr, "minimal_host: the helper did not connect\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: minimal_host HELPER PATH\n");
    return 2;
  }
  char folder[] = "/tmp/ketterlin-minimal-host-XXXXXX";
  if (::mkdtemp(folder) == nullptr) fail("mkdtemp");
  const std::string socket_path = std::string(folder) + "/pipe";

  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) fail("socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail("bind");
  }
  if (::listen(listener, 1) != 0) fail("listen");

  const Clock::time_point started = Clock::now();
  pid_t helper = 0;
  char pipe_option[] = "--pipe";
  char* helper_argv[] = {argv[1], pipe_option, const_cast<char*>(socket_path.c_str()), nullptr};
  if (const int error = ::posix_spawn(&helper, argv[1], nullptr, nullptr, helper_argv, environ)) {
    errno = error;
    fail("posix_spawn");
  }
  const int connection = accept_helper(listener, helper);
  const Clock::time_point connected = Clock::now();
  const std::string path = argv[2];
  write_all(connection, R"({"type":"scan","request":{"mode":"fullRoot","root":)" +
                            json_string(path) + R"(,"targets":[)" + json_string(path) + "]}}\n");

  const auto buffer = std::make_unique<char[]>(kReadBytes);
  uint64_t bytes = 0;
  uint64_t lines = 0;
  std::string carried;  // the end of the previous read, while "treeStart" has not been seen
  Clock::time_point tree_started{};
  bool tree_seen = false;
  for (;;) {
    const ssize_t count = ::read(connection, buffer.get(), kReadBytes);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) fail("read");
    if (count == 0) break;
    const std::string_view chunk(buffer.get(), static_cast<std::size_t>(count));
    bytes += chunk.size();
    for (const char* at = chunk.data();
         (at = static_cast<const char*>(std::memchr(at, '\n', chunk.data() + chunk.size() - at)));
         ++at) {
      ++lines;
    }
    if (!tree_seen) {
      carried.append(chunk.substr(0, kTreeStart.size()));
      if (carried.find(kTreeStart) != std::string::npos ||
          chunk.find(kTreeStart) != std::string_view::npos) {
        tree_seen = true;
        tree_started = Clock::now();
      }
      carried.assign(chunk.substr(chunk.size() - std::min(chunk.size(), kTreeStart.size())));
    }
  }
  const Clock::time_point stream_ended = Clock::now();

  int status = 0;
  rusage usage{};
  while (::wait4(helper, &status, 0, &usage) < 0) {
    if (errno != EINTR) fail("wait4");
  }
  const Clock::time_point exited = Clock::now();
  ::close(connection);
  ::close(listener);
  ::unlink(socket_path.c_str());
  ::rmdir(folder);

  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (!tree_seen) tree_started = stream_ended;
  std::printf(
      "{\"exitStatus\":%d,\"bytes\":%llu,\"lines\":%llu,\"helperMaxRssKiB\":%ld,"
      "\"scanSeconds\":%.6f,\"streamSeconds\":%.6f,\"totalSeconds\":%.6f}\n",
      exit_status, static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(lines),
      usage.ru_maxrss, seconds_between(connected, tree_started),
      seconds_between(tree_started, stream_ended), seconds_between(started, exited));
  return exit_status == 0 ? 0 : 1;
}
