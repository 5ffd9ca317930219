#include "storage/tree_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/model.h"
#include "storage/tree_test_support.h"

namespace ketterlin::storage {
namespace {

using namespace test_support;

TEST(TreeStorage, CapacityFollowsTheGrowthRule) {
  ScanTree tree(os("/"), NodeKind::Folder);
  tree.enable_accounting({});
  // Grown by hand from the rule: + max(64, 3 * floor(n / 4)) whenever full.
  std::vector<uint64_t> expected = {1, 65, 129, 225, 393, 687, 1200, 2100, 3675, 6429};
  std::vector<uint64_t> seen = {tree.capacity()};
  while (tree.node_count() < 6000) {
    (void)added(tree.add_entry(0, file(os("f"), {1, 1})));
    EXPECT_LE(tree.node_count(), tree.capacity());
    if (tree.capacity() != seen.back()) {
      EXPECT_EQ(tree.node_count(), seen.back() + 1) << "grew before it was full";
      seen.push_back(tree.capacity());
    }
  }
  EXPECT_EQ(seen, expected);
}

TEST(TreeStorage, PathsJoinTheNamesToTheRoot) {
  OsString not_unicode;
  if constexpr (sizeof(platform::OsChar) == 1) {
    not_unicode = OsString("\xff\xfe bad \xc3", 8);
  } else {
    not_unicode = {static_cast<platform::OsChar>(0xD800), 'x'};
  }
  const OsString long_name(3000, static_cast<platform::OsChar>('L'));
  const struct {
    const char* name;
    OsString root;
    std::vector<OsString> names;  // each under the previous
  } cases[] = {
      {"root with a separator", os("/"), {os("a"), os("b")}},
      {"root without one", os("/data"), {os("a"), os("b c")}},
      {"empty root", os(""), {os("a"), os("b")}},
      {"name that is not unicode", os("/"), {not_unicode, os("x")}},
      {"long name", os("/r"), {os("a"), long_name, os("z")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScanTree tree(c.root, NodeKind::Folder);
    NodeId parent = 0;
    OsString expected = c.root;
    for (const OsString& name : c.names) {
      parent = added(tree.add_entry(parent, folder(name)));
      expected = platform::join_path(expected, name);
      EXPECT_EQ(tree.name(parent), name);
      EXPECT_EQ(tree.path(parent), expected);
    }
    OsString buffer = os("keep:");
    tree.append_path(parent, buffer);
    EXPECT_EQ(buffer, os("keep:") + expected);
  }
}

TEST(TreeStorage, NamesSurviveArenaChunkBoundaries) {
  // Names of 1000 units fill the arena's chunks unevenly, so many start a fresh chunk.
  ScanTree tree(os("/r"), NodeKind::Folder);
  std::vector<OsString> names;
  for (int i = 0; i < 300; ++i) {
    const auto length = static_cast<std::size_t>(1 + (i * 397) % 1000);
    names.emplace_back(length, static_cast<platform::OsChar>('a' + i % 26));
    (void)added(tree.add_entry(0, file(names.back(), {1, 1})));
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(tree.name(i + 1), names[i]) << "node " << i + 1;
  }
}

TEST(TreeStorage, NodesKeepTheirEntry) {
  ScanTree tree(os("/r"), NodeKind::Folder);
  tree.enable_accounting({});
  const NodeId a = added(tree.add_entry(0, folder(os("a"))));
  const NodeId b = added(tree.add_entry(0, folder(os("b"))));
  const NodeId f = added(tree.add_entry(a, file(os("f"), {3, 4096}, identity(3), 0xFF)));
  const NodeId link = added(tree.add_entry(
      b, entry_of(os("l"), NodeKind::SymbolicLink, OsStringView(os("/target")))));
  const NodeId empty_target = added(tree.add_entry(
      a, entry_of(os("e"), NodeKind::OtherLink, OsStringView())));
  const NodeId no_target = added(tree.add_entry(0, entry_of(os("n"), NodeKind::Junction)));

  EXPECT_EQ(children_of(tree, 0), (std::vector<NodeId>{a, b, no_target}));
  EXPECT_EQ(children_of(tree, a), (std::vector<NodeId>{f, empty_target}));
  EXPECT_EQ(children_of(tree, b), (std::vector<NodeId>{link}));
  EXPECT_TRUE(tree.children(f).empty());
  EXPECT_EQ(tree.parent(link), b);
  EXPECT_EQ(tree.flags(f), NodeFlags(15));
  EXPECT_EQ(tree.identity(f), identity(3));
  EXPECT_EQ(tree.identity(a), std::nullopt);
  EXPECT_EQ(tree.own_size(f), (NodeSizes{3, 4096}));
  EXPECT_EQ(tree.link_target(link), OsStringView(os("/target")));
  EXPECT_EQ(tree.link_target(empty_target), OsStringView());
  EXPECT_EQ(tree.link_target(no_target), std::nullopt);
  EXPECT_EQ(tree.hard_link(f), std::nullopt);
  EXPECT_EQ(tree.kind(link), NodeKind::SymbolicLink);
}

}  // namespace
}  // namespace ketterlin::storage
