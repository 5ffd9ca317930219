// ketterlin-scan end to end: the real host and helper binaries (or the fake helper) on real
// temporary folders, through a real socket; ncdu reads the export.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/child_process.h"

namespace ketterlin::host {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct ScanRun {
  int status = -1;  // -1 when the command did not exit normally
  std::string out;
  std::string err;
};

ScanRun run_scan(const std::vector<std::string>& arguments) {
  auto child = platform::ChildProcess::start({.program = KETTERLIN_SCAN_PATH,
                                              .arguments = arguments,
                                              .standard_input = platform::StreamSetup::Null,
                                              .standard_output = platform::StreamSetup::Pipe,
                                              .standard_error = platform::StreamSetup::Pipe});
  EXPECT_TRUE(child.has_value());
  if (!child) return {};
  auto output = child->wait_with_output(std::chrono::seconds(60));
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

void write_file(const fs::path& path, std::size_t bytes) {
  std::ofstream(path, std::ios::binary) << std::string(bytes, 'k');
}

Json read_json(const fs::path& path) {
  std::ifstream in(path);
  return Json::parse(in);
}

// A tree with nested folders, files of several sizes, an empty folder, a hard-link group of three
// across folders, a second group inside one folder, and two symbolic links.
fs::path make_sample(const fs::path& base) {
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

struct IndependentCount {
  uint64_t size_on_disk = 0;
  uint64_t logical = 0;
  uint64_t files = 0;
  uint64_t folders = 0;
  uint64_t links = 0;
};

// What lstat says about everything below `root`, each hard-linked file's size counted once.
IndependentCount count_with_lstat(const fs::path& root) {
  IndependentCount count;
  std::set<std::pair<dev_t, ino_t>> seen;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat status {};
    EXPECT_EQ(lstat(entry.path().c_str(), &status), 0);
    if (S_ISDIR(status.st_mode)) ++count.folders;
    if (S_ISLNK(status.st_mode)) ++count.links;
    if (!S_ISREG(status.st_mode)) continue;
    ++count.files;
    if (!seen.insert({status.st_dev, status.st_ino}).second) continue;
    count.size_on_disk += static_cast<uint64_t>(status.st_blocks) * 512;
    count.logical += static_cast<uint64_t>(status.st_size);
  }
  return count;
}

TEST(HostEndToEndTest, TotalsEqualAnIndependentCount) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  const fs::path json = folder.path() / "scan.json";
  const ScanRun run = run_scan({"--quiet", "--json", json.string(), root.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("Scanned " + root.string() + " in ", 0), 0u) << run.out;
  const Json document = read_json(json);
  const Json& target = document.at("targets").at(0);
  ASSERT_EQ(target.at("status"), "scanned");
  const IndependentCount expected = count_with_lstat(root);
  const Json& totals = target.at("totals");
  EXPECT_EQ(totals.at("sizeOnDiskBytes"), expected.size_on_disk);
  EXPECT_EQ(totals.at("logicalBytes"), expected.logical);
  EXPECT_EQ(totals.at("files"), expected.files);
  EXPECT_EQ(totals.at("folders"), expected.folders);
  EXPECT_EQ(totals.at("links"), expected.links);
  EXPECT_EQ(totals.at("hardLinkGroups"), 2);
  EXPECT_EQ(totals.at("unknownSpaceBytes"), nullptr);
  EXPECT_EQ(target.at("tree").at("sizeOnDiskBytes"), expected.size_on_disk);
  // The group of three counts at its least path, a/deep/linked-three: folder a holds it, b not.
  std::map<std::string, uint64_t> logical_of;
  for (const Json& child : target.at("tree").at("children")) {
    logical_of[child.at("name")] = child.at("logicalBytes");
  }
  EXPECT_EQ(logical_of["a"], 5000u + 70000 + 1 + 300000);
  EXPECT_EQ(logical_of["b"], 9000u);
}

TEST(HostEndToEndTest, WritesJsonToStandardOutputInsteadOfTheReport) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  const ScanRun run = run_scan({"--quiet", "--json", "-", root.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const Json document = Json::parse(run.out);
  EXPECT_EQ(document.at("root"), root.string());
  EXPECT_EQ(document.at("targets").at(0).at("tree").at("name"), root.string());
}

TEST(HostEndToEndTest, TopUpShowsAMissingTargetAsUnavailable) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  const fs::path json = folder.path() / "topup.json";
  const ScanRun run =
      run_scan({"--quiet", "--no-color", "--json", json.string(), "--top-up", root.string(),
                (root / "a").string(), (root / "missing").string(), (root / "b").string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find((root / "missing").string() + ": unavailable, does not exist\n"),
            std::string::npos)
      << run.out;
  const Json targets = read_json(json).at("targets");
  ASSERT_EQ(targets.size(), 3u);
  EXPECT_EQ(targets[0].at("status"), "scanned");
  EXPECT_EQ(targets[1].at("status"), "unavailable");
  EXPECT_EQ(targets[2].at("status"), "scanned");
  // Scanned alone, b holds the whole pair and its copy of the group of three.
  EXPECT_EQ(targets[2].at("totals").at("logicalBytes"), 9000 + 300000);
}

TEST(HostEndToEndTest, TopUpTakesRelativeTargetsBelowTheRootAndRefusesBadOnes) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  // Relative targets are below ROOT, whatever the working folder; a file says why it is skipped.
  const ScanRun run = run_scan(
      {"--quiet", "--no-color", "--top-up", root.string(), "a", "b", "top.txt", "nothing-here"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\n" + (root / "a").string() + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\n" + (root / "b").string() + "\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find((root / "top.txt").string() + ": unavailable, not a folder\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find((root / "nothing-here").string() + ": unavailable, does not exist\n"),
            std::string::npos)
      << run.out;
  struct Row {
    const char* name;
    std::vector<std::string> targets;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"outside the root",
       {"a", folder.path().string()},
       "ketterlin-scan: scan target is outside the requested root: " + folder.path().string() +
           "\n"},
      {"outside through ..",
       {"../"},
       "ketterlin-scan: scan target is outside the requested root: " + folder.path().string() +
           "\n"},
      {"repeated",
       {"a", "b", (root / "a").string()},
       "ketterlin-scan: scan target is repeated: " + (root / "a").string() + "\n"},
      {"repeated through a link",
       {"a", "to-a"},
       "ketterlin-scan: scan target is repeated: " + (root / "a").string() + "\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A helper that cannot start: the refusal comes before any helper.
    std::vector<std::string> arguments = {"--quiet", "--helper", "/no/such/helper", "--top-up",
                                          root.string()};
    arguments.insert(arguments.end(), row.targets.begin(), row.targets.end());
    const ScanRun refused = run_scan(arguments);
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, row.error);
  }
}

TEST(HostEndToEndTest, ReportsTheHelpersFailure) {
  TemporaryFolder folder;
  write_file(folder.path() / "plain-file", 3);
  for (const fs::path& root : {folder.path() / "does-not-exist", folder.path() / "plain-file"}) {
    SCOPED_TRACE(root.string());
    const ScanRun run = run_scan({"--quiet", root.string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("ketterlin-scan: the helper failed: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(" (exited with 1)\n"), std::string::npos) << run.err;
  }
}

// A helper that misbehaves is an error with its own words, never a partial success.
TEST(HostEndToEndTest, ReportsAHelperThatMisbehaves) {
  TemporaryFolder folder;
  struct Row {
    const char* mode;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"exit-before-connect", "the helper exited with 4 before connecting: fake helper refuses\n"},
      {"partial", "the helper exited with 0 without completing the scan\n"},
      {"killed", "the helper killed by 9 without completing the scan\n"},
      {"garbage", "malformed message from the helper on line 2: parse error"},
      {"out-of-order",
       "protocol error from the helper on line 1: node for target 0 outside its tree\n"},
      {"complete-nonzero", "the helper exited with 3 after completing the scan: late trouble\n"},
      {"unterminated", "the helper's output ended inside a line (exited with 0)\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    setenv("KETTERLIN_FAKE_HELPER_MODE", row.mode, 1);
    const auto started = std::chrono::steady_clock::now();
    const ScanRun run =
        run_scan({"--quiet", "--helper", KETTERLIN_FAKE_HELPER_PATH, folder.path().string()});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("ketterlin-scan: " + row.error, 0), 0u) << run.err;
  }
  unsetenv("KETTERLIN_FAKE_HELPER_MODE");
}

// For the root of a mounted file system the request carries the volume's facts, and the report
// shows what the listed files do not explain as Unknown Space.
TEST(HostEndToEndTest, SendsVolumeFactsForAVolumeRootAndShowsUnknownSpace) {
  TemporaryFolder folder;
  const fs::path record = folder.path() / "request.json";
  setenv("KETTERLIN_FAKE_HELPER_MODE", "record", 1);
  setenv("KETTERLIN_FAKE_HELPER_RECORD", record.c_str(), 1);
  struct statvfs volume {};
  ASSERT_EQ(statvfs("/", &volume), 0);
  const uint64_t used = (static_cast<uint64_t>(volume.f_blocks) - volume.f_bfree) * volume.f_frsize;
  const ScanRun root_run =
      run_scan({"--quiet", "--no-color", "--helper", KETTERLIN_FAKE_HELPER_PATH, "/"});
  ASSERT_EQ(root_run.status, 0) << root_run.err;
  const Json request = read_json(record).at("request");
  EXPECT_EQ(request.at("mode"), "fullRoot");
  EXPECT_EQ(request.at("root"), "/");
  EXPECT_EQ(request.at("targets"), Json::array({"/"}));
  const uint64_t sent = request.at("volume").at("usedBytes");
  EXPECT_NEAR(static_cast<double>(sent), static_cast<double>(used), 256.0 * 1024 * 1024);
  EXPECT_TRUE(request.at("volume").at("fileSystem").is_string());
  EXPECT_NE(root_run.out.find("  Unknown Space "), std::string::npos) << root_run.out;
  // The fake helper sends "/" alone: the folders' own blocks are those of "/".
  struct stat root_status {};
  ASSERT_EQ(lstat("/", &root_status), 0);
  if (root_status.st_blocks == 8) {
    EXPECT_NE(root_run.out.find("folders' own blocks 4.0 KiB of it"), std::string::npos)
        << root_run.out;
  }

  // An ordinary folder is no volume root: no volume, no Unknown Space.
  const ScanRun folder_run =
      run_scan({"--quiet", "--helper", KETTERLIN_FAKE_HELPER_PATH, folder.path().string()});
  ASSERT_EQ(folder_run.status, 0) << folder_run.err;
  EXPECT_EQ(read_json(record).at("request").at("volume"), nullptr);
  EXPECT_EQ(folder_run.out.find("Unknown Space"), std::string::npos);
  unsetenv("KETTERLIN_FAKE_HELPER_MODE");
  unsetenv("KETTERLIN_FAKE_HELPER_RECORD");
}

// ncdu loads the export: its own re-export lists the same entries with the same sizes.
TEST(HostEndToEndTest, NcduLoadsTheExport) {
  if (access("/usr/bin/ncdu", X_OK) != 0) GTEST_SKIP() << "ncdu is not installed";
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  const fs::path ours = folder.path() / "scan.ncdu";
  const fs::path again = folder.path() / "again.json";
  ASSERT_EQ(run_scan({"--quiet", "--ncdu", ours.string(), root.string()}).status, 0);
  auto ncdu =
      platform::ChildProcess::start({.program = "/usr/bin/ncdu",
                                     .arguments = {"-f", ours.string(), "-o", again.string()},
                                     .standard_input = platform::StreamSetup::Null,
                                     .standard_output = platform::StreamSetup::Pipe,
                                     .standard_error = platform::StreamSetup::Pipe});
  ASSERT_TRUE(ncdu.has_value());
  auto output = ncdu->wait_with_output(std::chrono::seconds(60));
  ASSERT_TRUE(output.has_value());
  ASSERT_EQ(output->status, platform::ExitStatus{}) << output->standard_error;
  // Every entry by its path with its sizes, from either file.
  std::function<void(const Json&, const std::string&, std::map<std::string, std::string>&)> walk =
      [&walk](const Json& item, const std::string& parent,
              std::map<std::string, std::string>& out) {
        const Json& info = item.is_array() ? item[0] : item;
        const std::string path = parent.empty() ? std::string(info.at("name"))
                                                : parent + "/" + std::string(info.at("name"));
        out[path] = std::to_string(info.value("asize", 0)) + "/" +
                    std::to_string(info.value("dsize", 0)) +
                    (info.value("hlnkc", false) ? " h" : "") + (item.is_array() ? " dir" : "");
        if (item.is_array()) {
          for (std::size_t i = 1; i < item.size(); ++i) walk(item[i], path, out);
        }
      };
  std::map<std::string, std::string> written;
  std::map<std::string, std::string> loaded;
  walk(read_json(ours).at(3), "", written);
  walk(read_json(again).at(3), "", loaded);
  EXPECT_EQ(loaded, written);
  const IndependentCount count = count_with_lstat(root);
  EXPECT_EQ(written.size(), count.files + count.folders + count.links + 1);
  struct stat linked {};
  ASSERT_EQ(lstat((root / "b" / "linked").c_str(), &linked), 0);
  EXPECT_EQ(written[root.string() + "/b/linked"],
            "300000/" + std::to_string(static_cast<uint64_t>(linked.st_blocks) * 512) + " h");
}

TEST(HostEndToEndTest, WritesPlainProgressLinesWhenStandardErrorIsNoTerminal) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  const ScanRun run = run_scan({root.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(run.err.find('\r'), std::string::npos);
  EXPECT_EQ(run.err.find("\x1b["), std::string::npos);
  EXPECT_EQ(run.err.back(), '\n');
  std::istringstream lines(run.err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.find(" names, "), std::string::npos) << line;
    EXPECT_LE(line.size(), 120u);
  }
  // Standard output is no terminal either: no colours.
  EXPECT_EQ(run.out.find("\x1b["), std::string::npos);
}

TEST(HostEndToEndTest, AnswersHelpVersionAndUsageErrors) {
  struct Row {
    std::vector<std::string> arguments;
    int status;
    std::string out_start;
    std::string err_start;
  };
  const std::vector<Row> rows = {
      {{"--version"}, 0, "ketterlin-scan 0.1.0\n", ""},
      {{"--help"}, 0, "usage: ketterlin-scan [options] [PATH]\n", ""},
      {{"-V"}, 0, "ketterlin-scan 0.1.0\n", ""},
      {{"--frobnicate", "/"},
       2,
       "",
       "ketterlin-scan: unknown option --frobnicate\ntry 'ketterlin-scan --help'\n"},
  };
  for (const Row& row : rows) {
    const ScanRun run = run_scan(row.arguments);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.out.substr(0, row.out_start.size()), row.out_start);
    EXPECT_EQ(run.err.substr(0, row.err_start.size()), row.err_start);
    if (row.status == 2) {
      EXPECT_EQ(run.err, row.err_start);
    }
  }
  const ScanRun help = run_scan({"--help"});
  EXPECT_NE(help.out.find("Mounted file systems are never crossed"), std::string::npos);
  EXPECT_NE(help.out.find("-d, --depth N"), std::string::npos);
}

// ---- Runs that need more than pipes: a terminal, a folder, an environment, another user ----

constexpr uid_t kNobody = 65534;

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
pid_t child_of(pid_t parent) {
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
fs::path make_large_tree(const fs::path& base, int folders) {
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

bool folder_is_empty(const fs::path& folder) {
  return fs::directory_iterator(folder) == fs::directory_iterator();
}

// Whether any child of this process is left (this process adopts orphans while the signal tests
// run, so a helper its host left behind would show here).
bool no_child_left() {
  int wait_status = 0;
  const pid_t found = waitpid(-1, &wait_status, WNOHANG);
  return found < 0 && errno == ECHILD;
}

// Interrupts: SIGINT, SIGTERM and SIGHUP during the scan of a large tree, while the host waits for
// the helper's lines (the helper stopped, so that the scan cannot end first), and Ctrl-C typed on
// the terminal. Each leaves no socket folder, no helper, a restored terminal, and 128 + N.
class InterruptTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TemporaryFolder;
    tree_ = make_large_tree(folder_->path(), 100);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  static void TearDownTestSuite() {
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    delete folder_;
  }
  static TemporaryFolder* folder_;
  static fs::path tree_;
};
TemporaryFolder* InterruptTest::folder_ = nullptr;
fs::path InterruptTest::tree_;

TEST_F(InterruptTest, EveryWayOutCleansUp) {
  struct Row {
    const char* name;
    int signal_number;
    bool stop_helper_first;
  };
  for (const Row row :
       {Row{"SIGINT while reading", SIGINT, true}, Row{"SIGTERM while reading", SIGTERM, true},
        Row{"SIGHUP while reading", SIGHUP, true},
        Row{"SIGTERM while the helper runs", SIGTERM, false}}) {
    SCOPED_TRACE(row.name);
    TemporaryFolder sockets;
    const fs::path json = folder_->path() / "kept.json";
    std::ofstream(json) << "earlier";
    HostProcess host({.arguments = {"--json", json.string(), tree_.string()},
                      .environment = {"TMPDIR=" + sockets.path().string()}});
    // The helper is looked up first, so that it can be stopped the moment progress arrives.
    const pid_t helper = child_of(host.pid());
    ASSERT_GT(helper, 0);
    ASSERT_TRUE(host.read_until(" names, ")) << host.err();
    if (row.stop_helper_first) {
      ASSERT_EQ(kill(helper, SIGSTOP), 0);
    }
    ASSERT_EQ(kill(host.pid(), row.signal_number), 0);
    EXPECT_EQ(host.finish(), 128 + row.signal_number) << host.err();
    EXPECT_TRUE(folder_is_empty(sockets.path()));
    EXPECT_TRUE(no_child_left()) << "the helper was not reaped";
    EXPECT_EQ(host.out(), "");
    // The export that was there is untouched, and no temporary file is left beside it.
    std::ifstream kept(json);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "earlier");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_->path()), fs::directory_iterator()), 2);
  }
}

TEST_F(InterruptTest, CtrlCOnTheTerminalRestoresIt) {
  TemporaryFolder sockets;
  HostProcess host({.arguments = {tree_.string()},
                    .environment = {"TMPDIR=" + sockets.path().string(), "LC_ALL=C.UTF-8"},
                    .terminal_columns = 80});
  const pid_t helper = child_of(host.pid());
  ASSERT_GT(helper, 0);
  ASSERT_TRUE(host.read_until(" names, ")) << host.out();
  ASSERT_EQ(kill(helper, SIGSTOP), 0);
  ASSERT_EQ(write(host.terminal(), "\x03", 1), 1);  // the terminal sends SIGINT to the group
  EXPECT_EQ(host.finish(), 130);
  EXPECT_TRUE(folder_is_empty(sockets.path()));
  EXPECT_TRUE(no_child_left());
  // The cursor was hidden with the first progress line; the line is cleared and the cursor shown
  // again at the end, and nothing but the echoed ^C follows.
  const std::string& shown = host.out();
  EXPECT_NE(shown.find("\x1b[?25l"), std::string::npos);
  const std::size_t restored = shown.rfind("\r\x1b[K\x1b[?25h");
  ASSERT_NE(restored, std::string::npos) << shown;
  EXPECT_EQ(shown.find("names, ", restored), std::string::npos);
}

TEST(HostEndToEndTest, FitsTheTerminalAndHonoursColourAndLocale) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  const fs::path deep = root / std::string(70, 'x') / std::string(70, 'y');
  fs::create_directories(deep);
  write_file(deep / (std::string(80, 'z') + ".bin"), 100000);
  struct Row {
    const char* name;
    unsigned short columns;
    std::vector<std::string> environment;
    bool colours;
    bool unicode;
  };
  const std::vector<Row> rows = {
      {"UTF-8 terminal", 120, {"LC_ALL=C.UTF-8", "NO_COLOR", "TERM=xterm"}, true, true},
      {"NO_COLOR", 100, {"LC_ALL=C.UTF-8", "NO_COLOR=", "TERM=xterm"}, false, true},
      {"dumb terminal", 80, {"LC_ALL=C.UTF-8", "NO_COLOR", "TERM=dumb"}, false, true},
      {"locale not UTF-8", 60, {"LC_ALL=C", "NO_COLOR", "TERM=xterm"}, true, false},
      {"narrow", 60, {"LC_ALL=C.UTF-8", "NO_COLOR", "TERM=xterm"}, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HostProcess host({.arguments = {"--depth", "3", root.string()},
                      .environment = row.environment,
                      .terminal_columns = row.columns});
    ASSERT_EQ(host.finish(), 0) << host.out();
    const std::string& shown = host.out();
    const std::size_t report = shown.find("Scanned ");
    ASSERT_NE(report, std::string::npos) << shown;
    EXPECT_EQ(shown.find("\x1b[3") != std::string::npos, row.colours) << shown;
    EXPECT_EQ(shown.find("└── ") != std::string::npos, row.unicode) << shown;
    if (!row.unicode) {
      for (const unsigned char byte : shown.substr(report)) EXPECT_LT(byte, 0x80);
    }
    // Every report line fits below the width (colour codes take no columns).
    std::istringstream lines(shown.substr(report));
    for (std::string line; std::getline(lines, line);) {
      std::string visible;
      for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\x1b') {
          i = line.find('m', i);
          if (i == std::string::npos) break;
          continue;
        }
        if (line[i] == '\r') continue;
        // Count columns: every byte that starts a UTF-8 character.
        if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) visible += 'c';
      }
      EXPECT_LT(visible.size(), row.columns) << line;
    }
    // The root line's bar (100 %): 20 cells on a wide terminal, fewer at 80 columns and below.
    const std::size_t root_line = shown.find(" 100% ", report);
    ASSERT_NE(root_line, std::string::npos);
    std::size_t cells = 0;
    for (std::size_t i = root_line + 6; i < shown.size() && shown.compare(i, 2, "  ") != 0; ++i) {
      if (shown[i] == '\x1b') {
        i = shown.find('m', i);
        continue;
      }
      if ((static_cast<unsigned char>(shown[i]) & 0xC0) != 0x80) ++cells;
    }
    if (row.columns > 100) {
      EXPECT_EQ(cells, 20u);
    }
    if (row.columns <= 80) {
      EXPECT_LT(cells, 20u);
    }
  }
}

TEST(HostEndToEndTest, ScansTheCurrentFolderWhenNoPathIsGiven) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  HostProcess host({.arguments = {"--quiet", "--json", "-"}, .environment = {}, .folder = root});
  ASSERT_EQ(host.finish(), 0) << host.err();
  EXPECT_EQ(Json::parse(host.out()).at("root"), root.string());
}

TEST(HostEndToEndTest, RefusesAnExportItCannotWriteBeforeScanning) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  const fs::path missing = folder.path() / "no-such-folder" / "x.json";
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"folder missing",
       {"--json", missing.string()},
       "ketterlin-scan: cannot write " + missing.string() + ": No such file or directory"},
      {"a folder as the file",
       {"--ncdu", root.string()},
       "ketterlin-scan: cannot write " + root.string() + ": it is a folder\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A helper that cannot start proves that none was started: that would be status 1.
    std::vector<std::string> arguments = row.arguments;
    arguments.insert(arguments.end(), {"--helper", "/no/such/helper", root.string()});
    const ScanRun run = run_scan(arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.substr(0, row.error.size()), row.error);
  }
  // A scan that fails leaves the file that was there as it was, and nothing beside it.
  const fs::path kept = folder.path() / "kept.json";
  std::ofstream(kept) << "earlier";
  const ScanRun failed =
      run_scan({"--quiet", "--json", kept.string(), (folder.path() / "gone").string()});
  EXPECT_EQ(failed.status, 1);
  std::ifstream in(kept);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "earlier");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 2);
  // A scan that succeeds replaces it, keeping its permissions; through a link, the file the link
  // names is replaced and the link stays.
  fs::permissions(kept, fs::perms(0600));
  const fs::path link = folder.path() / "link.json";
  fs::create_symlink(kept, link);
  const ScanRun replaced = run_scan({"--quiet", "--json", link.string(), root.string()});
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_EQ(read_json(kept).at("root"), root.string());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::status(kept).permissions(), fs::perms(0600));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 3);
}

// What an unprivileged user cannot measure is marked and counted, and the report says how to
// measure it; a root it cannot read fails with the same advice. Run as nobody when the tests run
// as root (root reads everything).
TEST(HostEndToEndTest, MarksWhatThisUserCannotMeasure) {
  if (geteuid() != 0 && getuid() != 0) GTEST_SKIP() << "needs root to become another user";
  TemporaryFolder folder;
  fs::permissions(folder.path(), fs::perms(0755));
  const fs::path root = folder.path() / "tree";
  fs::create_directories(root / "listable" / "inner");
  write_file(root / "listable" / "seen-not-measured", 5000);
  write_file(root / "plain", 3000);
  fs::create_directories(root / "closed");
  write_file(root / "closed" / "hidden", 10);
  fs::permissions(root / "listable", fs::perms(0644));
  fs::permissions(root / "closed", fs::perms(0700));
  HostProcess host({.arguments = {"--quiet", "--no-color", root.string()},
                    .environment = {"TMPDIR=/tmp"},
                    .as_nobody = true});
  ASSERT_EQ(host.finish(), 0) << host.err();
  const std::string& report = host.out();
  EXPECT_NE(report.find("seen-not-measured [!] not measured\n"), std::string::npos) << report;
  EXPECT_NE(report.find("closed [restricted]\n"), std::string::npos) << report;
  EXPECT_NE(report.find("2 restricted, 1 not measured"), std::string::npos) << report;
  EXPECT_EQ(report.substr(report.size() - 58),
            "\nrun with --elevate to measure what this user cannot read\n");

  HostProcess exported({.arguments = {"--quiet", "--json", "-", root.string()},
                        .environment = {"TMPDIR=/tmp"},
                        .as_nobody = true});
  ASSERT_EQ(exported.finish(), 0) << exported.err();
  const Json totals = Json::parse(exported.out()).at("targets").at(0).at("totals");
  EXPECT_EQ(totals.at("restricted"), 2);
  EXPECT_EQ(totals.at("unmeasured"), 1);

  HostProcess unreadable({.arguments = {"--quiet", (root / "closed").string()},
                          .environment = {"TMPDIR=/tmp"},
                          .as_nobody = true});
  EXPECT_EQ(unreadable.finish(), 1);
  EXPECT_NE(unreadable.err().find("the helper failed"), std::string::npos) << unreadable.err();
  EXPECT_NE(unreadable.err().find("run with --elevate"), std::string::npos) << unreadable.err();
}

TEST(HostEndToEndTest, NamesTheFileSystemTheHelperCallsOther) {
  struct statfs shm {};
  if (statfs("/dev/shm", &shm) != 0 || shm.f_type != 0x01021994) {
    GTEST_SKIP() << "/dev/shm is no tmpfs";
  }
  std::string pattern = "/dev/shm/ketterlin-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path root = make_sample(pattern);
  const ScanRun run = run_scan({"--quiet", root.string()});
  std::error_code ignored;
  fs::remove_all(pattern, ignored);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(", file system tmpfs\n"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace ketterlin::host
