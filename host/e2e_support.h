// What the host's end-to-end tests share: running the real ketterlin-scan with pipes or on a
// pseudo-terminal (in a chosen folder and environment, optionally as user nobody), temporary
// folders and sample trees. POSIX test code only.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/child_process.h"

namespace ketterlin::host::e2e {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct ScanRun {
  int status = -1;  // -1 when the command did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `arguments`, standard input the null device, its outputs captured; fails
// the test when it does not end within `limit`.
inline ScanRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                           std::chrono::seconds limit = std::chrono::seconds(60)) {
  const std::vector<platform::OsString> words(arguments.begin(), arguments.end());
  auto child = platform::ChildProcess::start({.program = program,
                                              .arguments = words,
                                              .standard_input = platform::StreamSetup::Null,
                                              .standard_output = platform::StreamSetup::Pipe,
                                              .standard_error = platform::StreamSetup::Pipe});
  EXPECT_TRUE(child.has_value());
  if (!child) return {};
  auto output = child->wait_with_output(limit);
  EXPECT_TRUE(output.has_value());
  if (!output) return {};
  EXPECT_FALSE(output->timed_out);
  ScanRun run;
  run.out = output->standard_output;
  run.err = output->standard_error;
  if (output->status.kind == platform::ExitStatus::Kind::Exited) {
    run.status = static_cast<int>(output->status.value);
  }
  return run;
}

// Runs `program` (ketterlin-scan of the build by default) with `arguments`.
inline ScanRun run_scan(const std::vector<std::string>& arguments,
                        const std::string& program = KETTERLIN_SCAN_PATH) {
  return run_program(program, arguments);
}

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "ketterlin-e2e-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
    path_ = fs::canonical(path_);
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline void write_file(const fs::path& path, std::size_t bytes) {
  std::ofstream(path, std::ios::binary) << std::string(bytes, 'k');
}

inline Json read_json(const fs::path& path) {
  std::ifstream in(path);
  return Json::parse(in);
}

// A tree with nested folders, files of several sizes, an empty folder, a hard-link group of three
// across folders, a second group inside one folder, and two symbolic links.
inline fs::path make_sample(const fs::path& base) {
  const fs::path root = base / "tree";
  fs::create_directories(root / "a" / "deep" / "deeper");
  fs::create_directories(root / "b");
  fs::create_directories(root / "empty");
  write_file(root / "top.txt", 10);
  write_file(root / "a" / "one.bin", 5000);
  write_file(root / "a" / "deep" / "two.bin", 70000);
  write_file(root / "a" / "deep" / "deeper" / "three.bin", 1);
  write_file(root / "b" / "linked", 300000);
  fs::create_hard_link(root / "b" / "linked", root / "a" / "linked-too");
  fs::create_hard_link(root / "b" / "linked", root / "a" / "deep" / "linked-three");
  write_file(root / "b" / "pair", 9000);
  fs::create_hard_link(root / "b" / "pair", root / "b" / "pair-too");
  fs::create_symlink("a", root / "to-a");
  fs::create_symlink("nowhere", root / "dangling");
  return root;
}

// ---- Runs that need more than pipes: a terminal, a folder, an environment, another user ----

inline constexpr uid_t kNobody = 65534;

// ketterlin-scan started by the test itself, on a pseudo-terminal (standard output and error both
// the terminal) or with pipes, in a chosen folder and environment, optionally as user nobody.
class HostProcess {
 public:
  struct Setup {
    std::vector<std::string> arguments;
    std::vector<std::string> environment;  // "NAME=value" sets, "NAME" unsets
    fs::path folder = fs::current_path();
    bool as_nobody = false;
    unsigned short terminal_columns = 0;  // 0: pipes, no terminal
  };

  explicit HostProcess(const Setup& setup) {
    std::vector<std::string> words = {KETTERLIN_SCAN_PATH};
    words.insert(words.end(), setup.arguments.begin(), setup.arguments.end());
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    if (setup.terminal_columns > 0) {
      winsize size{};
      size.ws_col = setup.terminal_columns;
      size.ws_row = 40;
      pid_ = forkpty(&out_fd_, nullptr, nullptr, &size);
    } else {
      EXPECT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
      EXPECT_EQ(pipe2(err_pipe, O_CLOEXEC), 0);
      pid_ = fork();
    }
    if (pid_ == 0) {
      if (setup.terminal_columns == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
      }
      for (const std::string& entry : setup.environment) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos) {
          unsetenv(entry.c_str());
        } else {
          setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
      }
      if (chdir(setup.folder.c_str()) != 0) _exit(120);
      if (setup.as_nobody &&
          (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
        _exit(121);
      }
      std::vector<char*> argv;
      for (std::string& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(122);
    }
    EXPECT_GT(pid_, 0);
    if (setup.terminal_columns == 0) {
      close(out_pipe[1]);
      close(err_pipe[1]);
      out_fd_ = out_pipe[0];
      err_fd_ = err_pipe[0];
    }
  }

  ~HostProcess() {
    if (pid_ > 0 && status_ == kRunning) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
  }

  pid_t pid() const { return pid_; }
  int terminal() const { return out_fd_; }
  // Standard output (on a terminal: everything the terminal showed) and standard error so far.
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

  // Reads until `text` has appeared in standard error (on a terminal: in the terminal's output)
  // or 30 s have passed; true when it appeared.
  bool read_until(std::string_view text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::string& watched = err_fd_ >= 0 ? err_ : out_;
    while (watched.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !read_some(100)) return false;
    }
    return true;
  }

  // Reads both outputs to their end and waits: the exit status, 128 + N when killed by signal N.
  int finish() {
    while (read_some(-1)) {
    }
    int wait_status = 0;
    EXPECT_EQ(waitpid(pid_, &wait_status, 0), pid_);
    status_ =
        WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status) + 1000;
    return status_;
  }

 private:
  static constexpr int kRunning = -1;

  // Waits up to `timeout_ms` for output; false once every output has ended.
  bool read_some(int timeout_ms) {
    std::vector<pollfd> watched;
    if (out_fd_ >= 0) watched.push_back({out_fd_, POLLIN, 0});
    if (err_fd_ >= 0) watched.push_back({err_fd_, POLLIN, 0});
    if (watched.empty()) return false;
    if (poll(watched.data(), watched.size(), timeout_ms) <= 0) return true;
    for (const pollfd& ready : watched) {
      if (ready.revents == 0) continue;
      char buffer[65536];
      const ssize_t count = read(ready.fd, buffer, sizeof buffer);
      int& fd = ready.fd == out_fd_ ? out_fd_ : err_fd_;
      if (count <= 0) {  // a terminal whose last user has gone gives EIO
        close(fd);
        fd = -1;
        continue;
      }
      (ready.fd == out_fd_ ? out_ : err_).append(buffer, static_cast<std::size_t>(count));
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int status_ = kRunning;
  std::string out_;
  std::string err_;
};

// The process whose parent is `parent`, looked for in /proc for up to 10 s; -1 when none.
inline pid_t child_of(pid_t parent) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream stat_file(entry.path() / "stat");
      std::string stat_line;
      std::getline(stat_file, stat_line);
      const std::size_t close_paren = stat_line.rfind(')');
      if (close_paren == std::string::npos) continue;
      std::istringstream fields(stat_line.substr(close_paren + 2));
      std::string state;
      pid_t ppid = 0;
      fields >> state >> ppid;
      if (ppid == parent) return static_cast<pid_t>(std::stoi(name));
    }
    usleep(5000);
  }
  return -1;
}

// A tree big enough that its scan is still running when the test acts: `folders` folders of
// 100 empty files each.
inline fs::path make_large_tree(const fs::path& base, int folders) {
  const fs::path root = base / "large";
  for (int f = 0; f < folders; ++f) {
    const fs::path folder = root / ("folder-" + std::to_string(f));
    fs::create_directories(folder);
    for (int i = 0; i < 100; ++i) {
      const int fd = open((folder / ("file-" + std::to_string(i))).c_str(),
                          O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      close(fd);
    }
  }
  return root;
}

inline bool folder_is_empty(const fs::path& folder) {
  return fs::directory_iterator(folder) == fs::directory_iterator();
}

// Whether the process `pid` is gone for good: not running, not stopped and not a zombie that
// nobody has reaped (a helper its host left behind would be adopted by the test as its
// subreaper, and stay visible here). Other short-lived processes, such as the sanitizer
// runtime's own helpers at exit, do not count.
inline bool process_gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace ketterlin::host::e2e
