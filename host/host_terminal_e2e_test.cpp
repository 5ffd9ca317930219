// ketterlin-scan end to end on a terminal, under signals and as another user: interrupts that
// must leave nothing behind, the report fitted to the terminal's width, colours and locale,
// the current folder as the default, and what an unprivileged user cannot measure.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/e2e_support.h"

namespace ketterlin::host {
namespace {

using namespace e2e;

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
    EXPECT_TRUE(process_gone(helper)) << "the helper was not reaped";
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
  EXPECT_TRUE(process_gone(helper)) << "the helper was not reaped";
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

}  // namespace
}  // namespace ketterlin::host
