// ketterlin-scan end to end: the real host and helper binaries (or the fake helper) on real
// temporary folders, through a real socket; ncdu reads the export.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "ketterlin/build_info.h"
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

ScanRun run_scan(const std::vector<std::string>& arguments,
                 const std::string& program = KETTERLIN_SCAN_PATH) {
  auto child = platform::ChildProcess::start({.program = program,
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
  EXPECT_NE(run.out.find((root / "missing").string() + ": unavailable\n"), std::string::npos)
      << run.out;
  const Json targets = read_json(json).at("targets");
  ASSERT_EQ(targets.size(), 3u);
  EXPECT_EQ(targets[0].at("status"), "scanned");
  EXPECT_EQ(targets[1].at("status"), "unavailable");
  EXPECT_EQ(targets[2].at("status"), "scanned");
  // Scanned alone, b holds the whole pair and its copy of the group of three.
  EXPECT_EQ(targets[2].at("totals").at("logicalBytes"), 9000 + 300000);
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

// Without --helper, the host starts the helper beside itself, else the one in its installed helper
// folder relative to its own: a prefix copied anywhere keeps working.
TEST(HostEndToEndTest, FindsTheHelperBesideItselfThenWhereItIsInstalled) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  const fs::path bin = folder.path() / "prefix" / "bin";
  const fs::path host = bin / "ketterlin-scan";
  const fs::path beside = bin / "ketterlin-scan-helper";
  const fs::path installed =
      (bin / kInstalledHelperFolderFromHost / "ketterlin-scan-helper").lexically_normal();
  ASSERT_NE(installed, beside);
  fs::create_directories(bin);
  fs::create_directories(installed.parent_path());
  fs::copy_file(KETTERLIN_SCAN_PATH, host);

  // Neither there: the error names the place beside the host.
  ScanRun run = run_scan({"--quiet", root.string()}, host.string());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("ketterlin-scan: cannot start the helper " + beside.string() + ": ", 0),
            0u)
      << run.err;

  fs::copy_file(KETTERLIN_SCAN_HELPER_PATH, installed);
  run = run_scan({"--quiet", root.string()}, host.string());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("Scanned " + root.string() + " in ", 0), 0u) << run.out;

  // The one beside wins.
  fs::copy_file(KETTERLIN_FAKE_HELPER_PATH, beside);
  setenv("KETTERLIN_FAKE_HELPER_MODE", "exit-before-connect", 1);
  run = run_scan({"--quiet", root.string()}, host.string());
  unsetenv("KETTERLIN_FAKE_HELPER_MODE");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("fake helper refuses"), std::string::npos) << run.err;
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
    EXPECT_NE(line.find(" files, "), std::string::npos) << line;
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
      {{"--version"}, 0, std::string("ketterlin-scan ") + kVersion + "\n", ""},
      {{"--help"}, 0, "usage: ketterlin-scan [options] PATH\n", ""},
      {{"--frobnicate", "/"}, 2, "", "ketterlin-scan: unknown option --frobnicate\nusage: "},
      {{}, 2, "", "ketterlin-scan: no path to scan\n"},
  };
  for (const Row& row : rows) {
    const ScanRun run = run_scan(row.arguments);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.out.substr(0, row.out_start.size()), row.out_start);
    EXPECT_EQ(run.err.substr(0, row.err_start.size()), row.err_start);
  }
}

}  // namespace
}  // namespace ketterlin::host
