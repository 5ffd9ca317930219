// ketterlin-scan --browse end to end: the real binaries in a tmux pane (a private tmux server),
// driven with send-keys and read back with capture-pane. Skipped only when tmux is missing.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/e2e_support.h"
#include "platform/child_process.h"

namespace ketterlin::host {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path == nullptr ? "" : path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    const fs::path candidate = fs::path(folder) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return std::nullopt;
}

using Outcome = e2e::ScanRun;
using e2e::run_program;

class BrowserEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto tmux = find_on_path("tmux");
    if (!tmux) GTEST_SKIP() << "tmux is not installed";
    tmux_ = *tmux;
    unsetenv("TMUX");  // a test run from inside tmux still starts its own server
    std::string pattern = (fs::temp_directory_path() / "ketterlin-browse-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = fs::canonical(pattern);
    socket_ = "ketterlin-browse-test-" + std::to_string(getpid());
    root_ = base_ / "tree";
    // Orders by size and by name differ: big is the largest folder, zz.bin the largest file.
    fs::create_directories(root_ / "big");
    fs::create_directories(root_ / "small");
    write_file(root_ / "aaa.txt", 1);
    write_file(root_ / "big" / "zz.bin", 256 * 1024);
    write_file(root_ / "big" / "mm.bin", 64 * 1024);
    write_file(root_ / "big" / "aa.txt", 1);
    write_file(root_ / "small" / "s.txt", 1);
    write_file(root_ / "top.txt", 1);
  }

  void TearDown() override {
    if (tmux_.empty()) return;
    const Outcome socket =
        run_program(tmux_, {"-L", socket_, "display-message", "-p", "#{socket_path}"});
    run_program(tmux_, {"-L", socket_, "kill-server"});
    // The server leaves its socket file behind when it is killed.
    std::error_code ignored;
    if (socket.status == 0) fs::remove(socket.out.substr(0, socket.out.find('\n')), ignored);
    fs::remove_all(base_, ignored);
  }

  static void write_file(const fs::path& path, std::size_t bytes) {
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'k');
  }

  // Starts `arguments` of ketterlin-scan in a new 80x24 pane; the shell then prints the status
  // and waits, so that the screen after the browser can be read.
  void start(const std::string& session, const std::string& arguments) {
    const std::string command = std::string("'") + KETTERLIN_SCAN_PATH + "' " + arguments +
                                "; echo browser-status=$?; sleep 600";
    const Outcome started =
        run_program(tmux_, {"-L", socket_, "-f", "/dev/null", "new-session", "-d", "-s", session,
                            "-x", "80", "-y", "24", command});
    ASSERT_EQ(started.status, 0) << started.err;
    session_ = session;
  }

  std::vector<std::string> screen() {
    const Outcome captured =
        run_program(tmux_, {"-L", socket_, "capture-pane", "-p", "-J", "-t", session_});
    std::vector<std::string> lines;
    std::istringstream in(captured.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // Waits until the screen passes `test`; returns the screen.
  template <typename Test>
  std::vector<std::string> wait_until(Test test, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<std::string> lines;
    while (std::chrono::steady_clock::now() < deadline) {
      lines = screen();
      if (test(lines)) return lines;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string shown;
    for (const std::string& line : lines) shown += line + "\n";
    ADD_FAILURE() << "no " << what << " on the screen:\n" << shown;
    return lines;
  }

  // Waits until some line of the screen holds `text`.
  std::vector<std::string> wait_for(const std::string& text) {
    return wait_until(
        [&text](const std::vector<std::string>& lines) {
          return std::any_of(lines.begin(), lines.end(), [&text](const std::string& line) {
            return line.find(text) != std::string::npos;
          });
        },
        "\"" + text + "\"");
  }

  // Waits until some line holds `text` and the rows holding `names` read `expected`: the
  // terminal may show a heading before the rows under it are drawn.
  std::vector<std::string> wait_for_rows(const std::string& text,
                                         const std::vector<std::string>& names,
                                         const std::vector<std::string>& expected) {
    return wait_until(
        [&](const std::vector<std::string>& lines) {
          return order(lines, names) == expected &&
                 std::any_of(lines.begin(), lines.end(), [&text](const std::string& line) {
                   return line.find(text) != std::string::npos;
                 });
        },
        "\"" + text + "\" with the rows in order");
  }

  void keys(const std::vector<std::string>& names) {
    std::vector<std::string> arguments = {"-L", socket_, "send-keys", "-t", session_};
    arguments.insert(arguments.end(), names.begin(), names.end());
    ASSERT_EQ(run_program(tmux_, arguments).status, 0);
  }

  // The listing's rows (below the two heading lines), without the bottom bar.
  static std::vector<std::string> rows_of(const std::vector<std::string>& lines) {
    if (lines.size() < 3) return {};
    return {lines.begin() + 2, lines.end() - 1};
  }

  // The names of the rows that hold one of `names`, in screen order; "*" before the cursor's.
  static std::vector<std::string> order(const std::vector<std::string>& lines,
                                        const std::vector<std::string>& names) {
    std::vector<std::string> found;
    for (const std::string& line : rows_of(lines)) {
      for (const std::string& name : names) {
        if (line.find("  " + name) != std::string::npos) {
          found.push_back((line.starts_with(">") ? "*" : "") + name);
        }
      }
    }
    return found;
  }

  std::string tmux_;
  std::string socket_;
  std::string session_;
  fs::path base_;
  fs::path root_;
};

TEST_F(BrowserEndToEndTest, OpensSortsGoesBackResizesAndQuits) {
  start("walk", "--browse '" + root_.string() + "'");
  const std::vector<std::string> names = {"aaa.txt", "big/", "small/", "top.txt"};
  auto lines = wait_for_rows("--- " + root_.string() + " ", names,
                             {"*big/", "aaa.txt", "small/", "top.txt"});
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_NE(lines[0].find("size on disk | size, largest first"), std::string::npos) << lines[0];

  keys({"Enter"});
  const std::vector<std::string> files = {"zz.bin", "mm.bin", "aa.txt"};
  wait_for_rows("--- " + (root_ / "big").string() + " ", files, {"*zz.bin", "mm.bin", "aa.txt"});

  keys({"n"});
  // The cursor stays on its entry.
  wait_for_rows("name, A to Z", files, {"aa.txt", "mm.bin", "*zz.bin"});

  keys({"Left"});
  // Back on the folder left, the order by name kept.
  wait_for_rows("--- " + root_.string() + " ", names, {"aaa.txt", "*big/", "small/", "top.txt"});

  ASSERT_EQ(
      run_program(tmux_, {"-L", socket_, "resize-window", "-t", session_, "-x", "120", "-y", "40"})
          .status,
      0);
  lines = wait_until(
      [](const std::vector<std::string>& shown) {
        return shown.size() == 40 && shown[39].starts_with(" on disk ");
      },
      "40 lines with the bottom bar last");
  EXPECT_EQ(lines[0].size(), 120u);
  EXPECT_TRUE(lines[0].ends_with("?: keys ")) << lines[0];
  EXPECT_EQ(lines[1].size(), 120u) << "the heading's dashes reach the last column";
  EXPECT_EQ(lines[2].find(']') - lines[2].find('['), 21u) << "a bar of 20 cells: " << lines[2];

  keys({"?"});
  wait_for("| any key closes this box");
  keys({"x", "d"});
  wait_for("deleting is off: start ketterlin-scan with --allow-delete to delete with d");
  keys({"q"});
  lines = wait_for("browser-status=0");
  EXPECT_EQ(lines[0], "browser-status=0")
      << "the terminal's own screen is back, without the browser's lines";
  EXPECT_TRUE(fs::exists(root_ / "big"));
}

TEST_F(BrowserEndToEndTest, DeletesAfterConfirmationAndEndsOnASignal) {
  start("delete", "--browse --allow-delete '" + root_.string() + "'");
  wait_for("--- " + root_.string() + " ");
  keys({"Enter"});
  wait_for("--- " + (root_ / "big").string() + " ");
  keys({"d"});
  wait_for("y: delete (this cannot be undone)");
  keys({"y"});
  auto lines = wait_for_rows("deleted " + (root_ / "big" / "zz.bin").string() + " (",
                             {"zz.bin", "mm.bin", "aa.txt"}, {"*mm.bin", "aa.txt"});
  EXPECT_FALSE(fs::exists(root_ / "big" / "zz.bin"));
  EXPECT_TRUE(fs::exists(root_ / "big" / "mm.bin"));
  keys({"C-c"});
  lines = wait_for("browser-status=130");
  EXPECT_EQ(lines[0], "browser-status=130");

  // SIGTERM from elsewhere: the browser is the pane's shell's only child.
  start("terminate", "--browse '" + root_.string() + "'");
  wait_for("--- " + root_.string() + " ");
  const Outcome shell =
      run_program(tmux_, {"-L", socket_, "display-message", "-p", "-t", session_, "#{pane_pid}"});
  const std::string pid = shell.out.substr(0, shell.out.find('\n'));
  std::ifstream children("/proc/" + pid + "/task/" + pid + "/children");
  pid_t browser = 0;
  ASSERT_TRUE(children >> browser) << "no child of the pane's shell " << pid;
  ASSERT_EQ(kill(browser, SIGTERM), 0);
  lines = wait_for("browser-status=143");
  EXPECT_EQ(lines[0], "browser-status=143");
}

TEST_F(BrowserEndToEndTest, BrowsesASavedDocumentReadOnlyAndRefusesABadOne) {
  const fs::path saved = base_ / "scan.json";
  const Outcome scanned =
      run_program(KETTERLIN_SCAN_PATH, {"--quiet", "--json", saved.string(), root_.string()});
  ASSERT_EQ(scanned.status, 0) << scanned.err;
  fs::remove_all(root_);  // the document alone is browsed

  start("saved", "--browse --load '" + saved.string() + "'");
  auto lines = wait_for_rows("(loaded, read-only)", {"aaa.txt", "big/", "small/", "top.txt"},
                             {"*big/", "aaa.txt", "small/", "top.txt"});
  EXPECT_NE(lines[0].find("loaded " + saved.string()), std::string::npos) << lines[0];
  keys({"d"});
  wait_for("a loaded document cannot be changed: deleting works only on a scan just taken");
  keys({"q"});
  wait_for("browser-status=0");

  const fs::path bad = base_ / "bad.json";
  std::ofstream(bad) << R"({"program":"ketterlin-scan","mode":"fullRoot","targets":[)";
  start("bad", "--browse --load '" + bad.string() + "'");
  lines = wait_for("browser-status=1");
  EXPECT_EQ(lines[0], "ketterlin-scan: cannot load " + bad.string() +
                          ": not JSON: parse error at line 1, column 58: syntax error while "
                          "parsing value - unexpected end of input; expected '[', '{', or a "
                          "literal");
}

// No tmux needed: standard input is /dev/null and the output goes to pipes. Nothing is scanned.
TEST(BrowserWithoutTerminalTest, RefusesBeforeScanning) {
  const Outcome refused = run_program(KETTERLIN_SCAN_PATH, {"--browse", "/"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err,
            "ketterlin-scan: --browse needs a terminal on standard input and standard output\n");
  EXPECT_EQ(refused.out, "");
}

}  // namespace
}  // namespace ketterlin::host
