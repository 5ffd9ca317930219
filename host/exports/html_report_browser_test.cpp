// The HTML report in a real browser: pages written for small trees are opened in headless
// Chromium with the fragment #selftest, which makes the page check its own drawing (areas
// against sizes, a click that zooms into a folder, the breadcrumb back) and write the results
// into the DOM; the test reads them from --dump-dom and compares them with the sizes it built
// the tree from. Chromium's network log shows that the page fetched nothing. A screenshot is
// left beside the test binary. Skipped when Chromium is not installed. POSIX only.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/e2e_support.h"
#include "host/exports/html_report.h"
#include "platform/child_process.h"

namespace ketterlin::host {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Kind = NodeRecordKind;

std::optional<std::string> find_chromium() {
  const char* path = getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const fs::path candidate = fs::path(folder) / "chromium";
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return std::nullopt;
}

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "ketterlin-html-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct BrowserRun {
  bool exited = false;
  std::string out;
  std::string err;
};

// Chromium headless with a fresh profile, as root (no sandbox), with `arguments` after the common
// ones. It talks to no network: names resolve to nothing, and whatever would still connect goes
// to a proxy on the loopback's discard port, where nothing listens.
BrowserRun run_chromium(const std::string& chromium, const fs::path& profile,
                        std::vector<std::string> arguments) {
  std::vector<std::string> all = {"--headless",
                                  "--no-sandbox",
                                  "--disable-gpu",
                                  "--disable-quic",
                                  "--no-first-run",
                                  "--disable-background-networking",
                                  "--disable-component-update",
                                  "--disable-sync",
                                  "--host-resolver-rules=MAP * ~NOTFOUND",
                                  "--proxy-server=127.0.0.1:9",
                                  "--user-data-dir=" + profile.string()};
  all.insert(all.end(), arguments.begin(), arguments.end());
  const e2e::ScanRun run = e2e::run_program(chromium, all, std::chrono::seconds(90));
  return {run.status == 0, run.out, run.err};
}

// The text of <pre id="selftest"> in a serialised DOM, with its character references resolved.
std::optional<Json> self_test_results(const std::string& dom) {
  const std::size_t open = dom.find("<pre id=\"selftest\"");
  if (open == std::string::npos) return std::nullopt;
  const std::size_t start = dom.find('>', open) + 1;
  const std::size_t end = dom.find("</pre>", start);
  std::string text;
  for (std::size_t i = start; i < end; ++i) {
    if (dom[i] != '&') {
      text.push_back(dom[i]);
      continue;
    }
    const std::size_t semicolon = dom.find(';', i);
    const std::string reference = dom.substr(i, semicolon - i + 1);
    text += reference == "&amp;"    ? "&"
            : reference == "&lt;"   ? "<"
            : reference == "&gt;"   ? ">"
            : reference == "&nbsp;" ? "\u00a0"
                                    : reference;
    i = semicolon;
  }
  if (text.empty()) return std::nullopt;
  return Json::parse(text);
}

struct File {
  std::string_view path;  // below the root
  uint64_t bytes;
};

// A tree of folders and files of the given sizes (both measures alike) below `root`.
ScanResult scan_of(const std::string& root, const std::vector<File>& files) {
  TreeBuilder builder(PathStyle::Posix);
  std::map<std::string, uint64_t> folders{{root, 0}};
  std::deque<std::string> paths;
  uint64_t next_id = 1;
  auto add = [&](const std::string& path, Kind kind, uint64_t parent, uint64_t bytes) {
    paths.push_back(path);
    elevation::DecodedNode fields;
    fields.id = next_id++;
    fields.parent_id = parent;
    fields.path = paths.back();
    fields.kind = kind;
    fields.logical_bytes = bytes;
    fields.size_on_disk_bytes = bytes;
    EXPECT_TRUE(builder.add(fields)) << path;
    return fields.id;
  };
  elevation::DecodedNode top;
  top.path = root;
  top.kind = Kind::Folder;
  EXPECT_TRUE(builder.add(top));
  for (const File& file : files) {
    std::string parent = root;
    std::string_view rest = file.path;
    for (std::size_t slash; (slash = rest.find('/')) != std::string_view::npos;) {
      const std::string folder = parent + "/" + std::string(rest.substr(0, slash));
      if (!folders.count(folder)) folders[folder] = add(folder, Kind::Folder, folders[parent], 0);
      parent = folder;
      rest.remove_prefix(slash + 1);
    }
    add(parent + "/" + std::string(rest), Kind::File, folders[parent], file.bytes);
  }
  ScanResult result;
  result.root = root;
  result.targets = {root};
  TargetReport report;
  report.state = TargetReport::State::Scanned;
  report.tree = std::move(builder).finish().value();
  result.reports.push_back(std::move(report));
  return result;
}

// Each rectangle's share of the map against `expected` (name: share), within 1 %.
void expect_areas(const Json& rectangles, const std::map<std::string, double>& expected) {
  std::map<std::string, double> shown;
  for (const Json& rectangle : rectangles) {
    shown[rectangle.at("name").get<std::string>()] = rectangle.at("areaShare").get<double>();
  }
  ASSERT_EQ(shown.size(), expected.size()) << rectangles.dump();
  for (const auto& [name, share] : expected) {
    SCOPED_TRACE(name);
    ASSERT_EQ(shown.count(name), 1u) << rectangles.dump();
    EXPECT_NEAR(shown[name], share, share * 0.01);
  }
}

TEST(HtmlReportBrowserTest, PageDrawsZoomsAndFetchesNothing) {
  const std::optional<std::string> chromium = find_chromium();
  if (!chromium) GTEST_SKIP() << "chromium is not installed (scripts/install-deps native)";
  TemporaryFolder folder;
  ASSERT_FALSE(folder.path().empty());

  // The root's path and the names test the page's escaping in the browser itself.
  const std::string root = "/t</script><b>";
  const ScanResult result = scan_of(root, {{"docs/a.pdf", 400000},
                                           {"docs/b.txt", 100000},
                                           {"docs/<script>x", 50000},
                                           {"docs/a\u2028b\u2029c", 30000},
                                           {"docs/bad\xff.txt", 20000},
                                           {"media/movie.mkv", 200000},
                                           {"media/song.mp3", 50000},
                                           {"big.iso", 100000},
                                           {"empty", 0}});
  const double total = 950000;
  struct Case {
    std::string_view name;
    uint32_t budget;
  } cases[] = {{"whole tree", 200'000}, {"merged", 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path page = folder.path() / (std::string(c.name.substr(0, 5)) + ".html");
    {
      std::ofstream out(page, std::ios::binary);
      write_html_report(result, {.node_budget = c.budget}, out);
      ASSERT_TRUE(out);
    }
    const fs::path profile = folder.path() / ("profile-" + std::string(c.name.substr(0, 5)));
    const fs::path net_log = folder.path() / "net-log.json";
    const BrowserRun run = run_chromium(*chromium, profile,
                                        {"--log-net-log=" + net_log.string(), "--dump-dom",
                                         "file://" + page.string() + "#selftest"});
    ASSERT_TRUE(run.exited) << run.err;
    const std::optional<Json> results = self_test_results(run.out);
    ASSERT_TRUE(results.has_value()) << run.out.substr(0, 2000) << run.err;
    const Json& r = *results;

    EXPECT_EQ(r.at("title"), root + " - ketterlin-scan");
    EXPECT_EQ(r.at("view"), root);
    EXPECT_EQ(r.at("areas").at("problems"), Json::array());
    EXPECT_GT(r.at("areas").at("checked"), 3);
    EXPECT_LT(r.at("areas").at("worstRelativeError"), 0.01);
    // Nothing was fetched, and nothing was even tried.
    EXPECT_EQ(r.at("resourcesLoaded"), Json::array());
    EXPECT_EQ(r.at("blocked"), Json::array());
    std::ifstream log_file(net_log);
    const std::string log((std::istreambuf_iterator<char>(log_file)),
                          std::istreambuf_iterator<char>());
    EXPECT_FALSE(log.empty());
    // Requests that a file:// page starts carry its opaque origin; Chromium's own (which the
    // resolver rules stop) carry none.
    for (const std::string_view initiator : {"\"initiator\":\"null\"", "\"initiator\":\"file:"}) {
      EXPECT_EQ(log.find(initiator), std::string::npos) << initiator;
    }
    EXPECT_TRUE(r.at("filesSortedByName").get<bool>());

    // A click on the largest folder zooms into it; the breadcrumb leads back.
    const Json& zoom = r.at("zoom");
    EXPECT_EQ(zoom.at("view"), root + "/docs");
    EXPECT_EQ(zoom.at("breadcrumb"), Json::array({root, "docs"}));
    EXPECT_EQ(zoom.at("areas").at("problems"), Json::array());
    EXPECT_LT(zoom.at("areas").at("worstRelativeError"), 0.01);
    EXPECT_EQ(r.at("afterBack"), root);
    // Hovering over a.pdf shows its path, kind and both sizes.
    EXPECT_EQ(zoom.at("tooltip"),
              Json::array({root + "/docs/a.pdf", "Documents and text",
                           "size on disk: 390.6 KiB (400,000 bytes)",
                           "logical size: 390.6 KiB (400,000 bytes)", "66.7 % of docs"}));

    if (c.budget >= 200'000) {
      EXPECT_EQ(r.at("merged"), 0);
      EXPECT_EQ(r.at("notice"), "");
      // The empty file has no rectangle.
      expect_areas(
          r.at("rectangles"),
          {{"docs", 600000 / total}, {"media", 250000 / total}, {"big.iso", 100000 / total}});
      expect_areas(zoom.at("rectangles"), {{"a.pdf", 400000 / 600000.0},
                                           {"b.txt", 100000 / 600000.0},
                                           {"<script>x", 50000 / 600000.0},
                                           {"a\u2028b\u2029c", 30000 / 600000.0},
                                           {"bad\uFFFD.txt", 20000 / 600000.0}});
    } else {
      // Nine nodes: the root, docs (a.pdf, b.txt, the rest merged), media (movie.mkv, the rest
      // merged), and the root's "(2 more entries)" for big.iso and the empty file.
      EXPECT_EQ(r.at("shown"), 9);
      EXPECT_NE(r.at("notice").get<std::string>().find("merged"), std::string::npos);
      expect_areas(r.at("rectangles"), {{"docs", 600000 / total},
                                        {"media", 250000 / total},
                                        {"(2 more entries)", 100000 / total}});
      expect_areas(zoom.at("rectangles"), {{"a.pdf", 400000 / 600000.0},
                                           {"b.txt", 100000 / 600000.0},
                                           {"(3 more entries)", 100000 / 600000.0}});
    }
  }

  // A screenshot of the first page, for people to look at.
  const fs::path screenshot = fs::path(KETTERLIN_TEST_OUTPUT_DIR) / "html_report_browser_test.png";
  fs::remove(screenshot);
  const BrowserRun shot =
      run_chromium(*chromium, folder.path() / "profile-shot",
                   {"--window-size=1280,800", "--screenshot=" + screenshot.string(),
                    "file://" + (folder.path() / "whole.html").string()});
  ASSERT_TRUE(shot.exited) << shot.err;
  std::ifstream png(screenshot, std::ios::binary);
  std::string signature(8, '\0');
  png.read(signature.data(), 8);
  EXPECT_EQ(signature, "\x89PNG\r\n\x1a\n");
  EXPECT_GT(fs::file_size(screenshot), 10000u);
}

}  // namespace
}  // namespace ketterlin::host
