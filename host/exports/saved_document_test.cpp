#include "host/exports/saved_document.h"

#include <gtest/gtest.h>

#include <sstream>

#include "host/exports/exports.h"
#include "host/session/test_trees.h"

namespace ketterlin::host {
namespace {

tl::expected<SavedDocument, LoadError> read(const std::string& text) {
  std::istringstream in(text);
  return read_saved_document(in);
}

std::string exported(const ScanResult& result) {
  std::ostringstream out;
  write_json_export(result, out);
  return out.str();
}

// Every node of the loaded tree says what the scanned one says, in the same places.
void expect_same_tree(const ResultTree& scanned, const BrowseTree& loaded) {
  ASSERT_EQ(loaded.size(), scanned.size());
  // Walk both in step: the document keeps the children's order.
  std::vector<std::pair<NodeIndex, NodeIndex>> pending{{0, 0}};
  while (!pending.empty()) {
    const auto [a, b] = pending.back();
    pending.pop_back();
    SCOPED_TRACE(scanned.path(a));
    EXPECT_EQ(loaded.path(b), scanned.path(a));
    EXPECT_EQ(loaded.kind(b), scanned.kind(a));
    EXPECT_EQ(loaded.totals(b), scanned.totals(a));
    EXPECT_EQ(loaded.modified_at(b), scanned.modified_at(a));
    EXPECT_EQ(loaded.link_count(b), scanned.link_count(a));
    EXPECT_EQ(loaded.counted_elsewhere(b), scanned.counted_elsewhere(a));
    EXPECT_EQ(loaded.link_target(b), scanned.link_target(a));
    EXPECT_EQ(loaded.flags(b).sparse, scanned.flags(a).sparse);
    const auto left = scanned.children(a);
    const auto right = loaded.children(b);
    ASSERT_EQ(left.size(), right.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
      EXPECT_EQ(loaded.parent(right[i]), b);
      pending.push_back({left[i], right[i]});
    }
  }
}

TEST(SavedDocumentTest, ReadsBackWhatTheExportWrote) {
  ScanResult result = testing::sample_result((1 << 20) + 3 * 4096 + 5000);  // 5000 B unexplained
  auto nodes = testing::sample_nodes();
  nodes[8].flags.sparse = true;
  nodes[8].path = "/v/top \"quoted\"\n.txt";
  result.reports[0].tree = testing::build_tree(nodes);
  TargetReport unavailable;
  unavailable.state = TargetReport::State::Unavailable;
  result.reports.push_back(std::move(unavailable));
  result.targets.push_back("/v/gone");

  auto document = read(exported(result));
  ASSERT_TRUE(document) << to_string(document.error());
  EXPECT_EQ(document->mode, elevation::ElevatedScanMode::FullRoot);
  EXPECT_EQ(document->root, "/v");
  EXPECT_EQ(document->elapsed_millis, 1500u);
  ASSERT_EQ(document->targets.size(), 2u);
  EXPECT_EQ(document->targets[0].path, "/v");
  EXPECT_EQ(document->targets[0].unknown_space, std::optional<uint64_t>(5000));
  ASSERT_TRUE(document->targets[0].tree);
  expect_same_tree(*result.reports[0].tree, *document->targets[0].tree);
  EXPECT_EQ(document->targets[1].path, "/v/gone");
  EXPECT_FALSE(document->targets[1].tree);
}

TEST(SavedDocumentTest, KeysInAnyOrderAndUnknownKeysAreAccepted) {
  auto document =
      read(R"({"targets":[{"tree":{"children":[{"kind":"file","name":"a","logicalBytes":1,)"
           R"("sizeOnDiskBytes":2,"later":{"x":[1,{"y":2}]}}],"name":"/r","kind":"folder",)"
           R"("sizeOnDiskBytes":2,"logicalBytes":1},"status":"scanned","path":"/r"}],)"
           R"("mode":"restrictedTopUp","root":"/","program":"ketterlin-scan","extra":[[]]})");
  ASSERT_TRUE(document) << to_string(document.error());
  EXPECT_EQ(document->mode, elevation::ElevatedScanMode::RestrictedTopUp);
  const LoadedTree& tree = *document->targets.at(0).tree;
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_EQ(tree.path(1), "/r/a");
  EXPECT_EQ(tree.totals(1), (Sizes{1, 2}));
}

TEST(SavedDocumentTest, AFileThatIsNoDocumentGetsAClearError) {
  const std::string head = R"({"program":"ketterlin-scan","mode":"fullRoot","root":"/r",)";
  const std::string node = R"("name":"/r","kind":"folder","sizeOnDiskBytes":0,"logicalBytes":0)";
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"empty", "",
       "not JSON: parse error at line 1, column 1: syntax error while parsing value - unexpected "
       "end of input; expected '[', '{', or a literal"},
      {"cut short", head + R"("targets":[)",
       "not JSON: parse error at line 1, column 70: syntax error while parsing value - unexpected "
       "end of input; expected '[', '{', or a literal"},
      {"trailing text", head + R"("targets":[]} x)",
       "not JSON: parse error at line 1, column 73: syntax error while parsing value - invalid "
       "literal; last read: '\"targets\":[]} x'; expected end of input"},
      {"an ncdu export", R"([1,2,{"progname":"ketterlin-scan"},[{"name":"/r"}]])",
       "not a ketterlin-scan document (no \"program\":\"ketterlin-scan\")"},
      {"another program", R"({"program":"other","targets":[]})",
       "not a ketterlin-scan document (no \"program\":\"ketterlin-scan\")"},
      {"no targets", head + R"("elapsedMillis":1})", "the document has no \"targets\""},
      {"no mode", R"({"program":"ketterlin-scan","root":"/","targets":[]})",
       "the document has no \"mode\""},
      {"unknown mode", R"({"program":"ketterlin-scan","mode":"half","root":"/","targets":[]})",
       "\"mode: half\" of the document is not a known value"},
      {"targets not an array", head + R"("targets":{}})",
       "\"targets\" of the document has the wrong type"},
      {"a target without status", head + R"("targets":[{"path":"/r"}]})",
       "target 1 has no \"status\""},
      {"a scanned target without tree", head + R"("targets":[{"path":"/r","status":"scanned"}]})",
       "target 1 has no \"tree\""},
      {"an unknown status", head + R"("targets":[{"path":"/r","status":"maybe"}]})",
       "\"status: maybe\" of target 1 is not a known value"},
      {"a node without its size",
       head + R"("targets":[{"path":"/r","status":"scanned","tree":{"name":"/r","kind":"folder",)"
              R"("logicalBytes":0}}]})",
       "node 0 of target 1 has no \"sizeOnDiskBytes\""},
      {"a negative size",
       head + R"("targets":[{"path":"/r","status":"scanned","tree":{)" + node +
           R"(,"children":[{"name":"a","kind":"file","sizeOnDiskBytes":-1,"logicalBytes":0}]}}]})",
       "\"sizeOnDiskBytes\" of node 1 of target 1 has the wrong type"},
      {"an unknown kind",
       head + R"("targets":[{"path":"/r","status":"scanned","tree":{)" + node +
           R"(,"children":[{"name":"a","kind":"pipe","sizeOnDiskBytes":1,"logicalBytes":0}]}}]})",
       "\"kind: pipe\" of node 1 of target 1 is not a known value"},
      {"a child that is no object",
       head + R"("targets":[{"path":"/r","status":"scanned","tree":{)" + node +
           R"(,"children":[7]}}]})",
       "\"children\" of node 0 of target 1 has the wrong type"},
      {"Unknown Space below a folder",
       head + R"("targets":[{"path":"/r","status":"scanned","tree":{)" + node +
           R"(,"children":[{"name":"d","kind":"folder","sizeOnDiskBytes":1,"logicalBytes":0,)"
           R"("children":[{"name":"U","kind":"unknownSpace","sizeOnDiskBytes":1,)"
           R"("logicalBytes":0}]}]}}]})",
       "\"kind: unknownSpace\" of node 2 of target 1 is not a known value"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    auto document = read(test.text);
    ASSERT_FALSE(document);
    EXPECT_EQ(to_string(document.error()), test.expected);
  }
}

TEST(SavedDocumentTest, AFileThatCannotBeOpenedSaysSo) {
  auto missing = load_saved_document(platform::from_utf8("/no-such-scan.json"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, LoadError::Kind::OpenFailed);
  EXPECT_EQ(to_string(missing.error()),
            "cannot open: " + platform::to_string(platform::OsError{2}));
  auto folder = load_saved_document(platform::from_utf8("/"));
  ASSERT_FALSE(folder);
  EXPECT_EQ(to_string(folder.error()), "a folder, not a document");
}

}  // namespace
}  // namespace ketterlin::host
