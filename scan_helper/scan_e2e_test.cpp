// The real helper binary scanning real folders through a real socket; every node that arrives is
// checked against what the system says about its entry.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/os_error.h"
#include "scan_helper/disk_tree_testing_posix.h"
#include "scan_helper/message_testing.h"
#include "scan_helper/test_host.h"

namespace ketterlin::platform {
void PrintTo(const ExitStatus& status, std::ostream* out) { *out << debug_string(status); }
}  // namespace ketterlin::platform

namespace ketterlin::helper::testing {
namespace {

using platform::ExitStatus;

constexpr const char* kHelperPath = KETTERLIN_SCAN_HELPER_PATH;
constexpr auto kTimeLimit = std::chrono::seconds(30);

// Sanitizer runtimes reserve terabytes of shadow address space, so address-space limits do not
// apply to those builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
const ExitStatus kSucceeded{ExitStatus::Kind::Exited, 0};
const ExitStatus kFailed{ExitStatus::Kind::Exited, 1};
// The user an unprivileged helper runs as when the tests run as root.
constexpr uint32_t kNobody = 65534;

// One request line.
std::string scan_request(const std::string& mode, const std::string& root,
                         const std::vector<std::string>& targets, const Json& volume = nullptr) {
  const Json request = {
      {"type", "scan"},
      {"request", {{"mode", mode}, {"root", root}, {"targets", targets}, {"volume", volume}}}};
  return request.dump() + "\n";
}

std::string restricted_request(const std::string& root, const std::vector<std::string>& targets) {
  return scan_request("restrictedTopUp", root, targets);
}

// The part of `received` made of whole lines.
std::string_view whole_lines(std::string_view received) {
  const std::size_t last_line_feed = received.rfind('\n');
  return last_line_feed == std::string_view::npos ? std::string_view()
                                                  : received.substr(0, last_line_feed + 1);
}

class ScanEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    auto host = TestHost::create();
    ASSERT_TRUE(host.has_value()) << host.error();
    host_.emplace(std::move(*host));
    ASSERT_FALSE(tree_.path().empty());
  }

  // Runs the helper on `request`; the whole lines it sent are parsed into messages_.
  HostRun run(const std::string& request, HostScript script = {}) {
    script.request = request;
    auto outcome = host_->run(kHelperPath, {"--pipe", host_->socket_path()}, script, kTimeLimit);
    if (!outcome) {
      ADD_FAILURE() << outcome.error();
      return HostRun{};
    }
    EXPECT_FALSE(outcome->timed_out);
    EXPECT_EQ(outcome->standard_output, "") << "nothing is ever written to standard output";
    messages_ = parse_messages(whole_lines(outcome->received));
    return std::move(*outcome);
  }

  // A run that ended with "complete" and status 0, having sent whole lines only.
  void expect_completed(const HostRun& run) {
    EXPECT_EQ(run.status, kSucceeded) << run.standard_error;
    EXPECT_EQ(run.standard_error, "");
    EXPECT_TRUE(!run.received.empty() && run.received.back() == '\n') << "whole lines only";
    ASSERT_FALSE(messages_.empty());
    EXPECT_EQ(messages_.back(), Json({{"type", "complete"}}));
  }

  // The counters of the last progress message of target `index`.
  Json final_counts(int64_t index) {
    const std::vector<Json> events = progress_of(messages_, index);
    if (events.empty()) return nullptr;
    const Json& last = events.back();
    return {{"filesDiscovered", last["filesDiscovered"]},
            {"foldersDiscovered", last["foldersDiscovered"]},
            {"bytesMeasured", last["bytesMeasured"]},
            {"inaccessibleItemCount", last["inaccessibleItemCount"]}};
  }

  // Makes later helpers run without the rights of root: as the user nobody (through setpriv)
  // when the tests run as root, as the tests' own user otherwise. Returns the reason when that
  // cannot be done.
  // `then`: a program and its leading arguments to start the helper through after that (as that
  // user).
  std::optional<std::string> run_helper_unprivileged(const std::vector<std::string>& then = {}) {
    if (geteuid() != 0) {
      if (!then.empty()) host_->start_through(then);
      return std::nullopt;
    }
    std::string setpriv;
    for (const char* candidate : {"/usr/bin/setpriv", "/bin/setpriv"}) {
      if (access(candidate, X_OK) == 0) setpriv = candidate;
    }
    if (setpriv.empty()) return "running as root without setpriv: no unprivileged user to scan as";
    const std::vector<std::string> wrapper = {setpriv, "--reuid=" + std::to_string(kNobody),
                                              "--regid=" + std::to_string(kNobody),
                                              "--clear-groups"};
    // Some sandboxes keep even root from changing its user.
    std::vector<std::string> probe(wrapper.begin() + 1, wrapper.end());
    probe.push_back("/bin/true");
    auto child = platform::ChildProcess::start({.program = setpriv, .arguments = probe});
    if (!child) return "setpriv cannot be started: " + platform::to_string(child.error());
    auto probed = child->wait_with_output(kTimeLimit);
    if (!probed || probed->status != kSucceeded) return "setpriv cannot change the user here";
    auto granted = host_->grant_access(kNobody, kNobody);
    if (!granted) return granted.error();
    std::vector<std::string> full = wrapper;
    full.insert(full.end(), then.begin(), then.end());
    host_->start_through(full);
    return std::nullopt;
  }

  std::optional<TestHost> host_;
  TemporaryTree tree_;
  std::vector<Json> messages_;
};

const std::vector<std::string> kOneTreeOutline = {"progress 0", "treeStart 0", "node 0",
                                                  "treeEnd 0", "complete"};

// ---- Trees as they are on disk ----

TEST_F(ScanEndToEnd, AnEmptyFolderIsItsRootAlone) {
  tree_.folder("empty");

  const HostRun result = run(restricted_request(tree_.path(), {tree_ / "empty"}));

  expect_completed(result);
  EXPECT_EQ(outline(messages_), kOneTreeOutline);
  const std::vector<std::string> statuses = statuses_of(messages_, 0);
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), "queued");
  EXPECT_EQ(statuses.back(), "completed");
  EXPECT_EQ(nodes_of(messages_, 0).size(), 1u);
  expect_tree_matches_disk(nodes_of(messages_, 0), tree_ / "empty");
  EXPECT_EQ(final_counts(0), expected_final_counts(tree_ / "empty"));
}

TEST_F(ScanEndToEnd, FilesFoldersLinksAndAwkwardNamesArriveAsTheDiskHasThem) {
  tree_.folder("t");
  tree_.file("t/plain.txt", std::string(5000, 'p'));
  tree_.file("t/empty.txt");
  tree_.folder("t/folder");
  tree_.file("t/folder/inner.txt", "inner");
  tree_.folder("t/folder/nested");
  tree_.file("t/folder/nested/deep.txt", "deep");
  tree_.folder("t/empty-folder");
  tree_.symbolic_link("t/to-file", "plain.txt");
  tree_.symbolic_link("t/to-folder", "folder");
  tree_.symbolic_link("t/dangling", "no/such/target");
  tree_.file("t/hard-a.txt", "shared");
  tree_.hard_link("t/hard-b.txt", "t/hard-a.txt");
  tree_.hard_link("t/folder/hard-c.txt", "t/hard-a.txt");
  tree_.sparse_file("t/sparse.bin", 4 << 20);
  tree_.fifo("t/fifo");
  for (const char* name : {"\xC3\xBCn\xC3\xAF"
                           "c\xC3\xB8"
                           "d\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC.txt",
                           "quote\"d", "back\\slash", "new\nline", "tab\there", "control\x01",
                           "solidus-free \xF0\x9F\x93\x81 emoji"}) {
    tree_.file(std::string("t/") + name, name);
  }
  tree_.folder("t/quote\"folder\\\n");
  tree_.file("t/quote\"folder\\\n/inside", "x");

  const HostRun result = run(restricted_request(tree_.path(), {tree_ / "t"}));

  expect_completed(result);
  EXPECT_EQ(outline(messages_), kOneTreeOutline);
  const std::vector<Json> nodes = nodes_of(messages_, 0);
  expect_tree_matches_disk(nodes, tree_ / "t");
  EXPECT_EQ(final_counts(0), expected_final_counts(tree_ / "t"));

  std::map<std::string, Json> by_path;
  for (const Json& node : nodes) by_path[node["path"].get<std::string>()] = node;
  // Hard links share one identity; each still carries its own size.
  const Json& hard_a = by_path[tree_ / "t/hard-a.txt"];
  ASSERT_FALSE(hard_a["identity"].is_null());
  EXPECT_EQ(by_path[tree_ / "t/hard-b.txt"]["identity"], hard_a["identity"]);
  EXPECT_EQ(by_path[tree_ / "t/folder/hard-c.txt"]["identity"], hard_a["identity"]);
  EXPECT_EQ(by_path[tree_ / "t/folder/hard-c.txt"]["logicalBytes"], 6);
  // Links keep their own text, whether or not it leads anywhere.
  EXPECT_EQ(by_path[tree_ / "t/dangling"]["linkTarget"], "no/such/target");
  EXPECT_EQ(by_path[tree_ / "t/to-folder"]["kind"], "symbolicLink");
  // Nothing is listed through a link to a folder.
  EXPECT_FALSE(by_path.contains(tree_ / "t/to-folder/inner.txt"));
  struct stat sparse {};
  ASSERT_EQ(stat((tree_ / "t/sparse.bin").c_str(), &sparse), 0);
  if (sparse.st_blocks * 512 < sparse.st_size) {
    EXPECT_EQ(by_path[tree_ / "t/sparse.bin"]["flags"]["sparse"], true);
  }
}

TEST_F(ScanEndToEnd, ThreeTargetsWithTheMiddleOneMissing) {
  tree_.folder("first");
  tree_.file("first/a.txt", "a");
  tree_.folder("third");
  tree_.folder("third/sub");
  tree_.file("third/sub/b.txt", "bb");

  const HostRun result =
      run(restricted_request(tree_.path(), {tree_ / "first", tree_ / "missing", tree_ / "third"}));

  expect_completed(result);
  EXPECT_EQ(outline(messages_),
            (std::vector<std::string>{"progress 0", "treeStart 0", "node 0", "treeEnd 0",
                                      "targetUnavailable 1", "progress 2", "treeStart 2", "node 2",
                                      "treeEnd 2", "complete"}));
  expect_tree_matches_disk(nodes_of(messages_, 0), tree_ / "first");
  expect_tree_matches_disk(nodes_of(messages_, 2), tree_ / "third");
  EXPECT_EQ(final_counts(2), expected_final_counts(tree_ / "third"));
}

TEST_F(ScanEndToEnd, TheLargestRequestHas256TargetsAllAnswered) {
  tree_.folder("present");
  std::vector<std::string> targets(256, tree_ / "missing");
  targets[100] = tree_ / "present";

  const HostRun result = run(restricted_request(tree_.path(), targets));

  expect_completed(result);
  std::vector<std::string> expected;
  for (int index = 0; index < 256; ++index) {
    const std::string at = " " + std::to_string(index);
    if (index == 100) {
      for (const char* step : {"progress", "treeStart", "node", "treeEnd"})
        expected.push_back(step + at);
    } else {
      expected.push_back("targetUnavailable" + at);
    }
  }
  expected.push_back("complete");
  EXPECT_EQ(outline(messages_), expected);
}

TEST_F(ScanEndToEnd, AFullRootScanOfAVolumeSendsADriveWithoutUnknownSpace) {
  tree_.folder("volume");
  tree_.file("volume/a.txt", "abc");
  const std::string root = tree_ / "volume";

  // The host says the volume holds far more than its files: the rest is Unknown Space.
  const HostRun result = run(
      scan_request("fullRoot", root, {root}, {{"usedBytes", 1ull << 40}, {"fileSystem", "ntfs"}}));

  expect_completed(result);
  EXPECT_EQ(outline(messages_), kOneTreeOutline);
  EXPECT_EQ(messages_of_type(messages_, "treeStart").at(0)["fileSystem"], "ntfs");
  const std::vector<Json> nodes = nodes_of(messages_, 0);
  expect_tree_matches_disk(nodes, root, {}, "drive");
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes.back()["id"], 1) << "Unknown Space comes last and is not sent";
}

// ---- What an unprivileged scanner cannot read ----

TEST_F(ScanEndToEnd, AFolderTheScannerCannotReadBecomesRestricted) {
  if (auto reason = run_helper_unprivileged()) GTEST_SKIP() << *reason;
  tree_.folder("t");
  tree_.file("t/visible.txt", "v");
  tree_.folder("t/open");
  tree_.file("t/open/inside.txt", "i");
  tree_.folder("t/locked");
  tree_.file("t/locked/secret.txt", "s");
  tree_.set_modified("t/open", 1'500'000'000);
  tree_.set_modified("t/locked", 1'600'000'000);
  tree_.change_mode("t/locked", 0);

  const HostRun result = run(restricted_request(tree_.path(), {tree_ / "t"}));

  expect_completed(result);
  EXPECT_EQ(outline(messages_), kOneTreeOutline);
  const std::set<std::string> locked = {tree_ / "t/locked"};
  const std::vector<Json> nodes = nodes_of(messages_, 0);
  expect_tree_matches_disk(nodes, tree_ / "t", locked);
  EXPECT_EQ(final_counts(0), expected_final_counts(tree_ / "t", locked));
  // Folders keep their times, the one that cannot be opened too.
  std::map<std::string, Json> by_path;
  for (const Json& node : nodes) by_path[node["path"].get<std::string>()] = node;
  EXPECT_EQ(by_path[tree_ / "t/open"]["modifiedAtEpochSeconds"], 1'500'000'000);
  EXPECT_EQ(by_path[tree_ / "t/locked"]["modifiedAtEpochSeconds"], 1'600'000'000);
}

TEST_F(ScanEndToEnd, AFullRootTheScannerCannotListFailsTheRun) {
  if (auto reason = run_helper_unprivileged()) GTEST_SKIP() << *reason;
  tree_.folder("locked");
  tree_.file("locked/secret.txt", "s");
  tree_.change_mode("locked", 0);
  const std::string root = tree_ / "locked";

  const HostRun result = run(scan_request("fullRoot", root, {root}));

  const std::string text =
      "Scan 1 failed at " + root + ": " + platform::to_string(platform::OsError{EACCES});
  EXPECT_EQ(result.status, kFailed);
  EXPECT_EQ(result.standard_error, text + "\n");
  EXPECT_EQ(outline(messages_), (std::vector<std::string>{"progress 0", "failure"}));
  EXPECT_EQ(messages_of_type(messages_, "failure"),
            std::vector<Json>{Json({{"type", "failure"}, {"message", text}})});
  ASSERT_FALSE(statuses_of(messages_, 0).empty());
  EXPECT_EQ(statuses_of(messages_, 0).back(), "failed");
}

TEST_F(ScanEndToEnd, AFolderTheScannerMayReadButNotSearchKeepsNamesWithoutMetadata) {
  if (auto reason = run_helper_unprivileged()) GTEST_SKIP() << *reason;
  tree_.folder("t");
  tree_.file("t/inside.txt", "12345");
  tree_.folder("t/sub");
  tree_.change_mode("t", 0444);

  const HostRun result = run(restricted_request(tree_.path(), {tree_ / "t"}));

  // The names are listed; nothing below them can be examined or opened.
  expect_completed(result);
  const std::vector<Json> nodes = nodes_of(messages_, 0);
  expect_parents_before_children(nodes);
  std::map<std::string, Json> by_path;
  for (const Json& node : nodes) by_path[node["path"].get<std::string>()] = node;
  ASSERT_EQ(by_path.size(), 3u);
  const Json& file = by_path[tree_ / "t/inside.txt"];
  EXPECT_EQ(file["kind"], "file");
  EXPECT_EQ(file["logicalBytes"], 0);
  EXPECT_EQ(file["sizeOnDiskBytes"], 0);
  EXPECT_TRUE(file["identity"].is_null());
  EXPECT_EQ(file["modifiedAtEpochSeconds"], 0);
  EXPECT_EQ(by_path[tree_ / "t/sub"]["kind"], "restricted");
}

// ---- Hostile names, depths and hosts ----

constexpr const char* kPrlimit = "/usr/bin/prlimit";

TEST_F(ScanEndToEnd, ScansWithinTheAddressSpaceTheMachineGrants) {
  if (kSanitizedBuild) GTEST_SKIP() << "sanitizers reserve far more address space than the limit";
  if (access(kPrlimit, X_OK) != 0) GTEST_SKIP() << "prlimit (util-linux) is not installed";
  struct Row {
    const char* name;
    uint64_t address_space_bytes;
    int folders;
    int files_per_folder;
  };
  const Row rows[] = {
      {"8 GiB, a small tree", uint64_t{8} << 30, 2, 10},
      {"1 GiB, 100,000 entries", uint64_t{1} << 30, 100, 999},
  };
  int case_number = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string root = tree_ / ("case" + std::to_string(case_number++));
    tree_.folder(root.substr(tree_.path().size() + 1));
    for (int folder = 0; folder < row.folders; ++folder) {
      const std::string folder_path = root + "/f" + std::to_string(folder);
      ASSERT_EQ(mkdir(folder_path.c_str(), 0755), 0);
      for (int file = 0; file < row.files_per_folder; ++file) {
        const std::string file_path = folder_path + "/" + std::to_string(file);
        const int fd = open(file_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << file_path;
        close(fd);
      }
    }
    host_->start_through({kPrlimit, "--as=" + std::to_string(row.address_space_bytes)});

    const HostRun result = run(scan_request("fullRoot", root, {root}));

    expect_completed(result);
    EXPECT_EQ(nodes_of(messages_, 0).size(),
              1u + static_cast<std::size_t>(row.folders * (1 + row.files_per_folder)));
  }
}

TEST_F(ScanEndToEnd, AThreadThatCannotBeStartedEndsTheRunWithOneLine) {
  if (kSanitizedBuild) {
    GTEST_SKIP() << "the sanitizer runtimes start threads of their own (LeakSanitizer at exit)";
  }
  if (access(kPrlimit, X_OK) != 0) GTEST_SKIP() << "prlimit (util-linux) is not installed";
  // The limit on processes binds only a user without the rights of root.
  struct Row {
    const char* name;
    const char* processes;
    bool pool_fails;  // whatever the machine: the first thread the helper starts is refused
  };
  const Row rows[] = {
      {"no thread at all", "1", true},
      {"one thread besides the main one", "2", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (auto reason =
            run_helper_unprivileged({kPrlimit, std::string("--nproc=") + row.processes})) {
      GTEST_SKIP() << *reason;
    }
    const std::string root = tree_.path();

    const HostRun result = run(scan_request("fullRoot", root, {root}));

    const std::string refused = platform::to_string(platform::OsError{EAGAIN});
    EXPECT_EQ(result.status, kFailed) << "a value, never a signal";
    ASSERT_FALSE(result.standard_error.empty());
    EXPECT_EQ(result.standard_error.find('\n'), result.standard_error.size() - 1)
        << "one line: " << result.standard_error;
    EXPECT_TRUE(result.standard_error.ends_with(refused + "\n")) << result.standard_error;
    EXPECT_EQ(whole_lines(result.received), result.received) << "whole lines only";
    const std::vector<Json> failures = messages_of_type(messages_, "failure");
    if (row.pool_fails || failures.empty()) {
      // The manager could not be built: nothing reaches the host.
      EXPECT_EQ(result.standard_error, refused + "\n");
      EXPECT_TRUE(messages_.empty());
    } else {
      ASSERT_EQ(failures.size(), 1u);
      EXPECT_EQ(failures[0]["message"].get<std::string>() + "\n", result.standard_error);
    }
  }
}

TEST_F(ScanEndToEnd, ANameThatIsNotUtf8EndsTheRunAfterWholeLines) {
  struct Row {
    const char* name;
    std::vector<std::string> files;
    std::vector<std::string> folders;
  };
  const Row rows[] = {
      {"a file", {"good.txt", "bad-\xFF.txt"}, {}},
      {"a folder", {"good.txt", "bad-\xFE\xFE/inside.txt"}, {"bad-\xFE\xFE"}},
  };
  int case_number = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string target = "case" + std::to_string(case_number++);
    tree_.folder(target);
    for (const std::string& folder : row.folders) tree_.folder(target + "/" + folder);
    for (const std::string& file : row.files) tree_.file(target + "/" + file, "x");

    const HostRun result = run(restricted_request(tree_.path(), {tree_ / target}));

    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(result.standard_error, "path contains invalid UTF-8 characters\n");
    EXPECT_EQ(whole_lines(result.received), result.received) << "whole lines only";
    EXPECT_TRUE(messages_of_type(messages_, "complete").empty());
    EXPECT_TRUE(messages_of_type(messages_, "failure").empty());
  }
}

TEST_F(ScanEndToEnd, AHostThatAsksForLosslessPathsGetsEveryNameEscaped) {
  tree_.folder("t");
  tree_.file("t/good.txt", "x");
  tree_.file("t/bad-\xFF.txt", "x");
  tree_.folder("t/d\xE9j\xE0");
  tree_.file("t/d\xE9j\xE0/caf\xC3\xA9-\xFE", "x");
  Json request = Json::parse(restricted_request(tree_.path(), {tree_ / "t"}));
  request["request"]["losslessPaths"] = true;

  // Read as raw lines: the JSON library here refuses lone surrogate escapes.
  HostScript script;
  script.request = request.dump() + "\n";
  auto outcome = host_->run(kHelperPath, {"--pipe", host_->socket_path()}, script, kTimeLimit);
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  const HostRun& result = *outcome;

  EXPECT_EQ(result.status, kSucceeded) << result.standard_error;
  EXPECT_EQ(result.standard_error, "");
  const std::string& lines = result.received;
  EXPECT_NE(lines.find(R"(/t/bad-\udcff.txt")"), std::string::npos);
  EXPECT_NE(lines.find(R"(/t/d\udce9j\udce0")"), std::string::npos);
  EXPECT_NE(lines.find("/t/d\\udce9j\\udce0/caf\xC3\xA9-\\udcfe\""), std::string::npos);
  EXPECT_NE(lines.find(R"({"type":"complete"})"), std::string::npos);
}

TEST_F(ScanEndToEnd, LongNamesAndAChainDeeperThanPathMax) {
  tree_.folder("t");
  const std::string longest_ascii(255, 'n');
  std::string longest_utf8;
  while (longest_utf8.size() + 2 <= 255) longest_utf8 += "\xC3\xA9";
  longest_utf8.resize(255, 'x');
  tree_.file("t/" + longest_ascii, "a");
  tree_.file("t/" + longest_utf8, "u");
  const std::string chain_top = "t/" + std::string(253, 'c') + ".d";
  tree_.folder(chain_top);
  const std::string bottom =
      tree_.folder_chain(chain_top, std::string(200, 'd'), 24, longest_ascii);
  ASSERT_GT(bottom.size(), static_cast<std::size_t>(PATH_MAX));

  const HostRun result = run(restricted_request(tree_.path(), {tree_ / "t"}));

  expect_completed(result);
  const std::vector<Json> nodes = nodes_of(messages_, 0);
  expect_tree_matches_disk(nodes, tree_ / "t");
  EXPECT_EQ(nodes.size(), 1u + 3u + 24u + 1u);
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes.back()["path"], bottom + "/" + longest_ascii);
}

TEST_F(ScanEndToEnd, AChainDeeperThanPathMaxBelowAFolderThatMayOnlyBeSearched) {
  if (auto reason = run_helper_unprivileged()) GTEST_SKIP() << *reason;
  tree_.folder("gate");
  tree_.folder("gate/inner");
  const std::string bottom =
      tree_.folder_chain("gate/inner", std::string(200, 'd'), 30, "leaf.txt");
  ASSERT_GT(bottom.size(), static_cast<std::size_t>(PATH_MAX));
  // Searchable, not readable: the way through to the target, as Windows' traverse checking
  // allows.
  tree_.change_mode("gate", 0711);

  const HostRun result = run(restricted_request(tree_.path(), {tree_ / "gate/inner"}));

  expect_completed(result);
  const std::vector<Json> nodes = nodes_of(messages_, 0);
  EXPECT_EQ(nodes.size(), 1u + 30u + 1u);
  for (const Json& node : nodes) EXPECT_NE(node["kind"], "restricted") << node["path"];
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes.back()["path"], bottom + "/leaf.txt");
}

// The process id of this test's child running `program`, or 0.
pid_t child_running(const std::string& program) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return 0;
  pid_t found = 0;
  while (const dirent* entry = readdir(processes)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    const std::string base = std::string("/proc/") + entry->d_name;
    std::ifstream stat_file(base + "/stat");
    std::string stat_text((std::istreambuf_iterator<char>(stat_file)), {});
    const std::size_t after_name = stat_text.rfind(')');
    if (after_name == std::string::npos) continue;
    std::istringstream fields(stat_text.substr(after_name + 2));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent != getpid()) continue;
    char exe[PATH_MAX + 1] = {};
    const ssize_t length = readlink((base + "/exe").c_str(), exe, PATH_MAX);
    if (length > 0 && std::string(exe, static_cast<std::size_t>(length)) == program) found = pid;
  }
  closedir(processes);
  return found;
}

// The descriptor of `pid` open on `directory` that has been read from, or -1.
int descriptor_reading(pid_t pid, const std::string& directory) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* listing = opendir(fds.c_str());
  if (listing == nullptr) return -1;
  int found = -1;
  while (const dirent* entry = readdir(listing)) {
    char target[PATH_MAX + 1] = {};
    const ssize_t length = readlink((fds + "/" + entry->d_name).c_str(), target, PATH_MAX);
    if (length <= 0 || std::string(target, static_cast<std::size_t>(length)) != directory) continue;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + entry->d_name);
    std::string key;
    long long position = 0;
    if (info >> key >> position && key == "pos:" && position != 0) found = std::atoi(entry->d_name);
  }
  closedir(listing);
  return found;
}

bool is_stopped(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat_text((std::istreambuf_iterator<char>(stat_file)), {});
  const std::size_t after_name = stat_text.rfind(')');
  return after_name != std::string::npos && after_name + 2 < stat_text.size() &&
         stat_text[after_name + 2] == 'T';
}

TEST_F(ScanEndToEnd, AFolderRemovedWhileItIsListedKeepsWhatWasListed) {
  tree_.folder("t");
  tree_.folder("t/other");
  tree_.file("t/other/kept.txt", "k");
  tree_.folder("t/big");
  const std::string big = tree_ / "t/big";
  constexpr int kFiles = 60000;
  const std::string stem(180, 'f');
  for (int i = 0; i < kFiles; ++i) {
    const std::string path = big + "/" + stem + std::to_string(i);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    close(fd);
  }
  // Stops the helper while it is in the middle of listing the big folder, removes the folder
  // with everything in it, and lets the helper go on.
  bool caught = false;
  for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
    std::atomic<bool> finished{false};
    std::thread remover([&] {
      const auto give_up = std::chrono::steady_clock::now() + kTimeLimit;
      while (!finished.load() && std::chrono::steady_clock::now() < give_up) {
        const pid_t helper = child_running(kHelperPath);
        if (helper == 0 || descriptor_reading(helper, big) < 0) {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          continue;
        }
        kill(helper, SIGSTOP);
        while (!is_stopped(helper)) std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (descriptor_reading(helper, big) >= 0) {
          for (int i = 0; i < kFiles; ++i) unlink((big + "/" + stem + std::to_string(i)).c_str());
          caught = rmdir(big.c_str()) == 0;
        }
        kill(helper, SIGCONT);
        return;
      }
    });
    const HostRun result = run(restricted_request(tree_.path(), {tree_ / "t"}));
    finished = true;
    remover.join();
    if (!caught) continue;

    expect_completed(result);
    std::size_t listed = 0;
    bool big_is_a_folder = false;
    for (const Json& node : nodes_of(messages_, 0)) {
      const std::string path = node["path"];
      if (path == big) big_is_a_folder = node["kind"] == "folder";
      if (path.starts_with(big + "/")) ++listed;
    }
    // The folder stays a folder with what was delivered before the removal (possibly nothing,
    // when the helper was stopped before it had examined an entry of its first buffer), and the
    // scan goes on.
    EXPECT_TRUE(big_is_a_folder);
    EXPECT_LT(listed, static_cast<std::size_t>(kFiles));
    EXPECT_TRUE(std::any_of(messages_.begin(), messages_.end(), [&](const Json& message) {
      return message["type"] == "node" && message["node"]["path"] == tree_ / "t/other/kept.txt";
    }));
  }
  if (!caught) GTEST_SKIP() << "the helper finished listing before it could be stopped";
}

// A tree whose stream of node messages is far longer than what a socket holds.
void make_large_tree(const TemporaryTree& tree, const std::string& relative) {
  tree.folder(relative);
  for (int folder = 0; folder < 10; ++folder) {
    const std::string folder_path = relative + "/folder" + std::to_string(folder);
    tree.folder(folder_path);
    for (int file = 0; file < 300; ++file) {
      tree.file(folder_path + "/" + std::string(200, 'f') + std::to_string(file));
    }
  }
}

TEST_F(ScanEndToEnd, AHostThatGoesAwayMidRunEndsItWithAnError) {
  make_large_tree(tree_, "large");
  struct Row {
    const char* name;
    std::string close_after;
  };
  const Row rows[] = {
      {"after the first progress message", R"("status":"queued")"},
      {"after the tree started", R"("type":"treeStart")"},
  };
  const std::string broken_pipe = platform::to_string(platform::OsError{EPIPE}) + "\n";
  const std::string reset = platform::to_string(platform::OsError{ECONNRESET}) + "\n";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HostScript script;
    script.close_after_line_containing = row.close_after;

    const HostRun result = run(restricted_request(tree_.path(), {tree_ / "large"}), script);

    ASSERT_NE(result.received.find(row.close_after), std::string::npos);
    EXPECT_EQ(result.status, kFailed) << "an error, not a signal";
    EXPECT_TRUE(result.standard_error == broken_pipe || result.standard_error == reset)
        << result.standard_error;
    EXPECT_TRUE(messages_of_type(messages_, "complete").empty());
  }
}

TEST_F(ScanEndToEnd, RequestsThatArriveInPiecesOrTogether) {
  tree_.folder("first");
  tree_.file("first/a.txt", "a");
  tree_.folder("second");
  const std::string first = restricted_request(tree_.path(), {tree_ / "first"});
  const std::string second = restricted_request(tree_.path(), {tree_ / "second"});
  struct Row {
    const char* name;
    std::string bytes;
    std::size_t chunk_bytes;
  };
  const Row rows[] = {
      {"one byte at a time", first, 1},
      {"two requests in one write: only the first is used", first + second, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HostScript script;
    script.write_chunk_bytes = row.chunk_bytes;

    const HostRun result = run(row.bytes, script);

    expect_completed(result);
    EXPECT_EQ(outline(messages_), kOneTreeOutline);
    expect_tree_matches_disk(nodes_of(messages_, 0), tree_ / "first");
  }
}

// ---- A tree that changes while it is scanned ----

// Files are named after their size, so that any file node can be checked wherever it appears.
std::string sized_file_name(int size) { return "f-" + std::to_string(size); }

// A folder with a subfolder, each holding files of 0 to 19 bytes; made with plain system calls so
// that a second thread may call it.
bool make_small_folder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 || mkdir((path + "/inner").c_str(), 0755) != 0) return false;
  for (const std::string& folder : {path, path + "/inner"}) {
    for (int size = 0; size < 20; ++size) {
      const int fd = open((folder + "/" + sized_file_name(size)).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) return false;
      const std::string content(static_cast<std::size_t>(size), 's');
      const bool written = write(fd, content.data(), content.size()) == size;
      close(fd);
      if (!written) return false;
    }
  }
  return true;
}

void remove_small_folder(const std::string& path) {
  for (const std::string& folder : {path + "/inner", path}) {
    for (int size = 0; size < 20; ++size) unlink((folder + "/" + sized_file_name(size)).c_str());
  }
  rmdir((path + "/inner").c_str());
  rmdir(path.c_str());
}

TEST_F(ScanEndToEnd, FoldersThatChangeDuringTheScanNeverMisplaceANode) {
  // A tree that takes a while to walk, and three folders that keep changing while it is walked:
  // one renamed back and forth, one swapped with a symbolic link to itself, one deleted and made
  // again.
  tree_.folder("t");
  constexpr int kStableFolders = 40;
  for (int folder = 0; folder < kStableFolders; ++folder) {
    const std::string path = "t/stable-" + std::to_string(folder);
    tree_.folder(path);
    for (int size = 0; size < 150; ++size) {
      tree_.file(path + "/" + sized_file_name(size), std::string(size, 'x'));
    }
  }
  const std::string t = tree_ / "t";
  for (const char* name : {"moving", "swapped", "recreated"}) {
    ASSERT_TRUE(make_small_folder(t + "/" + name));
  }

  const std::string staging = tree_ / "staging";
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::thread changer([&] {
    while (!stop.load()) {
      rename((t + "/moving").c_str(), (t + "/moving-renamed").c_str());
      rename((t + "/moving-renamed").c_str(), (t + "/moving").c_str());
      rename((t + "/swapped").c_str(), (t + "/swapped-real").c_str());
      symlink("swapped-real", (t + "/swapped").c_str());
      unlink((t + "/swapped").c_str());
      rename((t + "/swapped-real").c_str(), (t + "/swapped").c_str());
      remove_small_folder(t + "/recreated");
      // Made whole outside the scanned tree, so that no file is seen before its bytes are in.
      make_small_folder(staging);
      rename(staging.c_str(), (t + "/recreated").c_str());
      rounds.fetch_add(1);
    }
  });
  // The changes are under way before the helper starts.
  while (rounds.load() == 0) std::this_thread::yield();
  const HostRun result = run(restricted_request(tree_.path(), {t}));
  stop = true;
  changer.join();

  expect_completed(result);
  const std::vector<Json> nodes = nodes_of(messages_, 0);
  expect_parents_before_children(nodes);
  std::map<uint64_t, Json> by_id;
  for (const Json& node : nodes) by_id[node["id"].get<uint64_t>()] = node;

  // The stable folders arrive exactly as they are on disk.
  std::map<std::string, DiskEntry> stable;
  for (int folder = 0; folder < kStableFolders; ++folder) {
    stable.merge(read_disk_tree(t + "/stable-" + std::to_string(folder)));
  }
  std::set<std::string> sent;
  const std::set<std::string> changing = {"moving", "moving-renamed", "swapped", "swapped-real",
                                          "recreated"};
  for (const Json& node : nodes) {
    const std::string path = node["path"].get<std::string>();
    sent.insert(path);
    SCOPED_TRACE(path);
    if (const auto found = stable.find(path); found != stable.end()) {
      EXPECT_EQ(node, expected_record(node, found->second));
      continue;
    }
    if (path == t) continue;
    // Anything else lies in a changing folder: below a folder that was listed (never below a
    // link or a folder that could not be listed), with one of the names made there.
    const Json& parent = by_id[node["parentId"].get<uint64_t>()];
    EXPECT_EQ(parent["kind"], "folder");
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string kind = node["kind"].get<std::string>();
    if (parent["path"] == t) {
      EXPECT_TRUE(changing.contains(name));
      if (kind == "symbolicLink") {
        EXPECT_EQ(name, "swapped");
        EXPECT_EQ(node["linkTarget"], "swapped-real");
      } else {
        EXPECT_TRUE(kind == "folder" || kind == "restricted") << kind;
      }
    } else if (kind == "file") {
      ASSERT_EQ(name.rfind("f-", 0), 0u);
      EXPECT_EQ(node["logicalBytes"], std::stoi(name.substr(2)));
    } else {
      EXPECT_EQ(name, "inner");
      EXPECT_TRUE(kind == "folder" || kind == "restricted") << kind;
    }
  }
  for (const auto& [path, entry] : stable) {
    EXPECT_TRUE(sent.contains(path)) << "on disk but not sent: " << path;
  }
}

}  // namespace
}  // namespace ketterlin::helper::testing
