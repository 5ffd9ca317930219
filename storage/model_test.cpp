#include "storage/model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/panic.h"
#include "storage/tree_test_support.h"
#include "storage/windows_path.h"

namespace ketterlin::storage {
namespace {

using namespace test_support;

// A tree and the ids of the folders made for relative paths such as "a/b".
struct PathTree {
  explicit PathTree(bool accounting, NodeKind root_kind = NodeKind::Folder)
      : tree(os("/scan"), root_kind) {
    if (accounting) tree.enable_accounting({});
  }

  NodeId folder_at(const std::string& relative) {
    if (relative.empty()) return 0;
    if (auto found = folders.find(relative); found != folders.end()) return found->second;
    const std::size_t slash = relative.rfind('/');
    const NodeId parent = folder_at(slash == std::string::npos ? "" : relative.substr(0, slash));
    const OsString name = os(slash == std::string::npos ? relative : relative.substr(slash + 1));
    return folders[relative] = added(tree.add_entry(parent, folder(name)));
  }

  NodeId file_at(const std::string& relative, NodeSizes sizes, std::optional<FileIdentity> id) {
    const std::size_t slash = relative.rfind('/');
    const NodeId parent = folder_at(slash == std::string::npos ? "" : relative.substr(0, slash));
    const OsString name = os(slash == std::string::npos ? relative : relative.substr(slash + 1));
    return added(tree.add_entry(parent, file(name, sizes, id)));
  }

  ScanTree tree;
  std::map<std::string, NodeId> folders;
};

TEST(TreeError, DisplayTexts) {
  const struct {
    TreeError error;
    const char* text;
  } cases[] = {
      {TreeError::node_missing(12), "node 12 does not exist"},
      {TreeError::cannot_have_children(0), "node 0 cannot have children"},
      {TreeError::volume_usage_requires_drive(),
       "volume usage can only be applied to a Drive scan"},
      {TreeError::size_overflow(18446744073709551615ULL),
       "size overflow at node 18446744073709551615"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(to_string(c.error), c.text);
  }
}

TEST(ScanTree, NewTreeHoldsTheRootRatedByKindOrPolicy) {
  RiskPolicy root_listed;
  root_listed.high_paths = {normalize_path(os("C:\\Data"))};
  RiskPolicy drive_low;
  drive_low.low_trees = {NormalizedPath("c:")};
  const struct {
    const char* name;
    const char* root;
    NodeKind kind;
    RiskPolicy policy;
    RiskLevel expected;
  } cases[] = {
      {"drive, empty policy", "C:\\", NodeKind::Drive, {}, RiskLevel::High},
      {"drive, policy not consulted", "C:\\", NodeKind::Drive, drive_low, RiskLevel::High},
      {"folder, empty policy", "C:\\Data", NodeKind::Folder, {}, RiskLevel::Ordinary},
      {"folder rated by the policy", "C:\\Data", NodeKind::Folder, root_listed, RiskLevel::High},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScanTree tree(os(c.root), c.kind);
    EXPECT_EQ(tree.risk(0), RiskLevel::Ordinary);
    tree.enable_accounting(c.policy);
    ASSERT_EQ(tree.node_count(), 1u);
    EXPECT_EQ(tree.parent(0), std::nullopt);
    EXPECT_EQ(tree.kind(0), c.kind);
    EXPECT_EQ(tree.path(0), os(c.root));
    EXPECT_EQ(tree.totals(0), NodeSizes{});
    EXPECT_EQ(tree.own_size(0), std::nullopt);
    EXPECT_FALSE(tree.has_children(0));
    EXPECT_EQ(tree.file_system(), std::nullopt);
    EXPECT_EQ(tree.risk(0), c.expected);
    EXPECT_EQ(tree.subtree_risk(0), c.expected);
  }
}

TEST(ScanTree, ProgrammingErrorsStopTheThread) {
  const struct {
    const char* name;
    std::function<void(ScanTree&)> action;
    const char* text;
  } cases[] = {
      {"accounting after an entry", [](ScanTree& t) { t.enable_accounting({}); },
       "enable accounting before adding entries"},
      {"restricted with children", [](ScanTree& t) { t.mark_restricted(1); },
       "assertion failed: node.children.is_empty()"},
      {"mount point with children", [](ScanTree& t) { t.mark_mount_point(0); },
       "assertion failed: node.children.is_empty()"},
      {"marking a missing node", [](ScanTree& t) { t.mark_restricted(3); },
       "index out of bounds: the len is 3 but the index is 3"},
      {"reading a missing node", [](ScanTree& t) { (void)t.path(7); },
       "index out of bounds: the len is 3 but the index is 7"},
      {"empty name", [](ScanTree& t) { (void)t.add_entry(1, folder(OsStringView())); },
       "entry name is empty"},
      {"folder with a size",
       [](ScanTree& t) {
         NodeEntry entry = folder(os("x"));
         entry.own_size = NodeSizes{1, 1};
         (void)t.add_entry(0, entry);
       },
       "a Drive or Folder entry carries no own size or identity"},
      {"unused kind",
       [](ScanTree& t) { (void)t.add_entry(0, entry_of(os("x"), static_cast<NodeKind>(8))); },
       "node kind 8 does not exist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PathTree fixture(true);
    fixture.file_at("a/f", {1, 1}, std::nullopt);
    expect_panic([&] { c.action(fixture.tree); }, c.text);
    EXPECT_EQ(fixture.tree.node_count(), 3u);
  }
}

TEST(ScanTree, AddEntryRefusesMissingAndNonContainerParents) {
  for (bool accounting : {false, true}) {
    SCOPED_TRACE(accounting ? "accounting" : "no accounting");
    PathTree fixture(accounting);
    const NodeId restricted = fixture.folder_at("restricted");
    fixture.tree.mark_restricted(restricted);
    const NodeId file_id = fixture.file_at("f", {5, 5}, std::nullopt);
    const NodeId link = added(fixture.tree.add_entry(0, entry_of(os("l"), NodeKind::Junction)));
    const NodeId mount = fixture.folder_at("m");
    fixture.tree.mark_mount_point(mount);
    const uint64_t count = fixture.tree.node_count();
    const struct {
      const char* name;
      NodeId parent;
      TreeError expected;
    } cases[] = {
        {"id equal to the count", count, TreeError::node_missing(count)},
        {"far beyond the count", 1ull << 40, TreeError::node_missing(1ull << 40)},
        {"file", file_id, TreeError::cannot_have_children(file_id)},
        {"restricted", restricted, TreeError::cannot_have_children(restricted)},
        {"link", link, TreeError::cannot_have_children(link)},
        {"mount point", mount, TreeError::cannot_have_children(mount)},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      const auto result = fixture.tree.add_entry(c.parent, file(os("x"), {1, 1}));
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), c.expected);
      EXPECT_EQ(fixture.tree.node_count(), count);
      EXPECT_EQ(fixture.tree.totals(0), (accounting ? NodeSizes{5, 5} : NodeSizes()));
    }
  }
}

TEST(ScanTree, TotalsRiseAtOnceOnlyWithAccounting) {
  for (bool accounting : {false, true}) {
    SCOPED_TRACE(accounting ? "accounting" : "no accounting");
    PathTree fixture(accounting);
    const NodeId a = fixture.folder_at("a");
    fixture.file_at("a/f", {100, 4096}, std::nullopt);
    fixture.file_at("a/g", {10, 0}, std::nullopt);
    const NodeSizes expected = accounting ? NodeSizes{110, 4096} : NodeSizes{};
    EXPECT_EQ(fixture.tree.totals(a), expected);
    EXPECT_EQ(fixture.tree.totals(0), expected);

    const FinishedTree done = finished(std::move(fixture.tree));
    EXPECT_EQ(done.totals(a), (NodeSizes{110, 4096}));
    EXPECT_EQ(done.totals(0), (NodeSizes{110, 4096}));
    EXPECT_EQ(done.own_size(a), std::nullopt);
  }
}

TEST(ScanTree, HardLinkPrimaryIsTheLeastPathWhateverTheOrder) {
  const struct {
    const char* name;
    std::vector<const char*> paths;  // in the order they are added
    std::size_t primary;             // index into paths
  } cases[] = {
      {"later path is less", {"b/x", "a/x"}, 1},
      {"earlier path is less", {"a/x", "b/x"}, 0},
      {"three links", {"c/x", "a/x", "b/x"}, 1},
      {"three links, least last", {"c/x", "b/x", "a/x"}, 2},
      {"deeper but less", {"b/x", "a/z/z"}, 1},
      {"same normalised path, raw case decides", {"a/x", "a/X"}, 1},
      {"case in a folder name", {"A/x", "a/x"}, 0},
      {"normalised texts compare byte-wise", {"a/b/x", "a b/x"}, 1},
  };
  for (const auto& c : cases) {
    for (bool accounting : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (accounting ? ", accounting" : ", recomputed"));
      PathTree fixture(accounting);
      std::vector<NodeId> ids;
      for (const char* path : c.paths) ids.push_back(fixture.file_at(path, {10, 20}, identity(1)));
      const FinishedTree done = finished(std::move(fixture.tree));
      for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(done.hard_link(ids[i]), (HardLinkInfo{ids[c.primary], ids.size()}));
        const bool primary_is_sibling = done.parent(ids[i]) == done.parent(ids[c.primary]);
        EXPECT_EQ(done.totals(ids[i]), (i == c.primary ? NodeSizes{10, 20} : NodeSizes()));
        EXPECT_EQ(done.own_size(ids[i]), (NodeSizes{10, 20}));
        EXPECT_EQ(done.totals(*done.parent(ids[i])),
                  (primary_is_sibling ? NodeSizes{10, 20} : NodeSizes()));
      }
      EXPECT_EQ(done.totals(0), (NodeSizes{10, 20}));
    }
  }
}

TEST(ScanTree, NewPrimaryTakesTheSizeBackFromTheOldPrimarysAncestors) {
  PathTree fixture(true);
  const NodeId first = fixture.file_at("b/deep/x", {100, 4096}, identity(9));
  const NodeId b = fixture.folders.at("b");
  EXPECT_EQ(fixture.tree.totals(b), (NodeSizes{100, 4096}));
  const NodeId second = fixture.file_at("a/x", {100, 4096}, identity(9));
  EXPECT_EQ(fixture.tree.totals(first), NodeSizes{});
  EXPECT_EQ(fixture.tree.totals(b), NodeSizes{});
  EXPECT_EQ(fixture.tree.totals(fixture.folders.at("b/deep")), NodeSizes{});
  EXPECT_EQ(fixture.tree.totals(fixture.folders.at("a")), (NodeSizes{100, 4096}));
  EXPECT_EQ(fixture.tree.totals(0), (NodeSizes{100, 4096}));
  EXPECT_EQ(fixture.tree.hard_link(first), (HardLinkInfo{second, 2}));
}

TEST(ScanTree, IdentitiesDifferingInVolumeOrFileIdAreNotLinks) {
  PathTree fixture(true);
  const NodeId a = fixture.file_at("a", {1, 1}, identity(5, 1));
  const NodeId b = fixture.file_at("b", {2, 2}, identity(5, 2));
  FileIdentity high_half = identity(5, 1);
  high_half.file_id[15] = 0;
  const NodeId c = fixture.file_at("c", {4, 4}, high_half);
  const FinishedTree done = finished(std::move(fixture.tree));
  for (NodeId id : {a, b, c}) EXPECT_EQ(done.hard_link(id), std::nullopt);
  EXPECT_EQ(done.identity(b), identity(5, 2));
  EXPECT_EQ(done.totals(0), (NodeSizes{7, 7}));
}

TEST(ScanTree, SizeOverflowDuringAddEntryNamesTheAncestor) {
  // One file of the maximum size directly under the root, then the listed entry under "a".
  const struct {
    const char* name;
    NodeSizes first;
    NodeSizes second;
  } cases[] = {
      {"logical", {kMax, 0}, {1, 0}},
      {"on disk", {0, kMax}, {0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PathTree fixture(true);
    const NodeId a = fixture.folder_at("a");
    fixture.file_at("big", c.first, std::nullopt);
    const auto result = fixture.tree.add_entry(a, file(os("x"), c.second));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), TreeError::size_overflow(0));
    EXPECT_EQ(fixture.tree.node_count(), 4u);  // the entry stays
    EXPECT_EQ(fixture.tree.totals(a), c.second);
    EXPECT_EQ(fixture.tree.totals(0), c.first);
  }
}

TEST(ScanTree, SizeOverflowDuringRecomputationNamesTheContainer) {
  for (bool other_policy : {false, true}) {
    SCOPED_TRACE(other_policy ? "other policy" : "no accounting");
    PathTree fixture(false);
    fixture.file_at("top", {kMax, 0}, std::nullopt);
    const NodeId a = fixture.folder_at("a");
    fixture.file_at("a/x", {kMax, 0}, std::nullopt);
    fixture.file_at("a/y", {1, 0}, std::nullopt);
    RiskPolicy policy;
    if (other_policy) policy.use_known_locations = true;
    const auto result = std::move(fixture.tree).finish(policy, std::nullopt);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), TreeError::size_overflow(a));
  }
}

TEST(ScanTree, UnknownSpaceTakesTheUnmeasuredUsedBytes) {
  const struct {
    const char* name;
    uint64_t used;
    bool expect_node;
  } cases[] = {
      {"less used than measured", 10, false},
      {"exactly measured", 1000, false},
      {"one byte more", 1001, true},
      {"maximum", kMax, true},
  };
  for (const auto& c : cases) {
    for (bool accounting : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (accounting ? ", accounting" : ", recomputed"));
      ScanTree tree(os("/"), NodeKind::Drive);
      if (accounting) tree.enable_accounting({});
      const NodeId f = added(tree.add_entry(0, file(os("f"), {600, 1000})));
      const FinishedTree done =
          finished(std::move(tree), {}, ElevatedVolume{c.used, FileSystemKind::Ntfs});
      EXPECT_EQ(done.volume_used_bytes(), c.used);
      EXPECT_EQ(done.totals(f), (NodeSizes{600, 1000}));
      if (!c.expect_node) {
        EXPECT_EQ(done.unknown_space(), std::nullopt);
        EXPECT_EQ(done.node_count(), 2u);
        EXPECT_EQ(done.totals(0), (NodeSizes{600, 1000}));
        continue;
      }
      ASSERT_EQ(done.unknown_space(), NodeId{2});
      EXPECT_EQ(done.node_count(), 3u);
      EXPECT_EQ(done.kind(2), NodeKind::UnknownSpace);
      EXPECT_EQ(done.parent(2), NodeId{0});
      EXPECT_EQ(done.path(2), platform::join_path(os("/"), os("Unknown Space")));
      EXPECT_EQ(done.own_size(2), std::nullopt);
      EXPECT_EQ(done.identity(2), std::nullopt);
      EXPECT_EQ(done.totals(2), (NodeSizes{0, c.used - 1000}));
      EXPECT_EQ(done.risk(2), RiskLevel::Ordinary);
      EXPECT_EQ(children_of(done, 0), (std::vector<NodeId>{f, 2}));
      EXPECT_EQ(done.totals(0), (NodeSizes{600, c.used}));
    }
  }
}

TEST(ScanTree, VolumeUsageRequiresADriveRoot) {
  ScanTree tree(os("/data"), NodeKind::Folder);
  tree.enable_accounting({});
  const auto result = std::move(tree).finish({}, ElevatedVolume{5000, FileSystemKind::Ntfs});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(to_string(result.error()), "volume usage can only be applied to a Drive scan");
}

TEST(ScanTree, FileSystemAndNotes) {
  using enum MeasurementNote;
  const struct {
    const char* name;
    std::optional<FileSystemKind> walked;
    std::optional<FileSystemKind> volume;
    bool deduplicated;
    std::optional<FileSystemKind> expected;
    std::vector<MeasurementNote> notes;
  } cases[] = {
      {"nothing known", std::nullopt, std::nullopt, false, std::nullopt, {}},
      {"walked file system kept",
       FileSystemKind::ExFat,
       std::nullopt,
       false,
       FileSystemKind::ExFat,
       {}},
      {"volume wins",
       FileSystemKind::Ntfs,
       FileSystemKind::ReFs,
       false,
       FileSystemKind::ReFs,
       {RefsVolume}},
      {"walked reFs",
       FileSystemKind::ReFs,
       std::nullopt,
       false,
       FileSystemKind::ReFs,
       {RefsVolume}},
      {"both notes",
       std::nullopt,
       FileSystemKind::ReFs,
       true,
       FileSystemKind::ReFs,
       {RefsVolume, DeduplicatedData}},
      {"deduplicated only",
       FileSystemKind::Ntfs,
       std::nullopt,
       true,
       FileSystemKind::Ntfs,
       {DeduplicatedData}},
  };
  for (const auto& c : cases) {
    for (bool accounting : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (accounting ? ", accounting" : ", recomputed"));
      ScanTree tree(os("/"), NodeKind::Drive);
      if (accounting) tree.enable_accounting({});
      if (c.walked) tree.set_file_system(*c.walked);
      const NodeFlags flags = c.deduplicated ? NodeFlags::kDeduplicated : NodeFlags::kSparse;
      (void)added(tree.add_entry(0, file(os("f"), {1, 1}, std::nullopt, flags)));
      std::optional<ElevatedVolume> volume;
      if (c.volume) volume = ElevatedVolume{0, *c.volume};
      const FinishedTree done = finished(std::move(tree), {}, volume);
      EXPECT_EQ(done.file_system(), c.expected);
      EXPECT_EQ(done.notes(), c.notes);
    }
  }
}

TEST(ScanTree, RestrictedCountCountsRestrictedNodes) {
  const struct {
    const char* name;
    std::function<void(ScanTree&, NodeId folder)> act;
    uint64_t expected;
  } cases[] = {
      {"marked once", [](ScanTree& t, NodeId f) { t.mark_restricted(f); }, 1},
      {"marked twice",
       [](ScanTree& t, NodeId f) {
         t.mark_restricted(f);
         t.mark_restricted(f);
       },
       1},
      {"added as restricted",
       [](ScanTree& t, NodeId) { (void)t.add_entry(0, entry_of(os("r"), NodeKind::Restricted)); },
       1},
      {"restricted, then another volume",
       [](ScanTree& t, NodeId f) {
         t.mark_restricted(f);
         t.mark_mount_point(f);
       },
       0},
      {"mount point only", [](ScanTree& t, NodeId f) { t.mark_mount_point(f); }, 0},
  };
  for (const auto& c : cases) {
    for (bool accounting : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (accounting ? ", accounting" : ", recomputed"));
      PathTree fixture(accounting);
      const NodeId f = fixture.folder_at("f");
      c.act(fixture.tree, f);
      EXPECT_EQ(finished(std::move(fixture.tree)).restricted_count(), c.expected);
    }
  }
}

TEST(ScanTree, MarkingChangesOnlyTheKind) {
  RiskPolicy policy;
  policy.medium_trees = {normalize_path(os("/scan/a"))};
  ScanTree tree(os("/scan"), NodeKind::Folder);
  tree.enable_accounting(policy);
  const NodeId a = added(tree.add_entry(0, folder(os("a"))));
  const NodeId b = added(tree.add_entry(0, folder(os("b"))));
  tree.mark_restricted(a);
  tree.mark_mount_point(b);
  EXPECT_EQ(tree.kind(a), NodeKind::Restricted);
  EXPECT_EQ(tree.kind(b), NodeKind::VolumeMountPoint);
  EXPECT_EQ(tree.risk(a), RiskLevel::Medium);
  EXPECT_EQ(tree.subtree_risk(0), RiskLevel::Medium);
  EXPECT_EQ(tree.identity(a), std::nullopt);
  EXPECT_EQ(tree.path(b), platform::join_path(os("/scan"), os("b")));
  EXPECT_FALSE(tree.add_entry(a, file(os("x"), {1, 1})).has_value());
}

// ---- Randomly generated trees, built both ways and checked against an independent model ----

// One call on a tree, recorded so that the same calls can be replayed on several trees.
struct Operation {
  enum class Type { Add, MarkRestricted, MarkMountPoint, SetFileSystem };
  Type type = Type::Add;
  NodeId target = 0;  // the parent of an Add, the node of a mark
  OsString name;
  NodeKind kind = NodeKind::File;
  NodeFlags flags;
  std::optional<NodeSizes> own_size;
  std::optional<FileIdentity> identity;
  std::optional<OsString> link_target;
  FileSystemKind file_system = FileSystemKind::Ntfs;
};

struct Scenario {
  OsString root;
  NodeKind root_kind = NodeKind::Folder;
  std::vector<Operation> operations;
  RiskPolicy policy;
  std::optional<ElevatedVolume> volume;
};

// What every node must look like after finish, computed from the operations alone.
struct ExpectedNode {
  std::optional<NodeId> parent;
  OsString path;
  std::vector<OsStringView> names;  // below the root, top down
  NodeKind kind = NodeKind::Folder;
  std::optional<NodeSizes> own_size;
  std::optional<FileIdentity> identity;
  std::vector<NodeId> children;
  std::optional<HardLinkInfo> hard_link;
  NodeSizes totals;
  RiskLevel risk = RiskLevel::Ordinary;
  RiskLevel subtree_risk = RiskLevel::Ordinary;
};

class ScenarioGenerator {
 public:
  explicit ScenarioGenerator(uint64_t seed) : random_(seed) {}

  Scenario generate() {
    Scenario scenario;
    const bool drive = chance(0.5);
    scenario.root = os(drive ? (chance(0.5) ? "C:\\" : "/") : "C:\\Users");
    scenario.root_kind = drive ? NodeKind::Drive : NodeKind::Folder;
    containers_ = {0};
    child_count_ = {0};
    const int count = 200 + static_cast<int>(random_() % 1200);
    for (int i = 0; i < count; ++i) scenario.operations.push_back(next_operation());
    return scenario;
  }

 private:
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
  uint64_t below(uint64_t n) { return random_() % n; }

  OsString random_name() {
    static const char* const kWords[] = {"Windows",   "Temp",      "$Recycle.Bin", "Users", "x",
                                         "Downloads", "steamapps", "AppData",      "data",  "Ab"};
    std::string name = kWords[below(std::size(kWords))];
    for (char& c : name) {
      if (chance(0.15)) c = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
    }
    if (chance(0.4)) name += std::to_string(below(4));
    if (chance(0.05)) name += "\xc3\x84";  // Ä: lower-cased by normalisation
    return os(name);
  }

  NodeId pick_parent() {
    // Mostly recent containers, so the trees get deep.
    const std::size_t n = containers_.size();
    const std::size_t index = chance(0.7) ? n - 1 - below(std::min<std::size_t>(n, 4)) : below(n);
    return containers_[index];
  }

  Operation next_operation() {
    Operation op;
    if (chance(0.04)) {
      std::erase_if(markable_, [&](NodeId id) { return child_count_[id] != 0; });
      if (!markable_.empty()) {
        op.type = chance(0.6) ? Operation::Type::MarkRestricted : Operation::Type::MarkMountPoint;
        op.target = markable_[below(markable_.size())];
        std::erase(containers_, op.target);
        if (chance(0.7)) std::erase(markable_, op.target);  // else it may be marked again
        return op;
      }
    }
    if (chance(0.01)) {
      op.type = Operation::Type::SetFileSystem;
      op.file_system = static_cast<FileSystemKind>(below(5));
      return op;
    }
    op.target = pick_parent();
    op.name = random_name();
    const double roll = std::uniform_real_distribution<double>(0, 1)(random_);
    if (roll < 0.2) {
      op.kind = NodeKind::Folder;
    } else if (roll < 0.21) {
      op.kind = NodeKind::Drive;
    } else if (roll < 0.23) {
      op.kind = NodeKind::Restricted;
    } else if (roll < 0.33) {
      op.kind = static_cast<NodeKind>(below(4));
      if (chance(0.7)) op.link_target = os(chance(0.5) ? "C:\\target" : "");
    } else {
      op.kind = NodeKind::File;
      op.flags = chance(0.1) ? static_cast<uint8_t>(below(16)) : 0;
      const uint64_t logical = chance(0.1) ? 0 : below(uint64_t{1} << 36);
      op.own_size = NodeSizes{logical, chance(0.2) ? logical / 3 : (logical + 4095) / 4096 * 4096};
      const double identity_roll = std::uniform_real_distribution<double>(0, 1)(random_);
      if (identity_roll < 0.35) {
        op.identity = identity(below(12), 1 + below(2));  // shared: hard-link groups
      } else if (identity_roll < 0.85) {
        op.identity = identity(1000 + next_unique_++);
      }
    }
    ++child_count_[op.target];
    child_count_.push_back(0);
    const NodeId id = child_count_.size() - 1;
    if (is_container(op.kind)) containers_.push_back(id);
    // Marking never re-rates, and a Drive's rating comes from its kind: the traversal marks only
    // folders.
    if (op.kind == NodeKind::Folder) markable_.push_back(id);
    return op;
  }

  std::mt19937_64 random_;
  std::vector<NodeId> containers_;     // that may still receive children
  std::vector<NodeId> markable_;       // folders that may have no children yet
  std::vector<uint64_t> child_count_;  // per node id
  uint64_t next_unique_ = 0;
};

// Paths, kinds and entries of the scenario's nodes, without any accounting.
std::vector<ExpectedNode> lay_out(const Scenario& scenario) {
  std::vector<ExpectedNode> nodes(1);
  nodes[0].path = scenario.root;
  nodes[0].kind = scenario.root_kind;
  for (const Operation& op : scenario.operations) {
    if (op.type == Operation::Type::MarkRestricted) nodes[op.target].kind = NodeKind::Restricted;
    if (op.type == Operation::Type::MarkMountPoint) {
      nodes[op.target].kind = NodeKind::VolumeMountPoint;
    }
    if (op.type != Operation::Type::Add) continue;
    ExpectedNode node;
    node.parent = op.target;
    node.path = platform::join_path(nodes[op.target].path, op.name);
    node.names = nodes[op.target].names;
    node.names.push_back(op.name);
    node.kind = op.kind;
    node.own_size = op.own_size;
    node.identity = op.identity;
    nodes[op.target].children.push_back(nodes.size());
    nodes.push_back(std::move(node));
  }
  return nodes;
}

// The accounting as the model describes it, computed differently from the tree's own code:
// groups sorted by an explicit key, totals summed bottom-up into parents.
void account(std::vector<ExpectedNode>& nodes, const RiskPolicy& policy) {
  std::map<std::pair<std::array<uint8_t, 16>, uint64_t>, std::vector<NodeId>> groups;
  for (NodeId id = 0; id < nodes.size(); ++id) {
    if (nodes[id].identity) {
      groups[{nodes[id].identity->file_id, nodes[id].identity->volume_serial}].push_back(id);
    }
  }
  std::vector<bool> counted_elsewhere(nodes.size(), false);
  for (const auto& [key, members] : groups) {
    if (members.size() < 2) continue;
    const auto primary = *std::min_element(members.begin(), members.end(), [&](NodeId a, NodeId b) {
      const std::string na = normalize_path(nodes[a].path).text();
      const std::string nb = normalize_path(nodes[b].path).text();
      return na != nb ? na < nb : nodes[a].names < nodes[b].names;
    });
    for (NodeId member : members) {
      nodes[member].hard_link = HardLinkInfo{primary, members.size()};
      counted_elsewhere[member] = member != primary;
    }
  }
  for (NodeId id = 0; id < nodes.size(); ++id) {
    ExpectedNode& node = nodes[id];
    node.risk = node.kind == NodeKind::Drive ? RiskLevel::High
                                             : classify_risk(policy, normalize_path(node.path));
    node.subtree_risk = node.risk;
    if (node.own_size && !counted_elsewhere[id]) node.totals = *node.own_size;
  }
  for (NodeId id = nodes.size() - 1; id > 0; --id) {
    ExpectedNode& parent = nodes[*nodes[id].parent];
    parent.totals.logical_bytes += nodes[id].totals.logical_bytes;
    parent.totals.size_on_disk_bytes += nodes[id].totals.size_on_disk_bytes;
    parent.subtree_risk = std::max(parent.subtree_risk, nodes[id].subtree_risk);
  }
}

ScanTree replay(const Scenario& scenario, std::optional<RiskPolicy> accounting_policy) {
  ScanTree tree(scenario.root, scenario.root_kind);
  if (accounting_policy) tree.enable_accounting(*accounting_policy);
  for (const Operation& op : scenario.operations) {
    switch (op.type) {
      case Operation::Type::Add: {
        NodeEntry entry = entry_of(op.name, op.kind);
        entry.flags = op.flags;
        entry.own_size = op.own_size;
        entry.identity = op.identity;
        if (op.link_target) entry.link_target = OsStringView(*op.link_target);
        (void)added(tree.add_entry(op.target, entry));
        break;
      }
      case Operation::Type::MarkRestricted:
        tree.mark_restricted(op.target);
        break;
      case Operation::Type::MarkMountPoint:
        tree.mark_mount_point(op.target);
        break;
      case Operation::Type::SetFileSystem:
        tree.set_file_system(op.file_system);
        break;
    }
  }
  return tree;
}

// Every reader's answer for one node, as one comparable text.
std::string describe(const NodeTable& tree, NodeId id) {
  std::ostringstream out;
  const auto own = tree.own_size(id);
  const auto totals = tree.totals(id);
  const auto identity = tree.identity(id);
  const auto link = tree.hard_link(id);
  const auto target = tree.link_target(id);
  out << "parent " << (tree.parent(id) ? std::to_string(*tree.parent(id)) : "-") << " kind "
      << static_cast<int>(tree.kind(id)) << " flags " << static_cast<int>(tree.flags(id).bits)
      << " own "
      << (own ? std::to_string(own->logical_bytes) + "/" + std::to_string(own->size_on_disk_bytes)
              : "-")
      << " totals " << totals.logical_bytes << "/" << totals.size_on_disk_bytes << " identity "
      << (identity
              ? std::to_string(identity->file_id[0]) + "@" + std::to_string(identity->volume_serial)
              : "-")
      << " link "
      << (link ? std::to_string(link->primary) + "x" + std::to_string(link->link_count) : "-")
      << " target " << (target ? "[" + platform::to_utf8_lossy(*target) + "]" : "-") << " risk "
      << static_cast<int>(tree.risk(id)) << "/" << static_cast<int>(tree.subtree_risk(id))
      << " children";
  for (NodeId child : tree.children(id)) out << " " << child;
  out << " path " << platform::to_utf8_lossy(tree.path(id));
  return out.str();
}

void expect_same(const FinishedTree& expected, const FinishedTree& actual) {
  ASSERT_EQ(actual.node_count(), expected.node_count());
  for (NodeId id = 0; id < expected.node_count(); ++id) {
    ASSERT_EQ(describe(actual, id), describe(expected, id)) << "node " << id;
    ASSERT_EQ(actual.path(id), expected.path(id)) << "node " << id;
  }
  EXPECT_EQ(actual.file_system(), expected.file_system());
  EXPECT_EQ(actual.unknown_space(), expected.unknown_space());
  EXPECT_EQ(actual.volume_used_bytes(), expected.volume_used_bytes());
  EXPECT_EQ(actual.notes(), expected.notes());
  EXPECT_EQ(actual.restricted_count(), expected.restricted_count());
  EXPECT_EQ(actual.policy(), expected.policy());
}

void expect_matches_model(const FinishedTree& tree, const std::vector<ExpectedNode>& nodes) {
  for (NodeId id = 0; id < nodes.size(); ++id) {
    SCOPED_TRACE("node " + std::to_string(id));
    const ExpectedNode& node = nodes[id];
    ASSERT_EQ(tree.parent(id), node.parent);
    ASSERT_EQ(tree.path(id), node.path);
    ASSERT_EQ(tree.kind(id), node.kind);
    ASSERT_EQ(tree.own_size(id), node.own_size);
    ASSERT_EQ(tree.identity(id), node.identity);
    ASSERT_EQ(children_of(tree, id), node.children);
    ASSERT_EQ(tree.hard_link(id), node.hard_link);
    ASSERT_EQ(tree.totals(id), node.totals);
    ASSERT_EQ(tree.risk(id), node.risk);
    ASSERT_EQ(tree.subtree_risk(id), node.subtree_risk);
  }
}

// A policy that rates some of the scenario's own folders, with or without known locations.
RiskPolicy policy_for(const std::vector<ExpectedNode>& nodes, std::mt19937_64& random) {
  RiskPolicy policy;
  policy.use_known_locations = random() % 2 == 0;
  std::vector<NormalizedPath>* lists[] = {&policy.high_paths, &policy.high_trees,
                                          &policy.medium_paths, &policy.medium_trees,
                                          &policy.low_trees};
  for (int i = 0; i < 6; ++i) {
    const ExpectedNode& node = nodes[random() % nodes.size()];
    lists[random() % std::size(lists)]->push_back(normalize_path(node.path));
  }
  return policy;
}

TEST(ScanTree, IncrementalAndRecomputedAccountingAgreeWithTheModel) {
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed * 7919);
    Scenario scenario = ScenarioGenerator(seed).generate();
    std::vector<ExpectedNode> nodes = lay_out(scenario);
    if (seed % 4 != 0) scenario.policy = policy_for(nodes, random);
    account(nodes, scenario.policy);
    if (scenario.root_kind == NodeKind::Drive) {
      const uint64_t measured = nodes[0].totals.size_on_disk_bytes;
      const uint64_t used = random() % 2 ? measured + random() % 100000 : measured / 2;
      scenario.volume = ElevatedVolume{used, static_cast<FileSystemKind>(random() % 5)};
    }
    if (scenario.volume && scenario.volume->used_bytes > nodes[0].totals.size_on_disk_bytes) {
      ExpectedNode unknown;
      unknown.parent = 0;
      unknown.path = platform::join_path(scenario.root, os("Unknown Space"));
      unknown.kind = NodeKind::UnknownSpace;
      unknown.totals.size_on_disk_bytes =
          scenario.volume->used_bytes - nodes[0].totals.size_on_disk_bytes;
      nodes[0].totals.size_on_disk_bytes = scenario.volume->used_bytes;
      nodes[0].children.push_back(nodes.size());
      nodes.push_back(std::move(unknown));
    }
    RiskPolicy other_policy = scenario.policy;
    other_policy.use_known_locations = !other_policy.use_known_locations;

    const FinishedTree incremental =
        finished(replay(scenario, scenario.policy), scenario.policy, scenario.volume);
    expect_matches_model(incremental, nodes);
    uint64_t restricted = 0;
    for (const ExpectedNode& node : nodes) restricted += node.kind == NodeKind::Restricted;
    EXPECT_EQ(incremental.restricted_count(), restricted);
    EXPECT_EQ(incremental.node_count(), nodes.size());
    if (nodes.back().kind == NodeKind::UnknownSpace) {
      EXPECT_EQ(incremental.unknown_space(), nodes.size() - 1);
    } else {
      EXPECT_EQ(incremental.unknown_space(), std::nullopt);
    }

    for (const auto& [name, accounting] :
         {std::pair<const char*, std::optional<RiskPolicy>>{"no accounting", std::nullopt},
          {"other policy", other_policy}}) {
      SCOPED_TRACE(name);
      expect_same(incremental,
                  finished(replay(scenario, accounting), scenario.policy, scenario.volume));
    }
  }
}

}  // namespace
}  // namespace ketterlin::storage
