#include "storage/tree_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
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
    for (unsigned char c : std::string_view("\xff\xfe bad \xc3")) {
      not_unicode.push_back(static_cast<platform::OsChar>(c));
    }
  } else {
    not_unicode = {static_cast<platform::OsChar>(0xD800), static_cast<platform::OsChar>('x')};
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
  const NodeId link = added(
      tree.add_entry(b, entry_of(os("l"), NodeKind::SymbolicLink, OsStringView(os("/target")))));
  const NodeId empty_target =
      added(tree.add_entry(a, entry_of(os("e"), NodeKind::OtherLink, OsStringView())));
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

TEST(TreeStorage, PathWriterAgreesWithPathInAnyOrder) {
  // Siblings added in runs and interleaved, as batches of several folders arrive.
  ScanTree tree(os("/"), NodeKind::Drive);
  std::vector<NodeId> folders = {0};
  for (int i = 0; i < 400; ++i) {
    const NodeId parent = folders[(i * 7) % folders.size()];
    const OsString name = os("n" + std::to_string(i));
    if (i % 5 == 0) {
      folders.push_back(added(tree.add_entry(parent, folder(name))));
    } else {
      (void)added(tree.add_entry(parent, file(name, {1, 1})));
    }
  }
  std::vector<NodeId> order;
  for (NodeId id = 0; id < tree.node_count(); ++id) order.push_back(id);
  std::vector<NodeId> scattered;
  for (NodeId id = 0; id < tree.node_count(); ++id) scattered.push_back(order[(id * 61) % 401]);
  for (const auto& [name, ids] : {std::pair{"id order", order}, {"scattered", scattered}}) {
    SCOPED_TRACE(name);
    PathWriter writer(tree);
    for (NodeId id : ids) ASSERT_EQ(writer.path(id), tree.path(id)) << "node " << id;
  }
}

TEST(TreeStorage, IdentitiesKeepEveryVolumeSerial) {
  // More distinct serials than the tree's table holds: the rest are kept beside it.
  ScanTree tree(os("/"), NodeKind::Folder);
  tree.enable_accounting({});
  std::vector<NodeId> ids;
  for (uint64_t serial = 0; serial < 300; ++serial) {
    const uint64_t volume = serial * 0x100000001ULL;
    ids.push_back(added(tree.add_entry(0, file(os("f"), {1, 1}, identity(9, volume)))));
  }
  const NodeId link =
      added(tree.add_entry(0, file(os("g"), {1, 1}, identity(9, 299 * 0x100000001ULL))));
  for (uint64_t serial = 0; serial < ids.size(); ++serial) {
    ASSERT_EQ(tree.identity(ids[serial]), identity(9, serial * 0x100000001ULL));
  }
  EXPECT_EQ(tree.hard_link(ids[0]), std::nullopt);
  EXPECT_EQ(tree.hard_link(link), (HardLinkInfo{ids.back(), 2}));
  EXPECT_EQ(tree.totals(0), (NodeSizes{300, 300}));
}

}  // namespace
}  // namespace ketterlin::storage
