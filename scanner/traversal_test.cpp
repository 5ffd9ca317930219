#include "scanner/traversal.h"

#include <gtest/gtest.h>

#include <limits>

#include "scanner/scan_testing.h"

namespace ketterlin::scanner {
namespace {

using namespace testing_support;
using platform::from_utf8;
using platform::join_path;
using platform::OsString;
using storage::NodeId;
using storage::NodeKind;

// ---- The walk's working state, as scan execution would lend it ----

class TraversalTest : public ::testing::Test {
 protected:
  TraversalTest() {
    auto [sender, receiver] = make_channel<ScanProgress>(0);
    progress_receiver_.emplace(std::move(receiver));
    progress_.emplace(std::move(sender), Clock::now(), ScanId{3}, display_root_);
    storage::ScanTree tree(display_root_, NodeKind::Folder);
    tree.enable_accounting({});
    live_.state().builder = std::move(tree);
    live_.state().modified_at.assign(1, 0);
  }

  OsString canonical(const char* relative) const {
    return join_path(canonical_root_, from_utf8(relative));
  }
  OsString shown(const char* relative) const {
    return join_path(display_root_, from_utf8(relative));
  }

  tl::expected<void, ScanFailure> walk() {
    const ReadDirectoryFunction read = reader_.function();
    auto walked = traverse(Traversal{*pool_, cancel_, ScanId{3}, live_, canonical_root_, 0,
                                     root_volume_serial_, *progress_, read});
    if (!walked) return tl::unexpected(std::move(walked.error()));
    issues_ = std::move(walked->issues);
    current_path_ = std::move(walked->last_path);
    root_volume_serial_ = walked->root_volume_serial;
    return {};
  }

  const storage::ScanTree& tree() { return *live_.state().builder; }

  std::unique_ptr<WorkerPool> pool_ = *WorkerPool::create(2);
  const OsString canonical_root_ = from_utf8("/canonical/root");
  const OsString display_root_ = from_utf8("/shown/root");
  FakeReader reader_;
  std::atomic<bool> cancel_{false};
  OsString current_path_ = display_root_;
  LiveScan live_;
  std::optional<uint64_t> root_volume_serial_;
  std::optional<Receiver<ScanProgress>> progress_receiver_;
  std::optional<ProgressReporter> progress_;
  std::vector<ScanIssue> issues_;
};

TEST_F(TraversalTest, AnEmptyRootLeavesTheRootAlone) {
  reader_.on(canonical(""), {{Batch{}}, ok()});
  ASSERT_TRUE(walk());
  EXPECT_EQ(tree().node_count(), 1u);
  EXPECT_TRUE(issues_.empty());
  EXPECT_EQ(live_.state().observed.finished_folders, std::vector<bool>{true});
  const auto calls = reader_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].directory_path, canonical_root_ + OsString(1, platform::kPathSeparator));
  EXPECT_TRUE(calls[0].query_file_system);
  EXPECT_EQ(calls[0].expected_volume, std::nullopt);
}

TEST_F(TraversalTest, BuildsTheTreeFromNestedListings) {
  reader_.on(canonical(""), {{Volume{7, storage::FileSystemKind::Ntfs},
                              Batch{{folder("a"), file("f", 10, 4096, 1, kCompressed),
                                     link("l", LinkKind::Junction, "C:\\target")}}},
                             ok()});
  reader_.on(canonical("a"), {{Batch{{file("g", 5, 8, 2), folder("b")}}}, ok()});
  reader_.on(join_path(canonical("a"), from_utf8("b")), {{Batch{}}, ok()});
  ASSERT_TRUE(walk());

  ASSERT_EQ(tree().node_count(), 6u);
  EXPECT_EQ(tree().file_system(), storage::FileSystemKind::Ntfs);
  EXPECT_EQ(root_volume_serial_, 7u);
  // Ids follow the order in which the coordinator handled the entries.
  EXPECT_EQ(tree().path(1), shown("a"));
  EXPECT_EQ(tree().kind(1), NodeKind::Folder);
  EXPECT_EQ(tree().kind(2), NodeKind::File);
  EXPECT_EQ(tree().own_size(2), (storage::NodeSizes{10, 4096}));
  EXPECT_EQ(tree().identity(2), (storage::FileIdentity{FileId{1}, 7}));
  EXPECT_EQ(tree().flags(2).bits, kCompressed);
  EXPECT_EQ(tree().kind(3), NodeKind::Junction);
  EXPECT_EQ(tree().link_target(3), from_utf8("C:\\target"));
  EXPECT_EQ(tree().flags(3).bits, 0);
  EXPECT_EQ(tree().own_size(3), std::nullopt);
  EXPECT_EQ(tree().parent(4), 1u);
  EXPECT_EQ(tree().path(5), join_path(shown("a"), from_utf8("b")));
  EXPECT_EQ(tree().totals(0), (storage::NodeSizes{15, 4104}));
  EXPECT_EQ(live_.state().modified_at, (std::vector<uint64_t>{0, 100, 201, 0, 202, 100}));
  EXPECT_EQ(live_.state().observed.finished_folders,
            std::vector<bool>({true, true, false, false, false, true}));

  // Every listing after the root's volume report expects the root's volume.
  for (const auto& call : reader_.calls()) {
    if (call.directory_path == canonical("a")) {
      EXPECT_EQ(call.expected_volume, 7u);
      EXPECT_FALSE(call.query_file_system);
    }
  }
}

TEST_F(TraversalTest, AFolderThatCannotBeListedBecomesRestricted) {
  struct Case {
    const char* name;
    uint32_t hresult;
    const char* message;
    std::optional<uint32_t> code;
    IssueKind kind;
  };
  const Case cases[] = {
      {"access denied", 0x80070005, "denied (0x80070005)", 5, IssueKind::AccessDenied},
      {"file not found", 0x80070002, "denied (0x80070002)", 2, IssueKind::NotFound},
      {"path not found", 0x80070003, "denied (0x80070003)", 3, IssueKind::NotFound},
      {"other code", 0x80070057, "denied (0x80070057)", 87, IssueKind::OtherError},
      {"no code", 0x80004005, "denied (0x80004005)", std::nullopt, IssueKind::OtherError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    issues_.clear();
    storage::ScanTree fresh(display_root_, NodeKind::Folder);
    fresh.enable_accounting({});
    live_.state().builder = std::move(fresh);
    live_.state().modified_at.assign(1, 0);
    reader_.on(canonical(""), {{Batch{{folder("x")}}}, ok()});
    reader_.on(canonical("x"), {{}, error(c.hresult, "denied")});
    ASSERT_TRUE(walk());
    EXPECT_EQ(tree().kind(1), NodeKind::Restricted);
    ASSERT_EQ(issues_.size(), 1u);
    EXPECT_EQ(text_of(issues_[0]), (IssueText{shown("x"), c.message, c.code, c.kind}));
    EXPECT_EQ(current_path_, shown("x"));
  }
  const ScanProgress snapshot = progress_->emit(ScanStatus::Running);
  EXPECT_EQ(snapshot.inaccessible_item_count, std::size(cases));
  EXPECT_EQ(snapshot.current_path, shown("x"));
}

TEST_F(TraversalTest, FailuresThatEndTheScan) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, Script>> scripts;
    std::optional<uint64_t> preset_volume;
    FailureText expected;
  };
  const Case cases[] = {
      {"root cannot be listed",
       {{"", {{}, error(0x80070005, "Access is denied.")}}},
       std::nullopt,
       {ScanId{3}, from_utf8("/shown/root"), ScanStatus::Failed, "Access is denied. (0x80070005)"}},
      {"listing fails after children were added",
       {{"", {{Batch{{folder("x")}}}, ok()}},
        {"x", {{Batch{{file("y", 1, 1, 1)}}}, error(0x80004005, "broken")}}},
       std::nullopt,
       {ScanId{3}, join_path(from_utf8("/shown/root"), from_utf8("x")), ScanStatus::Failed,
        "broken (0x80004005)"}},
      {"worker stops abnormally",
       {{"", {{Batch{{folder("x")}}}, ok()}},
        {"x", {{Batch{{file("y", 1, 1, 1)}}, Throw{}}, ok()}}},
       std::nullopt,
       {ScanId{3}, join_path(from_utf8("/shown/root"), from_utf8("x")), ScanStatus::Failed,
        "Directory worker stopped unexpectedly"}},
      {"root on another volume than the preset one",
       {{"", {{Volume{9}}, ok()}}},
       7,
       {ScanId{3}, from_utf8("/shown/root"), ScanStatus::Failed,
        "Volume boundary changed at Scan root"}},
      {"sizes overflow",
       {{"",
         {{Batch{{file("a", std::numeric_limits<uint64_t>::max(), 1, 1), file("b", 1, 1, 2)}}},
          ok()}}},
       std::nullopt,
       {ScanId{3}, join_path(from_utf8("/shown/root"), from_utf8("b")), ScanStatus::Failed,
        "size overflow at node 0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    storage::ScanTree fresh(display_root_, NodeKind::Folder);
    fresh.enable_accounting({});
    live_.state().builder = std::move(fresh);
    live_.state().modified_at.assign(1, 0);
    root_volume_serial_ = c.preset_volume;
    for (const auto& [relative, script] : c.scripts) reader_.on(canonical(relative), script);
    auto walked = walk();
    ASSERT_FALSE(walked);
    EXPECT_EQ(text_of(walked.error()), c.expected) << debug_string(walked.error());
  }
}

TEST_F(TraversalTest, AWorkersHeldBatchIsAppliedBeforeItsFault) {
  reader_.on(canonical(""), {{Batch{{folder("x")}}}, ok()});
  reader_.on(canonical("x"), {{Batch{{file("y", 1, 1, 1)}}, Throw{}}, ok()});
  ASSERT_FALSE(walk());
  ASSERT_EQ(tree().node_count(), 3u);
  EXPECT_EQ(tree().path(2), join_path(shown("x"), from_utf8("y")));
}

TEST_F(TraversalTest, AListingThatFailsAfterAnEmptyBatchIsNotFatal) {
  reader_.on(canonical(""), {{Batch{{folder("x")}}}, ok()});
  // Only "." and ".." were read before the failure: no child was added.
  reader_.on(canonical("x"), {{Batch{}}, error(0x80004005, "went away")});
  ASSERT_TRUE(walk());
  EXPECT_EQ(tree().kind(1), NodeKind::Restricted);
  ASSERT_EQ(issues_.size(), 1u);
  EXPECT_EQ(issues_[0].kind, IssueKind::OtherError);
}

TEST_F(TraversalTest, AFolderOnAnotherVolumeBecomesAMountPoint) {
  reader_.on(canonical(""), {{Volume{7}, Batch{{folder("x"), folder("y")}}}, ok()});
  reader_.on(canonical("x"), {{Volume{8}}, ok()});
  reader_.on(canonical("y"), {{Batch{}}, ok()});
  ASSERT_TRUE(walk());
  EXPECT_EQ(tree().kind(1), NodeKind::VolumeMountPoint);
  EXPECT_EQ(tree().kind(2), NodeKind::Folder);
  ASSERT_EQ(issues_.size(), 1u);
  EXPECT_EQ(text_of(issues_[0]), (IssueText{shown("x"), "Directory volume differs from Scan root",
                                            std::nullopt, IssueKind::OtherVolume}));
}

TEST_F(TraversalTest, CancellationEndsTheWalkAtEachPoint) {
  struct Case {
    const char* name;
    bool cancel_before;
    std::vector<std::pair<const char*, Script>> scripts;
  };
  const Case cases[] = {
      {"before the walk", true, {{"", {{Batch{}}, ok()}}}},
      {"between the entries of a batch",
       false,
       {{"", {{SetCancel{}, Batch{{folder("x")}}}, ok()}}}},
      {"through the reader's own error",
       false,
       {{"", {{Batch{{folder("x")}}}, ok()}},
        {"x", {{SetCancel{}}, tl::unexpected(directory_cancelled())}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cancel_ = c.cancel_before;
    storage::ScanTree fresh(display_root_, NodeKind::Folder);
    fresh.enable_accounting({});
    live_.state().builder = std::move(fresh);
    live_.state().modified_at.assign(1, 0);
    for (const auto& [relative, script] : c.scripts) reader_.on(canonical(relative), script);
    auto walked = walk();
    ASSERT_FALSE(walked);
    EXPECT_EQ(walked.error().status(), ScanStatus::Cancelled);
    EXPECT_EQ(walked.error().message(), "Scan cancelled");
    EXPECT_TRUE(issues_.empty());
  }
}

TEST_F(TraversalTest, ManyFoldersOnASmallPoolAllGetListed) {
  std::vector<EntryMetadata> folders;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "d" + std::to_string(i);
    folders.push_back(folder(name.c_str()));
    reader_.on(canonical(name.c_str()),
               {{Batch{{file("a", 1, 2, static_cast<uint8_t>(i)), file("b", 1, 2, 0)}}}, ok()});
  }
  reader_.on(canonical(""), {{Batch{folders}}, ok()});
  ASSERT_TRUE(walk());
  EXPECT_EQ(tree().node_count(), 1u + 200u * 3u);
  EXPECT_EQ(live_.state().modified_at.size(), tree().node_count());
  // Ids 1 to 199 once each; id 0 on 201 files, one hard-link group counted once.
  EXPECT_EQ(tree().totals(0).logical_bytes, 199u + 1u);
  EXPECT_EQ(tree().hard_link(tree().node_count() - 1)->link_count, 201u);
}

}  // namespace
}  // namespace ketterlin::scanner
