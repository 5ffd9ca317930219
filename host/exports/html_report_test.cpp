#include "host/exports/html_report.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>

#include "host/session/test_trees.h"
#include "platform/unicode.h"

namespace ketterlin::host {
namespace {

using html::Category;
using html::PageNode;
using html::PageTree;
using Json = nlohmann::json;
using testing::build_tree;
using testing::node;
using Kind = NodeRecordKind;

// The packed numbers of the page, read back independently of the writer.
std::vector<uint64_t> unpack(std::string_view text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::vector<uint64_t> values;
  uint64_t value = 0;
  int shift = 0;
  for (const char c : text) {
    const std::size_t digit = alphabet.find(c);
    EXPECT_NE(digit, std::string::npos) << "character " << c;
    value |= static_cast<uint64_t>(digit & 31) << shift;
    shift += 5;
    if (digit < 32) {
      values.push_back(value);
      value = 0;
      shift = 0;
    }
  }
  EXPECT_EQ(shift, 0) << "the text ends inside a number";
  return values;
}

TEST(HtmlReportTest, PacksNumbersInBase32LeastSignificantDigitFirst) {
  struct Case {
    uint64_t value;
    std::string_view packed;
  } cases[] = {
      {0, "A"},
      {31, "f"},
      {32, "gB"},
      {1023, "_f"},
      {1024, "ggB"},
      {4096, "ggE"},
      {UINT32_MAX, "______D"},
      {UINT64_MAX, "____________P"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::string out;
    html::append_packed(out, c.value);
    EXPECT_EQ(out, c.packed);
    EXPECT_EQ(unpack(out), std::vector<uint64_t>{c.value});
  }
}

TEST(HtmlReportTest, ScriptStringsCannotLeaveTheScriptElement) {
  struct Case {
    std::string_view name;
    std::string text;
    std::string parsed;  // what JSON.parse gives back
  } cases[] = {
      {"plain", "report.pdf", "report.pdf"},
      {"quote and backslash", "a\"b\\c", "a\"b\\c"},
      {"end of script", "</script><script>alert(1)</script>", "</script><script>alert(1)</script>"},
      {"end of script in capitals", "</SCRIPT >", "</SCRIPT >"},
      {"comment opener", "<!--x-->", "<!--x-->"},
      {"ampersand", "a&amp;b", "a&amp;b"},
      {"control characters", std::string("a\nb\tc\x1b\x7f", 7), std::string("a\nb\tc\x1b\x7f", 7)},
      {"line and paragraph separators", "a\u2028b\u2029c", "a\u2028b\u2029c"},
      {"other non-ASCII kept", "Gr\u00fc\u00dfe \U0001F600", "Gr\u00fc\u00dfe \U0001F600"},
      {"invalid byte",
       "a\xff"
       "b",
       "a\uFFFD"
       "b"},
      {"truncated sequence", "a\xe2\x80", "a\uFFFD"},
      {"overlong slash", "\xc0\xaf", "\uFFFD\uFFFD"},
      {"surrogate", "\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    html::append_script_string(out, c.text);
    EXPECT_EQ(out.find('<'), std::string::npos) << out;
    EXPECT_EQ(out.find('>'), std::string::npos) << out;
    EXPECT_EQ(out.find("\u2028"), std::string::npos) << out;
    EXPECT_EQ(out.find("\u2029"), std::string::npos) << out;
    const Json parsed = Json::parse(out);
    EXPECT_EQ(parsed.get<std::string>(), c.parsed);
  }
}

TEST(HtmlReportTest, HtmlEscapesMarkupCharacters) {
  EXPECT_EQ(html::escape_html("<a href=\"x\">Tom's & Jerry's</a>"),
            "&lt;a href=&quot;x&quot;&gt;Tom&#39;s &amp; Jerry&#39;s&lt;/a&gt;");
  EXPECT_EQ(html::escape_html("caf\xe9"), "caf\uFFFD");
}

TEST(HtmlReportTest, FileCategoriesComeFromTheExtension) {
  struct Case {
    std::string_view name;
    Category category;
  } cases[] = {
      {"photo.jpg", Category::Image},
      {"PHOTO.JPEG", Category::Image},
      {"movie.mkv", Category::Video},
      {"song.flac", Category::Audio},
      {"backup.tar.gz", Category::Archive},
      {"paper.pdf", Category::Document},
      {"main.cpp", Category::SourceCode},
      {"stdio.h", Category::SourceCode},
      {"setup.exe", Category::Program},
      {"libz.so", Category::Program},
      {"libz.so.1", Category::Program},
      {"libz.so.1.2.13", Category::Program},
      {"disk.qcow2", Category::DiskImage},
      {"app.sqlite3", Category::Data},
      {"Makefile", Category::OtherFile},
      {".bashrc", Category::OtherFile},
      {".png", Category::OtherFile},
      {"trailing.", Category::OtherFile},
      {"unknown.qqq", Category::OtherFile},
      {"notes.so.txt.bak", Category::OtherFile},
      {"libz.so.", Category::OtherFile},
      {"libz.so.1a", Category::OtherFile},
      {"long.averyverylongextension", Category::OtherFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(html::file_category(c.name), c.category);
  }
  const auto names = html::category_names();
  for (const Category category : {Category::OtherFile, Category::Data, Category::Folder,
                                  Category::UnknownSpace, Category::Merged}) {
    EXPECT_FALSE(names.at(static_cast<std::size_t>(category)).empty());
  }
}

// The page's nodes as text: "name(size)[children]" in preorder, "[n]" only for nodes with
// children.
std::string describe(const PageTree& page, const html::NameTable& names) {
  std::string text;
  for (const PageNode& node : page.nodes) {
    if (!text.empty()) text += " ";
    text += *names.names()[node.name] + "(" + std::to_string(node.size) + ")";
    if (node.child_count > 0) text += "[" + std::to_string(node.child_count) + "]";
  }
  return text;
}

// /r: big/ (f1 1000, f2 500, f3 10, f4 5), mid/ (g1 300, g2 200), small.txt 50, tiny.txt 1;
// logical sizes are a tenth of the sizes on disk.
ResultTree merge_sample() {
  auto file = [](uint64_t id, uint64_t parent, std::string_view path, uint64_t bytes) {
    return node(id, parent, path, Kind::File, bytes / 10, bytes);
  };
  return build_tree({
      node(0, std::nullopt, "/r", Kind::Folder),
      node(1, 0, "/r/big", Kind::Folder),
      node(2, 0, "/r/mid", Kind::Folder),
      file(3, 0, "/r/small.txt", 50),
      file(4, 0, "/r/tiny.txt", 1),
      file(5, 1, "/r/big/f1", 1000),
      file(6, 1, "/r/big/f2", 500),
      file(7, 1, "/r/big/f3", 10),
      file(8, 1, "/r/big/f4", 5),
      file(9, 2, "/r/mid/g1", 300),
      file(10, 2, "/r/mid/g2", 200),
  });
}

TEST(HtmlReportTest, KeepsTheLargestEntriesThatFitAndMergesTheRestPerFolder) {
  const ResultTree tree = merge_sample();
  struct Case {
    uint32_t budget;
    std::optional<uint64_t> unknown_space;
    std::string_view expected;
  } cases[] = {
      {11, std::nullopt,
       "/r(2066)[4] big(1515)[4] f1(1000) f2(500) f3(10) f4(5) mid(500)[2] g1(300) g2(200) "
       "small.txt(50) tiny.txt(1)"},
      {10, std::nullopt,
       "/r(2066)[4] big(1515)[3] f1(1000) f2(500) (2 more entries)(15) mid(500)[2] g1(300) "
       "g2(200) small.txt(50) (1 more entry)(1)"},
      {5, std::nullopt,
       "/r(2066)[2] big(1515)[2] f1(1000) (3 more entries)(515) (3 more entries)(551)"},
      {2, std::nullopt, "/r(2066)[1] (4 more entries)(2066)"},
      {0, std::nullopt, "/r(2066)[1] (4 more entries)(2066)"},
      {5, 7000,
       "/r(9066)[3] Unknown Space(7000) big(1515)[1] (4 more entries)(1515) "
       "(3 more entries)(551)"},
      {12, 7000,
       "/r(9066)[5] Unknown Space(7000) big(1515)[4] f1(1000) f2(500) f3(10) f4(5) mid(500)[2] "
       "g1(300) g2(200) small.txt(50) tiny.txt(1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("budget " + std::to_string(c.budget));
    html::NameTable names;
    const PageTree page =
        html::build_page_tree(tree, c.unknown_space, false, c.budget, "/r", names);
    EXPECT_EQ(describe(page, names), c.expected);
    EXPECT_EQ(page.entries, tree.size() + (c.unknown_space ? 1 : 0));
  }
}

TEST(HtmlReportTest, ApparentSizesRankAndSizeTheNodes) {
  html::NameTable names;
  const PageTree page = html::build_page_tree(merge_sample(), 100, true, 5, "/r", names);
  // Logical sizes are a tenth; the Unknown Space has no logical size.
  EXPECT_EQ(describe(page, names),
            "/r(206)[3] big(151)[1] (4 more entries)(151) (3 more entries)(55) "
            "Unknown Space(0)");
  EXPECT_EQ(page.nodes[0].other_size, 2066u + 100u);
}

// A random tree of `count` nodes with folders of skewed fan-out and a few hard links.
ResultTree random_tree(uint32_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<elevation::DecodedNode> nodes;
  std::vector<std::string> paths{"/x"};
  std::vector<uint64_t> folders{0};
  nodes.push_back(node(0, std::nullopt, "/x", Kind::Folder, 0, 512));
  std::deque<std::string> storage;
  for (uint64_t id = 1; id < count; ++id) {
    const uint64_t parent = folders[random() % folders.size() / (1 + random() % 3)];
    storage.push_back(paths[parent] + "/n" + std::to_string(id));
    paths.push_back(storage.back());
    const bool folder = random() % 5 == 0;
    // Folders of their own 512 bytes on disk, as a directory's blocks would be.
    const uint64_t bytes = folder ? 0 : (uint64_t{1} << (random() % 24)) + random() % 4096;
    const std::optional<uint64_t> inode =
        folder ? std::nullopt : std::optional<uint64_t>(random() % 50 == 0 ? 1 : id + 10);
    nodes.push_back(node(id, parent, storage.back(), folder ? Kind::Folder : Kind::File, bytes,
                         folder ? 512 : bytes + 512, inode));
    if (folder) folders.push_back(id);
  }
  return build_tree(nodes);
}

TEST(HtmlReportTest, MergedPagesStayWithinTheBudgetAndKeepEverySum) {
  const ResultTree tree = random_tree(3000, 11);
  ASSERT_EQ(tree.size(), 3000u);
  for (const uint32_t budget : {2u, 3u, 10u, 100u, 1000u, 2999u, 3000u, 5000u}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    html::NameTable names;
    const PageTree page = html::build_page_tree(tree, std::nullopt, false, budget, "/x", names);
    ASSERT_FALSE(page.nodes.empty());
    EXPECT_LE(page.nodes.size(), std::max(budget, 2u));
    EXPECT_EQ(page.merged == 0, budget >= tree.size());
    EXPECT_EQ(page.nodes[0].size, tree.totals(0).size_on_disk_bytes);
    EXPECT_EQ(page.nodes[0].other_size, tree.totals(0).logical_bytes);
    // Every node's sizes are its children's together, and children come largest first.
    uint64_t merged_entries = 0;
    std::size_t position = 0;
    std::function<void()> walk = [&] {
      const PageNode& parent = page.nodes.at(position++);
      if (parent.category == Category::Merged) {
        merged_entries += std::stoull(names.names()[parent.name]->substr(1));
      }
      if (parent.child_count == 0) return;
      uint64_t size = 0;
      uint64_t other = 0;
      uint64_t previous = UINT64_MAX;
      for (uint32_t k = 0; k < parent.child_count; ++k) {
        const PageNode& child = page.nodes.at(position);
        EXPECT_LE(child.size, previous);
        previous = child.size;
        size += child.size;
        other += child.other_size;
        walk();
      }
      // A folder's own bytes (512 on disk here) are the one part no child holds.
      const uint64_t own = parent.category == Category::Folder ? 512 : 0;
      EXPECT_EQ(size + own, parent.size);
      EXPECT_EQ(other, parent.other_size);
    };
    walk();
    EXPECT_EQ(position, page.nodes.size());
    // "(n more entries)" counts direct entries; the entries below them are merged too.
    EXPECT_LE(merged_entries, page.merged);
    EXPECT_EQ(merged_entries == 0, page.merged == 0);
  }
}

// The JSON object in the page's data element.
Json page_data(const std::string& page) {
  const std::string open = "<script id=\"scan-data\" type=\"application/json\">";
  const std::size_t start = page.find(open);
  EXPECT_NE(start, std::string::npos);
  if (start == std::string::npos) return {};
  const std::size_t end = page.find("</script>", start);
  return Json::parse(page.substr(start + open.size(), end - start - open.size()));
}

std::size_t occurrences(std::string_view text, std::string_view part) {
  std::size_t found = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos;
       at = text.find(part, at + 1)) {
    ++found;
  }
  return found;
}

TEST(HtmlReportTest, PageEmbedsTheTreeCompactlyAndSafely) {
  // 500 bytes of Unknown Space beside the sample and the three files added below.
  ScanResult result = testing::sample_result((1 << 20) + 3 * 4096 + 3 * 8 + 500);
  // Hostile names: an end of script and a comment opener in the root's path (the one name with
  // slashes), a script opener, separators that end a JavaScript line, invalid UTF-8.
  const std::string root = "/v</script><!--x";
  std::deque<std::string> paths;
  TreeBuilder builder(PathStyle::Posix);
  auto add = [&](elevation::DecodedNode fields) {
    paths.push_back(root + std::string(fields.path.substr(2)));
    fields.path = paths.back();
    return builder.add(fields).has_value();
  };
  for (const elevation::DecodedNode& fields : testing::sample_nodes()) ASSERT_TRUE(add(fields));
  ASSERT_TRUE(add(node(10, 1, "/v/docs/<script>", Kind::File, 7, 8)));
  ASSERT_TRUE(add(node(11, 1, "/v/docs/a\u2028b\u2029c", Kind::File, 7, 8)));
  ASSERT_TRUE(add(node(12, 1, "/v/docs/bad\xff.txt", Kind::File, 7, 8)));
  result.reports[0].tree = std::move(builder).finish().value();
  result.root = root;
  result.targets = {root};

  std::ostringstream out;
  write_html_report(result, {}, out);
  const std::string page = out.str();
  ASSERT_TRUE(out);
  // Only the page's own three script elements end.
  EXPECT_EQ(occurrences(page, "</script>"), 3u);
  EXPECT_EQ(occurrences(page, "\u2028"), 0u);
  for (const std::string_view marker : {"@TITLE@", "@STYLE@", "@DATA@", "@SCRIPT@"}) {
    EXPECT_EQ(page.find(marker), std::string::npos) << marker;
  }
  EXPECT_NE(page.find("<title>/v&lt;/script&gt;&lt;!--x - ketterlin-scan</title>"),
            std::string::npos);
  EXPECT_NE(page.find("treemapSquarify"), std::string::npos);  // the layout library is inline
  EXPECT_EQ(page.find("src="), std::string::npos);             // and nothing is loaded

  const Json data = page_data(page);
  EXPECT_EQ(data.at("measure"), "sizeOnDisk");
  EXPECT_EQ(data.at("entries"), 14);  // 13 nodes and the Unknown Space
  EXPECT_EQ(data.at("shown"), 14);
  EXPECT_EQ(data.at("merged"), 0);
  EXPECT_EQ(data.at("totals").at("unknownSpaceBytes"), 500);
  const auto names = data.at("names").get<std::vector<std::string>>();
  // Each name once, however often it occurs.
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
  const std::vector<uint64_t> numbers = unpack(data.at("nodes").get<std::string>());
  ASSERT_EQ(numbers.size(), 14u * 5);
  // Read back in preorder: the paths, each node's size and the category of each file.
  const ResultTree& tree = *result.reports[0].tree;
  std::map<std::string, std::pair<uint64_t, uint64_t>> sizes;  // by path: category, size
  std::vector<std::pair<std::string, uint64_t>> open;          // path, children still to come
  for (std::size_t i = 0; i < numbers.size(); i += 5) {
    while (!open.empty() && open.back().second == 0) open.pop_back();
    std::string path = names.at(numbers[i + 1]);
    if (!open.empty()) {
      path = open.back().first + "/" + path;
      --open.back().second;
    }
    sizes[path] = {numbers[i + 2], numbers[i + 3]};
    open.emplace_back(path, numbers[i]);
  }
  for (NodeIndex index = 1; index < tree.size(); ++index) {
    const std::string path = platform::utf8_lossy(tree.path(index));
    SCOPED_TRACE(path);
    ASSERT_EQ(sizes.count(path), 1u);
    EXPECT_EQ(sizes[path].second, tree.totals(index).size_on_disk_bytes);
  }
  EXPECT_EQ(sizes[root].second, tree.totals(0).size_on_disk_bytes + 500);
  EXPECT_EQ(sizes[root + "/Unknown Space"],
            std::make_pair(uint64_t{static_cast<uint64_t>(Category::UnknownSpace)}, uint64_t{500}));
  EXPECT_EQ(sizes[root + "/docs/report.pdf"].first, static_cast<uint64_t>(Category::Document));
  EXPECT_EQ(sizes[root + "/secret"].first, static_cast<uint64_t>(Category::Restricted));
  EXPECT_EQ(sizes[root + "/link"].first, static_cast<uint64_t>(Category::Link));
  // The hard-link group counts once.
  EXPECT_EQ(sizes[root + "/docs/same"].second + sizes[root + "/media/big.bin"].second, 1u << 20);
  EXPECT_EQ(sizes.count(root + "/docs/<script>"), 1u);
  EXPECT_EQ(sizes.count(root + "/docs/a\u2028b\u2029c"), 1u);
  EXPECT_EQ(sizes.count(root + "/docs/bad\uFFFD.txt"), 1u);
}

TEST(HtmlReportTest, SeveralTargetsHangBelowTheRootAndUnavailableOnesAreListed) {
  ScanResult result;
  result.mode = elevation::ElevatedScanMode::RestrictedTopUp;
  result.root = "/v";
  result.targets = {"/v/docs", "/v/gone", "/v/media"};
  auto scanned = [](std::vector<elevation::DecodedNode> nodes) {
    TargetReport report;
    report.state = TargetReport::State::Scanned;
    report.tree = build_tree(nodes);
    return report;
  };
  result.reports.push_back(scanned({node(0, std::nullopt, "/v/docs", Kind::Folder),
                                    node(1, 0, "/v/docs/a.txt", Kind::File, 10, 4096),
                                    node(2, 0, "/v/docs/c.txt", Kind::File, 5, 4096)}));
  TargetReport gone;
  gone.state = TargetReport::State::Unavailable;
  result.reports.push_back(std::move(gone));
  result.reports.push_back(scanned({node(0, std::nullopt, "/v/media", Kind::Folder),
                                    node(1, 0, "/v/media/b.mp4", Kind::File, 9000, 12288)}));
  // Each target gets its share of the budget; a budget of 0 counts as the smallest one: the
  // folder above, then two nodes per target (docs merges its files into one node).
  std::ostringstream merged;
  write_html_report(result, {.node_budget = 0}, merged);
  const Json small = page_data(merged.str());
  EXPECT_EQ(unpack(small.at("nodes").get<std::string>()).size(), 5u * 5);
  EXPECT_EQ(small.at("merged"), 2);

  std::ostringstream out;
  write_html_report(result, {.apparent = true}, out);
  const Json data = page_data(out.str());
  EXPECT_EQ(data.at("measure"), "logical");
  EXPECT_EQ(data.at("unavailable"), Json::array({"/v/gone"}));
  const auto names = data.at("names").get<std::vector<std::string>>();
  const std::vector<uint64_t> numbers = unpack(data.at("nodes").get<std::string>());
  ASSERT_EQ(numbers.size(), 6u * 5);
  std::vector<std::string> described;
  for (std::size_t i = 0; i < numbers.size(); i += 5) {
    described.push_back(names.at(numbers[i + 1]) + " " + std::to_string(numbers[i]) + " " +
                        std::to_string(numbers[i + 3]) + " " + std::to_string(numbers[i + 4]));
  }
  EXPECT_EQ(described, (std::vector<std::string>{"/v 2 9015 20480", "docs 2 15 8192",
                                                 "a.txt 0 10 4096", "c.txt 0 5 4096",
                                                 "media 1 9000 12288", "b.mp4 0 9000 12288"}));
}

}  // namespace
}  // namespace ketterlin::host
