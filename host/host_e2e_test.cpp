// ketterlin-scan end to end: the real host and helper binaries (or the fake helper) on real
// temporary folders, through a real socket; ncdu reads the export.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/e2e_support.h"
#include "ketterlin/build_info.h"
#include "platform/child_process.h"

namespace ketterlin::host {
namespace {

using namespace e2e;

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

// --html writes the page beside the report; a page that cannot be written fails the run.
TEST(HostEndToEndTest, WritesTheHtmlReport) {
  TemporaryFolder folder;
  const fs::path root = make_sample(folder.path());
  const fs::path page = folder.path() / "scan.html";
  const ScanRun run = run_scan({"--quiet", "--apparent", "--html", page.string(), root.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("Scanned " + root.string() + " in ", 0), 0u) << run.out;
  std::ifstream in(page, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("<!DOCTYPE html>", 0), 0u);
  const std::string open = "<script id=\"scan-data\" type=\"application/json\">";
  const std::size_t start = text.find(open);
  ASSERT_NE(start, std::string::npos);
  const Json data = Json::parse(
      text.substr(start + open.size(), text.find("</script>", start) - start - open.size()));
  const IndependentCount expected = count_with_lstat(root);
  EXPECT_EQ(data.at("measure"), "logical");
  EXPECT_EQ(data.at("root"), root.string());
  EXPECT_EQ(data.at("entries"), 1 + expected.files + expected.folders + expected.links);
  EXPECT_EQ(data.at("totals").at("logicalBytes"), expected.logical);

  const ScanRun unwritable =
      run_scan({"--quiet", "--html", (folder.path() / "no" / "page.html").string(), root.string()});
  // Opened before the scan, as every export is: a usage-time error, no scan.
  EXPECT_EQ(unwritable.status, 2);
  EXPECT_EQ(unwritable.err.rfind("ketterlin-scan: cannot write " +
                                     (folder.path() / "no" / "page.html").string() + ": ",
                                 0),
            0u)
      << unwritable.err;
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
  const ScanRun ncdu = run_program("/usr/bin/ncdu", {"-f", ours.string(), "-o", again.string()});
  ASSERT_EQ(ncdu.status, 0) << ncdu.err;
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
      {{"--version"}, 0, std::string("ketterlin-scan ") + kVersion + "\n", ""},
      {{"--help"}, 0, "usage: ketterlin-scan [options] [PATH]\n", ""},
      {{"-V"}, 0, std::string("ketterlin-scan ") + kVersion + "\n", ""},
      {{"--frobnicate", "/"},
       2,
       "",
       "ketterlin-scan: unknown option --frobnicate\ntry 'ketterlin-scan --help'\n"},
      {{"--html", "-", "/"},
       2,
       "",
       "ketterlin-scan: --html needs a file name; it cannot write to standard output\ntry "
       "'ketterlin-scan --help'\n"},
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
  // What is no regular file, such as /dev/null or a FIFO, is written in place and stays itself.
  const fs::path fifo = folder.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const ScanRun piped = run_scan({"--quiet", "--json", fifo.string(), root.string()});
  ASSERT_EQ(piped.status, 0) << piped.err;
  std::string received(65536, '\0');
  const ssize_t got = read(reader, received.data(), received.size());
  close(reader);
  ASSERT_GT(got, 0);
  received.resize(static_cast<std::size_t>(got));
  EXPECT_EQ(Json::parse(received).at("root"), root.string());
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 4);
}

// What an unprivileged user cannot measure is marked and counted, and the report says how to
// measure it; a root it cannot read fails with the same advice. Run as nobody when the tests run
// as root (root reads everything).

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

namespace ketterlin::host {
namespace {

// Names that are not UTF-8 (Latin-1, valid only in part) are kept byte for byte through the
// helper's lossless escapes: shown escaped, exported as valid JSON with their exact bytes, and
// written to ncdu's export as they are, which ncdu reads back.
TEST(HostEndToEndTest, NamesThatAreNotUtf8AreKeptByteForByte) {
  TemporaryFolder folder;
  const fs::path root = folder.path() / "names";
  const std::string latin1 = "caf\xe9.txt";
  const std::string partly = "ok-\xc3\xa9-\xff.bin";
  const std::string folder_name = "d\xe9j\xe0";
  fs::create_directories(root / folder_name);
  write_file(root / latin1, 10);
  write_file(root / partly, 20);
  write_file(root / folder_name / "inside", 30);
  fs::create_symlink(latin1, root / "link");

  const ScanRun report = run_scan({"--quiet", "--no-color", "--depth", "3", root.string()});
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_NE(report.out.find("caf\\xe9.txt"), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("ok-\xc3\xa9-\\xff.bin"), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("d\\xe9j\\xe0"), std::string::npos) << report.out;

  const fs::path json = folder.path() / "scan.json";
  ASSERT_EQ(run_scan({"--quiet", "--json", json.string(), root.string()}).status, 0);
  const Json document = read_json(json);  // the library refuses JSON that is not UTF-8
  std::map<std::string, Json> by_name;
  for (const Json& node : document["targets"][0]["tree"]["children"]) by_name[node["name"]] = node;
  const auto hex = [](std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
      text += digits;
    }
    return text;
  };
  ASSERT_TRUE(by_name.contains("caf\xef\xbf\xbd.txt"));
  EXPECT_EQ(by_name["caf\xef\xbf\xbd.txt"]["nameBytes"], hex(latin1));
  EXPECT_EQ(by_name["caf\xef\xbf\xbd.txt"]["logicalBytes"], 10);
  ASSERT_TRUE(by_name.contains("ok-\xc3\xa9-\xef\xbf\xbd.bin"));
  EXPECT_EQ(by_name["ok-\xc3\xa9-\xef\xbf\xbd.bin"]["logicalBytes"], 20);
  ASSERT_TRUE(by_name.contains("d\xef\xbf\xbdj\xef\xbf\xbd"));
  EXPECT_EQ(by_name["d\xef\xbf\xbdj\xef\xbf\xbd"]["logicalBytes"], 30);
  ASSERT_TRUE(by_name.contains("link"));
  EXPECT_EQ(by_name["link"]["linkTargetBytes"], hex(latin1));
  EXPECT_FALSE(by_name["link"].contains("nameBytes"));

  if (access("/usr/bin/ncdu", X_OK) != 0) GTEST_SKIP() << "ncdu is not installed";
  const fs::path ours = folder.path() / "scan.ncdu";
  const fs::path again = folder.path() / "again.ncdu";
  ASSERT_EQ(run_scan({"--quiet", "--ncdu", ours.string(), root.string()}).status, 0);
  const ScanRun ncdu = run_program("/usr/bin/ncdu", {"-f", ours.string(), "-o", again.string()});
  ASSERT_EQ(ncdu.status, 0) << ncdu.err;
  std::ifstream in(again, std::ios::binary);
  const std::string reread((std::istreambuf_iterator<char>(in)), {});
  for (const std::string& name : {latin1, partly, folder_name}) {
    EXPECT_NE(reread.find("\"name\":\"" + name + "\""), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace ketterlin::host
