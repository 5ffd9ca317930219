#include "host/exports/exports.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "host/session/test_trees.h"
#include "ketterlin/build_info.h"

namespace ketterlin::host {
namespace {

using Json = nlohmann::json;
using testing::sample_result;

Json json_export(const ScanResult& result) {
  std::ostringstream out;
  write_json_export(result, out);
  EXPECT_EQ(out.str().back(), '\n');
  return Json::parse(out.str());
}

Json ncdu_export(const ScanResult& result) {
  std::ostringstream out;
  write_ncdu_export(result, 1234, out);
  return Json::parse(out.str());
}

// Every node of `tree` below `node` against its JSON object: name, kind, totals, children in
// order; returns the number of objects compared.
std::size_t expect_same_tree(const ResultTree& tree, NodeIndex node, const Json& object) {
  EXPECT_EQ(object.at("name"), std::string(tree.name(node)));
  EXPECT_EQ(object.at("kind"), std::string(elevation::to_wire(tree.kind(node))));
  EXPECT_EQ(object.at("logicalBytes"), tree.totals(node).logical_bytes);
  EXPECT_EQ(object.at("modifiedAtEpochSeconds"), tree.modified_at(node));
  if (node != 0) {
    EXPECT_EQ(object.at("sizeOnDiskBytes"), tree.totals(node).size_on_disk_bytes);
  }
  std::size_t compared = 1;
  if (!tree.is_container(node)) {
    EXPECT_FALSE(object.contains("children"));
    return compared;
  }
  const Json& children = object.at("children");
  const auto expected = tree.children(node);
  EXPECT_GE(children.size(), expected.size());
  for (std::size_t i = 0; i < expected.size() && i < children.size(); ++i) {
    compared += expect_same_tree(tree, expected[i], children[i]);
  }
  return compared;
}

TEST(JsonExportTest, WritesTheWholeTreeWithTotalsAndUnknownSpace) {
  constexpr uint64_t kListed = (1 << 20) + 3 * 4096;
  const ScanResult result = sample_result(kListed + 500);
  const Json document = json_export(result);
  EXPECT_EQ(document.at("program"), "ketterlin-scan");
  EXPECT_EQ(document.at("version"), kVersion);
  EXPECT_EQ(document.at("mode"), "fullRoot");
  EXPECT_EQ(document.at("root"), "/v");
  EXPECT_EQ(document.at("elapsedMillis"), 1500);
  EXPECT_EQ(document.at("volume"), (Json{{"usedBytes", kListed + 500}, {"fileSystem", "other"}}));
  ASSERT_EQ(document.at("targets").size(), 1u);
  const Json& target = document.at("targets")[0];
  EXPECT_EQ(target.at("status"), "scanned");
  EXPECT_EQ(target.at("fileSystem"), "other");
  EXPECT_EQ(target.at("totals"), (Json{{"sizeOnDiskBytes", kListed},
                                       {"logicalBytes", 3000 + 10 + (1 << 20) + 100},
                                       {"files", 5},
                                       {"folders", 2},
                                       {"links", 1},
                                       {"restricted", 1},
                                       {"unmeasured", 0},
                                       {"hardLinkGroups", 1},
                                       {"unknownSpaceBytes", 500}}));
  const ResultTree& tree = *result.reports[0].tree;
  const Json& root = target.at("tree");
  EXPECT_EQ(expect_same_tree(tree, 0, root), tree.size());
  // The root includes the Unknown Space, which ends its children.
  EXPECT_EQ(root.at("sizeOnDiskBytes"), kListed + 500);
  EXPECT_EQ(root.at("children").back(), (Json{{"name", "Unknown Space"},
                                              {"kind", "unknownSpace"},
                                              {"sizeOnDiskBytes", 500},
                                              {"logicalBytes", 0},
                                              {"modifiedAtEpochSeconds", 0}}));
  const Json& docs = root.at("children")[0];
  EXPECT_EQ(docs.at("children")[2].at("hardLink"), (Json{{"names", 2}, {"counted", true}}));
  const Json& media = root.at("children")[1];
  EXPECT_EQ(media.at("children")[0].at("hardLink"), (Json{{"names", 2}, {"counted", false}}));
  EXPECT_EQ(root.at("children")[4].at("linkTarget"), "docs");
}

TEST(JsonExportTest, EscapesNamesAndMarksUnavailableTargets) {
  ScanResult result;
  result.mode = elevation::ElevatedScanMode::RestrictedTopUp;
  result.root = "/r";
  result.targets = {"/r/\"q\"", "/r/gone"};
  TargetReport scanned;
  scanned.state = TargetReport::State::Scanned;
  elevation::DecodedNode flagged =
      testing::node(1, 0, "/r/\"q\"/tab\there\x01", NodeRecordKind::File, 1, 1);
  flagged.flags.compressed = true;
  flagged.flags.deduplicated = true;
  scanned.tree = testing::build_tree(
      {testing::node(0, std::nullopt, "/r/\"q\"", NodeRecordKind::Folder), flagged});
  result.reports.push_back(std::move(scanned));
  result.reports.push_back(TargetReport{TargetReport::State::Unavailable, {}, {}, {}});
  const Json document = json_export(result);
  EXPECT_EQ(document.at("mode"), "restrictedTopUp");
  EXPECT_EQ(document.at("volume"), nullptr);
  const Json& targets = document.at("targets");
  EXPECT_EQ(targets[1], (Json{{"path", "/r/gone"}, {"status", "unavailable"}}));
  EXPECT_EQ(targets[0].at("fileSystem"), nullptr);
  EXPECT_EQ(targets[0].at("totals").at("unknownSpaceBytes"), nullptr);
  const Json& file = targets[0].at("tree").at("children")[0];
  EXPECT_EQ(file.at("name"), "tab\there\x01");
  EXPECT_EQ(file.at("flags"), (Json{"compressed", "deduplicated"}));
}

// ncdu's format: [1, 2, metadata, root directory]; a directory is an array whose first element
// is its info object.
TEST(NcduExportTest, WritesNcdusFormat) {
  constexpr uint64_t kListed = (1 << 20) + 3 * 4096;
  const ScanResult result = sample_result(kListed + 500);
  const Json document = ncdu_export(result);
  ASSERT_EQ(document.size(), 4u);
  EXPECT_EQ(document[0], 1);
  EXPECT_EQ(document[1], 2);
  EXPECT_EQ(document[2],
            (Json{{"progname", "ketterlin-scan"}, {"progver", kVersion}, {"timestamp", 1234}}));
  const Json& root = document[3];
  ASSERT_TRUE(root.is_array());
  EXPECT_EQ(root[0].at("name"), "/v");
  EXPECT_EQ(root[0].at("dev"), 2049);
  // docs: a directory with three files; "same" is a hard link with its real sizes.
  const Json& docs = root[1];
  ASSERT_TRUE(docs.is_array());
  EXPECT_EQ(docs[0].at("name"), "docs");
  EXPECT_EQ(
      docs[1],
      (Json{{"name", "report.pdf"}, {"asize", 3000}, {"dsize", 4096}, {"mtime", 1700000003}}));
  EXPECT_EQ(docs[3], (Json{{"name", "same"},
                           {"asize", 1 << 20},
                           {"dsize", 1 << 20},
                           {"ino", 77},
                           {"hlnkc", true},
                           {"nlink", 2},
                           {"mtime", 1700000006}}));
  EXPECT_EQ(root[2][1].at("ino"), 77);
  EXPECT_EQ(root[3],
            (Json::array({Json{{"name", "secret"}, {"mtime", 1700000007}, {"read_error", true}}})));
  EXPECT_EQ(root[5], (Json{{"name", "link"}, {"mtime", 1700000009}, {"notreg", true}}));
  EXPECT_EQ(root.back(), (Json{{"name", "Unknown Space"}, {"dsize", 500}, {"notreg", true}}));
}

TEST(NcduExportTest, MarksEntriesThatCouldNotBeMeasured) {
  ScanResult result = sample_result(0);
  std::vector<elevation::DecodedNode> nodes = testing::sample_nodes();
  nodes.push_back(testing::node(10, 0, "/v/unseen", NodeRecordKind::File));
  nodes.back().modified_at_epoch_seconds = 0;
  result.reports[0].tree = testing::build_tree(nodes);
  const Json root = ncdu_export(result)[3];
  EXPECT_EQ(root.back(), (Json{{"name", "unseen"}, {"read_error", true}}));
  // A measured file carries no mark.
  EXPECT_EQ(root[4].at("name"), "top.txt");
  EXPECT_FALSE(root[4].contains("read_error"));
}

TEST(NcduExportTest, NestsTheTargetsOfATopUpBelowTheRoot) {
  ScanResult result;
  result.mode = elevation::ElevatedScanMode::RestrictedTopUp;
  result.root = "/r";
  result.targets = {"/r/a/b", "/r/gone", "/elsewhere"};
  TargetReport first;
  first.tree =
      testing::build_tree({testing::node(0, std::nullopt, "/r/a/b", NodeRecordKind::Folder)});
  TargetReport third;
  third.tree =
      testing::build_tree({testing::node(0, std::nullopt, "/elsewhere", NodeRecordKind::Folder)});
  result.reports.push_back(std::move(first));
  result.reports.push_back(TargetReport{});
  result.reports.push_back(std::move(third));
  const Json root = ncdu_export(result)[3];
  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(root[0], (Json{{"name", "/r"}}));
  EXPECT_EQ(root[1][0].at("name"), "a/b");
  EXPECT_EQ(root[2][0].at("name"), "/elsewhere");
}

TEST(NcduExportTest, InodeNumbersFromFileIds) {
  NodeRecordIdentity inode{};
  inode.file_id = {0x01, 0x02, 0, 0, 0, 0, 0, 0x80};
  EXPECT_EQ(ncdu_inode(inode), 0x8000000000000201ULL);
  NodeRecordIdentity wide = inode;
  wide.file_id[8] = 1;
  EXPECT_NE(ncdu_inode(wide), ncdu_inode(inode));
}

}  // namespace
}  // namespace ketterlin::host
