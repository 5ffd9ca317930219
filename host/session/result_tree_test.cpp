#include "host/session/result_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

#include "platform/os_string.h"
#include "storage/model.h"

namespace ketterlin::host {
namespace {

using Kind = NodeRecordKind;

elevation::DecodedNode folder(uint64_t id, std::optional<uint64_t> parent, std::string_view path) {
  elevation::DecodedNode node;
  node.id = id;
  node.parent_id = parent;
  node.path = path;
  node.kind = parent ? Kind::Folder : Kind::Drive;
  return node;
}

elevation::DecodedNode file(uint64_t id, uint64_t parent, std::string_view path, uint64_t logical,
                            uint64_t on_disk, std::optional<uint64_t> inode = std::nullopt,
                            uint64_t volume = 1) {
  elevation::DecodedNode node;
  node.id = id;
  node.parent_id = parent;
  node.path = path;
  node.kind = Kind::File;
  node.logical_bytes = logical;
  node.size_on_disk_bytes = on_disk;
  if (inode) {
    NodeRecordIdentity identity;
    identity.volume_serial = volume;
    for (int i = 0; i < 8; ++i) identity.file_id[i] = static_cast<uint8_t>(*inode >> (8 * i));
    node.identity = identity;
  }
  return node;
}

ResultTree build(const std::vector<elevation::DecodedNode>& nodes,
                 PathStyle style = PathStyle::Posix) {
  TreeBuilder builder(style);
  for (const elevation::DecodedNode& node : nodes) {
    auto added = builder.add(node);
    EXPECT_TRUE(added.has_value()) << to_string(added.error());
  }
  auto tree = std::move(builder).finish();
  EXPECT_TRUE(tree.has_value());
  return std::move(*tree);
}

// The index of the node whose full path is `path`.
NodeIndex find(const ResultTree& tree, std::string_view path) {
  for (NodeIndex node = 0; node < tree.size(); ++node) {
    if (tree.path(node) == path) return node;
  }
  ADD_FAILURE() << "no node " << path;
  return 0;
}

TEST(ChildPathTest, SplitsAndJoinsAsTheHelperJoins) {
  struct Row {
    const char* name;
    PathStyle style;
    std::string_view parent;
    std::string_view path;
    std::optional<std::string_view> child;
  };
  const std::vector<Row> rows = {
      {"posix child", PathStyle::Posix, "/data", "/data/a", "a"},
      {"posix root", PathStyle::Posix, "/", "/etc", "etc"},
      {"posix grandchild", PathStyle::Posix, "/data", "/data/a/b", std::nullopt},
      {"posix sibling with common prefix", PathStyle::Posix, "/data", "/database", std::nullopt},
      {"posix doubled separator", PathStyle::Posix, "/data", "/data//a", std::nullopt},
      {"posix backslash is a name character", PathStyle::Posix, "/d", "/d/a\\b", "a\\b"},
      {"posix same path", PathStyle::Posix, "/data", "/data", std::nullopt},
      {"posix empty name", PathStyle::Posix, "/data", "/data/", std::nullopt},
      {"windows verbatim drive root", PathStyle::Windows, "\\\\?\\C:\\", "\\\\?\\C:\\Users",
       "Users"},
      {"windows folder", PathStyle::Windows, "C:\\Users", "C:\\Users\\a.txt", "a.txt"},
      {"windows slash in the name", PathStyle::Windows, "C:\\a", "C:\\a\\b/c", std::nullopt},
      {"windows slash as the separator", PathStyle::Windows, "C:\\a", "C:\\a/b", std::nullopt},
      {"windows parent ending in slash", PathStyle::Windows, "C:/", "C:/x", "x"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto child = child_name(row.parent, row.path, row.style);
    EXPECT_EQ(child, row.child);
    if (child) {
      std::string joined(row.parent);
      platform::append_path(joined, *child, row.style);
      EXPECT_EQ(joined, row.path);
    }
  }
}

TEST(TreeBuilderTest, RebuildsNamesPathsChildrenAndTotals) {
  const ResultTree tree = build({
      folder(0, std::nullopt, "/r"),
      folder(1, 0, "/r/a"),
      file(2, 0, "/r/top.txt", 10, 4096),
      file(3, 1, "/r/a/x", 100, 8192),
      folder(4, 1, "/r/a/empty"),
      file(5, 1, "/r/a/y", 1, 512),
  });
  ASSERT_EQ(tree.size(), 6u);
  EXPECT_EQ(tree.name(0), "/r");
  EXPECT_EQ(tree.name(3), "x");
  EXPECT_EQ(tree.path(5), "/r/a/y");
  EXPECT_EQ(tree.parent(3), 1u);
  EXPECT_EQ(std::vector<NodeIndex>(tree.children(0).begin(), tree.children(0).end()),
            (std::vector<NodeIndex>{1, 2}));
  EXPECT_EQ(std::vector<NodeIndex>(tree.children(1).begin(), tree.children(1).end()),
            (std::vector<NodeIndex>{3, 4, 5}));
  EXPECT_TRUE(tree.children(4).empty());
  EXPECT_EQ(tree.totals(1), (Sizes{101, 8704}));
  EXPECT_EQ(tree.totals(0), (Sizes{111, 12800}));
  EXPECT_EQ(tree.totals(4), (Sizes{0, 0}));
  EXPECT_EQ(tree.counts(), (TreeCounts{3, 2, 0, 0, 0}));
}

// The helper skips the Unknown Space node but keeps its id: ids may jump, and a later node may
// name a parent from before the gap.
TEST(TreeBuilderTest, AcceptsGapsInIds) {
  const ResultTree tree = build({
      folder(0, std::nullopt, "/r"),
      folder(1, 0, "/r/a"),
      file(3, 1, "/r/a/x", 5, 5),
      file(9, 0, "/r/y", 7, 7),
      file(10, 1, "/r/a/z", 1, 1),
  });
  ASSERT_EQ(tree.size(), 5u);
  EXPECT_EQ(tree.path(4), "/r/a/z");
  EXPECT_EQ(tree.totals(find(tree, "/r/a")), (Sizes{6, 6}));
  EXPECT_EQ(tree.totals(0), (Sizes{13, 13}));
}

TEST(TreeBuilderTest, CountsEveryKind) {
  elevation::DecodedNode link = file(4, 0, "/r/l", 0, 0);
  link.kind = Kind::SymbolicLink;
  link.link_target = "a";
  elevation::DecodedNode restricted = folder(5, 0, "/r/secret");
  restricted.kind = Kind::Restricted;
  elevation::DecodedNode mount = folder(6, 0, "/r/mnt");
  mount.kind = Kind::VolumeMountPoint;
  const ResultTree tree =
      build({folder(0, std::nullopt, "/r"), folder(1, 0, "/r/a"), file(2, 1, "/r/a/f", 1, 1),
             file(3, 0, "/r/g", 1, 1), link, restricted, mount});
  EXPECT_EQ(tree.counts(), (TreeCounts{2, 1, 2, 1, 0}));
  EXPECT_EQ(tree.link_target(find(tree, "/r/l")), std::optional<std::string_view>("a"));
  EXPECT_EQ(tree.link_target(find(tree, "/r/g")), std::nullopt);
}

// Hard links count once, at the member with the least normalised path, whatever the order of
// arrival; the folder that holds that member carries the size.
TEST(TreeBuilderTest, CountsHardLinksOnceAtTheLeastPath) {
  struct Row {
    const char* name;
    std::vector<elevation::DecodedNode> files;  // below folders /r/a (id 1) and /r/b (id 2)
    std::vector<std::string> primaries;
    Sizes a;
    Sizes b;
    uint64_t groups;
  };
  const std::vector<Row> rows = {
      {"first found first in order",
       {file(3, 1, "/r/a/x", 100, 4096, 42), file(4, 2, "/r/b/x", 100, 4096, 42)},
       {"/r/a/x"},
       {100, 4096},
       {0, 0},
       1},
      {"later found first in order",
       {file(3, 2, "/r/b/x", 100, 4096, 42), file(4, 1, "/r/a/x", 100, 4096, 42)},
       {"/r/a/x"},
       {100, 4096},
       {0, 0},
       1},
      {"three members, one folder",
       {file(3, 2, "/r/b/z", 100, 4096, 42), file(4, 2, "/r/b/y", 100, 4096, 42),
        file(5, 2, "/r/b/x", 100, 4096, 42)},
       {"/r/b/x"},
       {0, 0},
       {100, 4096},
       1},
      {"normalised order ignores case",
       {file(3, 2, "/r/b/A", 100, 4096, 42), file(4, 1, "/r/a/Z", 100, 4096, 42)},
       {"/r/a/Z"},
       {100, 4096},
       {0, 0},
       1},
      {"same file id on another volume is no link",
       {file(3, 1, "/r/a/x", 100, 4096, 42, 1), file(4, 2, "/r/b/x", 100, 4096, 42, 2)},
       {},
       {100, 4096},
       {100, 4096},
       0},
      {"two groups",
       {file(3, 1, "/r/a/x", 1, 1, 7), file(4, 2, "/r/b/x", 1, 1, 7),
        file(5, 1, "/r/a/y", 10, 10, 8), file(6, 2, "/r/b/y", 10, 10, 8)},
       {"/r/a/x", "/r/a/y"},
       {11, 11},
       {0, 0},
       2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<elevation::DecodedNode> nodes = {folder(0, std::nullopt, "/r"),
                                                 folder(1, 0, "/r/a"), folder(2, 0, "/r/b")};
    nodes.insert(nodes.end(), row.files.begin(), row.files.end());
    const ResultTree tree = build(nodes);
    EXPECT_EQ(tree.totals(1), row.a);
    EXPECT_EQ(tree.totals(2), row.b);
    EXPECT_EQ(tree.totals(0), (Sizes{row.a.logical_bytes + row.b.logical_bytes,
                                     row.a.size_on_disk_bytes + row.b.size_on_disk_bytes}));
    EXPECT_EQ(tree.counts().hard_link_groups, row.groups);
    for (NodeIndex node = 3; node < tree.size(); ++node) {
      const bool primary = std::find(row.primaries.begin(), row.primaries.end(), tree.path(node)) !=
                           row.primaries.end();
      EXPECT_EQ(tree.counted_elsewhere(node), row.groups > 0 && !primary) << tree.path(node);
      EXPECT_EQ(tree.link_count(node), row.groups > 0 ? row.files.size() / row.groups : 1u);
      EXPECT_EQ(tree.own_sizes(node),
                (Sizes{row.files[node - 3].logical_bytes, row.files[node - 3].size_on_disk_bytes}));
    }
  }
}

// When the normalised paths are equal (Windows letter case), the raw names decide: "X" sorts
// before "x".
TEST(TreeBuilderTest, BreaksNormalisedTiesByRawNames) {
  const ResultTree tree = build({folder(0, std::nullopt, "C:\\"), folder(1, 0, "C:\\d"),
                                 file(2, 1, "C:\\d\\x", 5, 8, 1), file(3, 1, "C:\\d\\X", 5, 8, 1)},
                                PathStyle::Windows);
  EXPECT_EQ(tree.path(3), "C:\\d\\X");
  EXPECT_TRUE(tree.counted_elsewhere(2));
  EXPECT_FALSE(tree.counted_elsewhere(3));
  EXPECT_EQ(tree.link_count(2), 2u);
  EXPECT_EQ(tree.totals(0), (Sizes{5, 8}));
}

// The host applies the helper's model's rules: on one tree with many hard-link groups, members
// in different folders and names that normalise alike, every total, primary and link count
// agrees with what storage::ScanTree computes.
TEST(TreeBuilderTest, CountsHardLinksAsTheModelCounts) {
  std::mt19937 random(11);
  const auto below = [&random](uint32_t limit) {
    return std::uniform_int_distribution<uint32_t>(0, limit - 1)(random);
  };
  storage::ScanTree model(platform::from_utf8("/r"), storage::NodeKind::Folder);
  std::vector<storage::NodeId> folders = {0};
  for (int i = 0; i < 3000; ++i) {
    // Names such as "n7" and "N7" in one folder normalise alike; their raw bytes decide.
    const std::string name = std::string(1, below(2) == 0 ? 'n' : 'N') + std::to_string(below(40));
    const platform::OsString os_name = platform::from_utf8(name);
    storage::NodeEntry entry;
    entry.name = os_name;
    if (below(6) == 0) {
      entry.kind = storage::NodeKind::Folder;
    } else {
      entry.kind = storage::NodeKind::File;
      entry.own_size = storage::NodeSizes{below(1000), below(4) * 4096};
      if (below(10) != 0) {
        storage::FileIdentity identity;
        identity.volume_serial = 1 + below(2);
        identity.file_id[0] = static_cast<uint8_t>(below(250));
        entry.identity = identity;
      }
    }
    auto added = model.add_entry(folders[below(static_cast<uint32_t>(folders.size()))], entry);
    ASSERT_TRUE(added.has_value());
    if (entry.kind == storage::NodeKind::Folder) folders.push_back(*added);
  }
  auto done = std::move(model).finish(storage::RiskPolicy{}, std::nullopt);
  ASSERT_TRUE(done.has_value());

  TreeBuilder builder(native_path_style());
  std::vector<std::string> paths;
  for (storage::NodeId id = 0; id < done->node_count(); ++id) {
    paths.push_back(platform::to_utf8_lossy(done->path(id)));
  }
  for (storage::NodeId id = 0; id < done->node_count(); ++id) {
    elevation::DecodedNode node;
    node.id = id;
    node.parent_id = done->parent(id);
    node.path = paths[id];
    node.kind = done->kind(id) == storage::NodeKind::File ? Kind::File : Kind::Folder;
    if (const auto own = done->own_size(id)) {
      node.logical_bytes = own->logical_bytes;
      node.size_on_disk_bytes = own->size_on_disk_bytes;
    }
    if (const auto identity = done->identity(id)) {
      node.identity = NodeRecordIdentity{identity->volume_serial, identity->file_id};
    }
    ASSERT_TRUE(builder.add(node).has_value()) << paths[id];
  }
  auto tree = std::move(builder).finish();
  ASSERT_TRUE(tree.has_value());
  ASSERT_GT(tree->counts().hard_link_groups, 100u);
  for (NodeIndex node = 0; node < tree->size(); ++node) {
    SCOPED_TRACE(paths[node]);
    const storage::NodeSizes expected = done->totals(node);
    EXPECT_EQ(tree->totals(node), (Sizes{expected.logical_bytes, expected.size_on_disk_bytes}));
    const auto link = done->hard_link(node);
    EXPECT_EQ(tree->counted_elsewhere(node), link && link->primary != node);
    EXPECT_EQ(tree->link_count(node), link ? link->link_count : 1u);
  }
}

TEST(TreeBuilderTest, RefusesNodesThatBreakTheTree) {
  using Problem = TreeProblem::Kind;
  elevation::DecodedNode under_file = file(3, 2, "/r/f/x", 1, 1);
  struct Row {
    const char* name;
    elevation::DecodedNode node;  // added after /r (0), /r/a (1), /r/f (2, a file)
    TreeProblem problem;
  };
  const std::vector<Row> rows = {
      {"second root", folder(3, std::nullopt, "/s"), {Problem::SecondRoot, 3, 0}},
      {"repeated id", file(2, 0, "/r/g", 1, 1), {Problem::DuplicateId, 2, 2}},
      {"lower id", file(1, 0, "/r/g", 1, 1), {Problem::DuplicateId, 1, 2}},
      {"unknown parent", file(3, 7, "/r/g", 1, 1), {Problem::UnknownParent, 3, 7}},
      {"parent is a file", under_file, {Problem::ParentNotContainer, 3, 2}},
      {"path below another folder",
       file(3, 1, "/r/b/x", 1, 1),
       {Problem::PathNotBelowParent, 3, 0}},
      {"path two levels down", file(3, 0, "/r/a/x", 1, 1), {Problem::PathNotBelowParent, 3, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TreeBuilder builder(PathStyle::Posix);
    ASSERT_TRUE(builder.add(folder(0, std::nullopt, "/r")).has_value());
    ASSERT_TRUE(builder.add(folder(1, 0, "/r/a")).has_value());
    ASSERT_TRUE(builder.add(file(2, 0, "/r/f", 1, 1)).has_value());
    auto added = builder.add(row.node);
    ASSERT_FALSE(added.has_value());
    EXPECT_EQ(added.error(), row.problem) << to_string(added.error());
    EXPECT_EQ(builder.node_count(), 3u);
  }
}

TEST(TreeBuilderTest, RefusesAFirstNodeWithAParentAnOutOfOrderIdAndAnEmptyTree) {
  TreeBuilder builder(PathStyle::Posix);
  auto first = builder.add(file(0, 5, "/r", 1, 1));
  ASSERT_FALSE(first.has_value());
  EXPECT_EQ(to_string(first.error()), "the first node 0 names a parent");
  auto empty = std::move(builder).finish();
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(to_string(empty.error()), "the tree has no nodes");

  // An id inside a gap that was skipped is out of order, not a repeat.
  TreeBuilder gapped(PathStyle::Posix);
  ASSERT_TRUE(gapped.add(folder(0, std::nullopt, "/r")).has_value());
  ASSERT_TRUE(gapped.add(file(5, 0, "/r/a", 1, 1)).has_value());
  auto inside_gap = gapped.add(file(3, 0, "/r/b", 1, 1));
  ASSERT_FALSE(inside_gap.has_value());
  EXPECT_EQ(to_string(inside_gap.error()), "node 3 arrived after node 5");
}

TEST(TreeBuilderTest, ReportsTotalsThatOverflow) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  TreeBuilder builder(PathStyle::Posix);
  ASSERT_TRUE(builder.add(folder(0, std::nullopt, "/r")).has_value());
  ASSERT_TRUE(builder.add(file(1, 0, "/r/a", kMax, 1)).has_value());
  ASSERT_TRUE(builder.add(file(2, 0, "/r/b", 1, 1)).has_value());
  auto tree = std::move(builder).finish();
  ASSERT_FALSE(tree.has_value());
  EXPECT_EQ(to_string(tree.error()), "size overflow at node 0");
}

TEST(TreeBuilderTest, TextsOfEveryProblem) {
  using Problem = TreeProblem::Kind;
  struct Row {
    TreeProblem problem;
    const char* text;
  };
  const std::vector<Row> rows = {
      {{Problem::FirstNodeHasParent, 4, 0}, "the first node 4 names a parent"},
      {{Problem::SecondRoot, 4, 0}, "node 4 names no parent but is not the first node"},
      {{Problem::DuplicateId, 4, 9}, "node 4 was sent twice"},
      {{Problem::IdOutOfOrder, 4, 9}, "node 4 arrived after node 9"},
      {{Problem::UnknownParent, 4, 9}, "node 4 names parent 9, which was not sent before it"},
      {{Problem::ParentNotContainer, 4, 9}, "node 4 lies under node 9, which cannot have children"},
      {{Problem::PathNotBelowParent, 4, 0},
       "the path of node 4 is not its parent's path and one name"},
      {{Problem::NameTooLong, 4, 0}, "a name or link target of node 4 is too long"},
      {{Problem::TooManyNodes, 0, 0}, "the tree has more nodes than the host can hold"},
      {{Problem::SizeOverflow, 4, 0}, "size overflow at node 4"},
      {{Problem::Empty, 0, 0}, "the tree has no nodes"},
  };
  for (const Row& row : rows) EXPECT_EQ(to_string(row.problem), row.text);
}

TEST(TreeBuilderTest, StoresNamesNotPathsAcrossArenaBlocks) {
  // Enough long names to fill more than one arena block; every path must still come back whole.
  TreeBuilder builder(PathStyle::Posix);
  ASSERT_TRUE(builder.add(folder(0, std::nullopt, "/r")).has_value());
  std::vector<std::string> paths;
  for (int i = 0; i < 5000; ++i) {
    paths.push_back("/r/" + std::string(250, static_cast<char>('a' + i % 26)) + std::to_string(i));
  }
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(builder.add(file(static_cast<uint64_t>(i) + 1, 0, paths[i], 1, 1)).has_value());
  }
  auto tree = std::move(builder).finish();
  ASSERT_TRUE(tree.has_value());
  EXPECT_GT(tree->memory_bytes(), NameArena::kBlockBytes);
  for (int i = 0; i < 5000; i += 499)
    EXPECT_EQ(tree->path(static_cast<NodeIndex>(i) + 1), paths[i]);
  EXPECT_EQ(tree->totals(0), (Sizes{5000, 5000}));
}

}  // namespace
}  // namespace ketterlin::host
