#include "scan_helper/scan_flow.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "platform/os_error.h"
#include "scan_helper/message_testing.h"
#include "scanner/scan_testing.h"
#include "storage/display_path.h"

namespace ketterlin::helper {
namespace {

namespace fs = std::filesystem;
using namespace scanner::testing_support;
using elevation::ProgressStatus;
using elevation::ValidatedScanRequest;
using platform::to_utf8_lossy;
using scanner::ScanStatus;
using testing::Json;
using testing::nodes_of;
using testing::outline;
using testing::statuses_of;

constexpr platform::OsError kBrokenPipe{32};
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// ---- A stream that records what the connection writes ----

struct WriteLog {
  std::string written;  // the bytes of every successful write, in order
  bool failed = false;  // a write has failed
  std::size_t writes_after_failure = 0;
  // Whether the write of `bytes` fails with kBrokenPipe; empty: every write succeeds.
  std::function<bool(std::string_view bytes)> fails;
};

class RecordingStream final : public PipeStream {
 public:
  explicit RecordingStream(std::shared_ptr<WriteLog> log) : log_(std::move(log)) {}

  tl::expected<std::size_t, StreamFailure> read(std::span<char>) override { return 0; }

  tl::expected<std::size_t, StreamFailure> write(std::span<const char> bytes) override {
    const std::string_view text(bytes.data(), bytes.size());
    if (log_->failed) ++log_->writes_after_failure;
    if (log_->fails && log_->fails(text)) {
      log_->failed = true;
      return tl::unexpected(StreamFailure{kBrokenPipe, false});
    }
    log_->written.append(text);
    return bytes.size();
  }

 private:
  std::shared_ptr<WriteLog> log_;
};

// ---- The fixture: real folders, a scripted reader, a recording connection ----

class ScanFlowTest : public ::testing::Test {
 protected:
  ScanFlowTest() {
    std::random_device random;
    base_ = fs::temp_directory_path() / ("ketterlin-scan-flow-" + std::to_string(random()));
    for (const char* name : {"a", "c"}) fs::create_directories(base_ / name);
  }

  ~ScanFlowTest() override {
    // Scans that outlived their run still call the reader: wait for their threads first.
    for (std::thread& thread : threads_) thread.join();
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  // The canonical path of the folder `name` below the base (the form validation gives).
  OsString target(const char* name) {
    auto canonical = platform::canonicalize((base_ / name).native());
    EXPECT_TRUE(canonical.has_value());
    return canonical.value_or(OsString());
  }
  // The path of `names` below the target `name`, as the scan lists it.
  OsString below(const char* name, std::initializer_list<const char*> names) {
    OsString path = target(name);
    for (const char* component : names) path = platform::join_path(path, from_utf8(component));
    return path;
  }
  // The path the traversal lists for the target `name` itself.
  OsString root_listing(const char* name) { return platform::join_path(target(name), {}); }
  // The target `name` as the scan shows it (on Windows without the verbatim prefix).
  OsString shown(const char* name) { return storage::display_path(target(name)); }
  // The text of `names` below the target `name`, as the messages carry it.
  std::string text(const char* name, std::initializer_list<const char*> names = {}) {
    OsString path = shown(name);
    for (const char* component : names) path = platform::join_path(path, from_utf8(component));
    return to_utf8_lossy(path);
  }

  std::shared_ptr<scanner::ScanManager> manager() {
    scanner::ScanManager::Options options;
    options.read_directory = reader_.function();
    options.start_thread = thread_starter_;
    if (!options.start_thread) {
      options.start_thread =
          [this](std::function<void()> job) -> tl::expected<void, platform::OsError> {
        threads_.emplace_back(std::move(job));
        return {};
      };
    }
    return *scanner::ScanManager::create(std::move(options));
  }

  // Runs the flow over `request` into a fresh recording connection; the messages it wrote end up
  // in messages_.
  tl::expected<void, ScanFlowError> run(const ValidatedScanRequest& request,
                                        std::function<bool(std::string_view)> fails = {}) {
    log_ = std::make_shared<WriteLog>();
    log_->fails = std::move(fails);
    auto scans = manager();
    PipeConnection connection(std::make_unique<RecordingStream>(log_));
    auto result = scan_targets(connection, request, *scans);
    messages_ = testing::parse_messages(log_->written);
    return result;
  }

  bool listed(const OsString& directory_path) {
    for (const ReaderCall& call : reader_.calls()) {
      if (call.directory_path == directory_path) return true;
    }
    return false;
  }

  FakeReader reader_;
  scanner::ScanManager::ThreadStarter thread_starter_;  // empty: threads joined at the end
  std::shared_ptr<WriteLog> log_;
  std::vector<Json> messages_;

 private:
  fs::path base_;
  std::vector<std::thread> threads_;  // every coordinator thread, joined at the end
};

ValidatedScanRequest restricted(std::vector<std::optional<OsString>> targets) {
  ValidatedScanRequest request;
  request.targets = std::move(targets);
  return request;
}

ValidatedScanRequest full_root(OsString root,
                               std::optional<storage::ElevatedVolume> volume = std::nullopt) {
  ValidatedScanRequest request;
  request.root = root;
  request.targets = {root};
  request.volume = volume;
  request.full_root = true;
  return request;
}

std::set<std::string> paths_of(const std::vector<Json>& nodes) {
  std::set<std::string> paths;
  for (const Json& node : nodes) paths.insert(node["path"].get<std::string>());
  return paths;
}

// ---- Message order ----

TEST_F(ScanFlowTest, UnavailableSlotsAreReportedInOrderWithoutAnyScan) {
  struct Row {
    const char* name;
    std::size_t slots;
    std::vector<std::string> outline;
  };
  const Row rows[] = {
      {"one unavailable slot", 1, {"targetUnavailable 0", "complete"}},
      {"every slot unavailable",
       3,
       {"targetUnavailable 0", "targetUnavailable 1", "targetUnavailable 2", "complete"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(run(restricted(std::vector<std::optional<OsString>>(row.slots))).has_value());
    EXPECT_EQ(outline(messages_), row.outline);
  }
  EXPECT_TRUE(reader_.calls().empty());
}

TEST_F(ScanFlowTest, ThreeTargetsWithTheMiddleOneUnavailable) {
  reader_.on(root_listing("a"), {{Batch{{file("x", 10, 4096, 1), folder("sub")}}}, ok()});
  reader_.on(below("a", {"sub"}), {{Batch{{file("y", 3, 4096, 2)}}}, ok()});
  reader_.on(root_listing("c"), {{Batch{}}, ok()});

  ASSERT_TRUE(run(restricted({target("a"), std::nullopt, target("c")})).has_value());

  EXPECT_EQ(outline(messages_),
            (std::vector<std::string>{"progress 0", "treeStart 0", "node 0", "treeEnd 0",
                                      "targetUnavailable 1", "progress 2", "treeStart 2", "node 2",
                                      "treeEnd 2", "complete"}));
  for (int index : {0, 2}) {
    SCOPED_TRACE(index);
    const std::vector<std::string> statuses = statuses_of(messages_, index);
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses.front(), "queued");
    EXPECT_EQ(statuses.back(), "completed");
  }
  // "treeStart" follows the completed progress directly.
  for (std::size_t i = 0; i < messages_.size(); ++i) {
    if (messages_[i]["type"] != "treeStart") continue;
    ASSERT_GT(i, 0u);
    EXPECT_EQ(messages_[i - 1]["event"]["status"], "completed");
  }
  EXPECT_EQ(paths_of(nodes_of(messages_, 0)),
            (std::set<std::string>{text("a"), text("a", {"x"}), text("a", {"sub"}),
                                   text("a", {"sub", "y"})}));
  testing::expect_parents_before_children(nodes_of(messages_, 0));
  // Each node carries what its entry said, and the modification time of its own id.
  for (const Json& node : nodes_of(messages_, 0)) {
    if (node["path"] == text("a")) {
      EXPECT_EQ(node["modifiedAtEpochSeconds"],
                platform::last_write_epoch_seconds(target("a")).value_or(0));
    } else if (node["path"] == text("a", {"x"})) {
      EXPECT_EQ(node["logicalBytes"], 10);
      EXPECT_EQ(node["sizeOnDiskBytes"], 4096);
      EXPECT_EQ(node["identity"]["fileId"][0], 1);
      EXPECT_EQ(node["modifiedAtEpochSeconds"], 201);
    } else if (node["path"] == text("a", {"sub"})) {
      EXPECT_EQ(node["kind"], "folder");
      EXPECT_EQ(node["modifiedAtEpochSeconds"], 100);
    } else {
      EXPECT_EQ(node["modifiedAtEpochSeconds"], 202);
    }
  }
  EXPECT_EQ(paths_of(nodes_of(messages_, 2)), std::set<std::string>{text("c")});
}

struct FailureRow {
  const char* name;
  Script root_listing;
  ScanStatus status;
  const char* status_word;  // of the last progress message
  const char* message;
};

std::vector<FailureRow> failure_rows() {
  return {
      {"root listing fails",
       {{}, error(0x80070005, "Access is denied.")},
       ScanStatus::Failed,
       "failed",
       "Access is denied. (0x80070005)"},
      {"a directory worker faults",
       {{Throw{}}, ok()},
       ScanStatus::Failed,
       "failed",
       "Directory worker stopped unexpectedly"},
      {"scan cancelled while the root is listed",
       {{SetCancel{}, Batch{{file("x", 1, 1, 1)}}}, ok()},
       ScanStatus::Cancelled,
       "cancelled",
       "Scan cancelled"},
  };
}

TEST_F(ScanFlowTest, AFailedRestrictedTargetIsUnavailableAndTheRunGoesOn) {
  for (const FailureRow& row : failure_rows()) {
    SCOPED_TRACE(row.name);
    reader_.on(root_listing("a"), row.root_listing);
    reader_.on(root_listing("c"), {{Batch{}}, ok()});

    ASSERT_TRUE(run(restricted({target("a"), target("c")})).has_value());

    EXPECT_EQ(outline(messages_),
              (std::vector<std::string>{"progress 0", "targetUnavailable 0", "progress 1",
                                        "treeStart 1", "node 1", "treeEnd 1", "complete"}));
    ASSERT_FALSE(statuses_of(messages_, 0).empty());
    EXPECT_EQ(statuses_of(messages_, 0).back(), row.status_word);
    EXPECT_TRUE(testing::messages_of_type(messages_, "failure").empty());
  }
}

TEST_F(ScanFlowTest, AFailedFullRootScanSendsOneFailureAndEndsWithIt) {
  for (const FailureRow& row : failure_rows()) {
    SCOPED_TRACE(row.name);
    reader_.on(root_listing("a"), row.root_listing);

    auto result = run(full_root(target("a")));

    ASSERT_FALSE(result.has_value());
    const auto* failure = std::get_if<scanner::ScanFailure>(&result.error());
    ASSERT_NE(failure, nullptr) << "a scan failure, not a pipe error";
    EXPECT_EQ(text_of(*failure),
              (FailureText{scanner::ScanId{1}, shown("a"), row.status, row.message}));
    EXPECT_EQ(outline(messages_), (std::vector<std::string>{"progress 0", "failure"}));
    const auto failures = testing::messages_of_type(messages_, "failure");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0]["message"],
              "Scan 1 failed at " + text("a") + ": " + std::string(row.message));
    EXPECT_EQ(statuses_of(messages_, 0).back(), row.status_word);
  }
}

TEST_F(ScanFlowTest, AScanWhoseThreadCannotStartFailsItsTarget) {
  const platform::OsError no_resources{11};
  thread_starter_ = [no_resources](std::function<void()>) -> tl::expected<void, platform::OsError> {
    return tl::unexpected(no_resources);
  };
  struct Row {
    const char* name;
    ValidatedScanRequest request;
    std::vector<std::string> outline;
    bool completes;
  };
  const Row rows[] = {
      {"restricted top-up: each target unavailable, then complete",
       restricted({target("a"), target("c")}),
       {"progress 0", "targetUnavailable 0", "progress 1", "targetUnavailable 1", "complete"},
       true},
      {"full root: the failure ends the run",
       full_root(target("a")),
       {"progress 0", "failure"},
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto result = run(row.request);
    EXPECT_EQ(result.has_value(), row.completes);
    EXPECT_EQ(outline(messages_), row.outline);
    EXPECT_EQ(statuses_of(messages_, 0), (std::vector<std::string>{"queued", "failed"}));
    // The scan never ran: the failure names the root as it was requested.
    for (const Json& failure : testing::messages_of_type(messages_, "failure")) {
      EXPECT_EQ(failure["message"], "Scan 1 failed at " + to_utf8_lossy(target("a")) + ": " +
                                        platform::to_string(no_resources));
    }
  }
  EXPECT_TRUE(reader_.calls().empty());
}

TEST_F(ScanFlowTest, AFailedSendEndsTheRunAtOnce) {
  // A tree long enough to need several writes: about 600 bytes per node message.
  std::vector<std::string> names;
  for (int i = 0; i < 600; ++i) names.push_back(std::string(200, 'n') + std::to_string(i));
  Batch many;
  for (std::size_t i = 0; i < names.size(); ++i) {
    many.entries.push_back(file(names[i].c_str(), i, 4096, static_cast<uint8_t>(i)));
  }
  reader_.on(root_listing("a"), {{many}, ok()});
  reader_.on(root_listing("c"), {{Batch{}}, ok()});

  struct Row {
    const char* name;
    std::function<bool(std::string_view)> fails;
    bool tree_started;
  };
  auto second_node_write = [node_writes = 0](std::string_view bytes) mutable {
    return bytes.find(R"("type":"node")") != std::string_view::npos && ++node_writes == 2;
  };
  const Row rows[] = {
      {"the first progress message", [](std::string_view) { return true; }, false},
      {"in the middle of the tree", second_node_write, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto result = run(restricted({target("a"), target("c")}), row.fails);

    ASSERT_FALSE(result.has_value());
    const auto* error = std::get_if<PipeError>(&result.error());
    ASSERT_NE(error, nullptr) << "a pipe error";
    EXPECT_EQ(*error, PipeError::io(kBrokenPipe));
    EXPECT_EQ(log_->writes_after_failure, 0u) << "nothing is written after the failure";
    EXPECT_TRUE(log_->written.empty() || log_->written.back() == '\n');
    EXPECT_TRUE(testing::messages_of_type(messages_, "treeEnd").empty());
    EXPECT_TRUE(testing::messages_of_type(messages_, "complete").empty());
    EXPECT_EQ(testing::messages_of_type(messages_, "treeStart").size(), row.tree_started ? 1u : 0u);
    EXPECT_LT(nodes_of(messages_, 0).size(), names.size() + 1);
    for (const Json& message : messages_) EXPECT_EQ(testing::target_of(message), 0);
    EXPECT_FALSE(listed(root_listing("c"))) << "the next target is never scanned";
  }
}

// ---- Tree content ----

TEST_F(ScanFlowTest, AFullRootScanOfAVolumeSendsADriveAndNoUnknownSpace) {
  reader_.on(root_listing("a"), {{Volume{7, storage::FileSystemKind::Other},
                                  Batch{{file("x", 10, 4096, 1), folder("sub")}}},
                                 ok()});
  reader_.on(below("a", {"sub"}), {{Batch{}}, ok()});

  // The volume holds far more than the tree: the rest becomes an Unknown Space node, id 3.
  ASSERT_TRUE(run(full_root(target("a"),
                            storage::ElevatedVolume{1'000'000'000, storage::FileSystemKind::Ntfs}))
                  .has_value());

  EXPECT_EQ(outline(messages_), (std::vector<std::string>{"progress 0", "treeStart 0", "node 0",
                                                          "treeEnd 0", "complete"}));
  EXPECT_EQ(testing::messages_of_type(messages_, "treeStart").at(0)["fileSystem"], "ntfs");
  const std::vector<Json> nodes = nodes_of(messages_, 0);
  std::vector<uint64_t> ids;
  for (const Json& node : nodes) ids.push_back(node["id"].get<uint64_t>());
  EXPECT_EQ(ids, (std::vector<uint64_t>{0, 1, 2}));
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes[0]["kind"], "drive");
  for (const Json& node : nodes) {
    EXPECT_EQ(node["path"].get<std::string>().find("Unknown Space"), std::string::npos);
  }
}

TEST_F(ScanFlowTest, TreeStartCarriesTheTreesFileSystem) {
  using storage::FileSystemKind;
  struct Row {
    const char* name;
    std::vector<Step> root_steps;
    std::optional<storage::ElevatedVolume> host_volume;  // full root when present
    Json file_system;
  };
  const Row rows[] = {
      {"no volume report", {Batch{}}, std::nullopt, nullptr},
      {"ntfs reported", {Volume{7, FileSystemKind::Ntfs}, Batch{}}, std::nullopt, "ntfs"},
      {"exFat reported", {Volume{7, FileSystemKind::ExFat}, Batch{}}, std::nullopt, "exFat"},
      {"the host's volume overrides the listing's",
       {Volume{7, FileSystemKind::Ntfs}, Batch{}},
       storage::ElevatedVolume{0, FileSystemKind::ReFs},
       "reFs"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    reader_.on(root_listing("a"), {row.root_steps, ok()});
    const ValidatedScanRequest request =
        row.host_volume ? full_root(target("a"), row.host_volume) : restricted({target("a")});
    ASSERT_TRUE(run(request).has_value());
    const auto starts = testing::messages_of_type(messages_, "treeStart");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["fileSystem"], row.file_system);
  }
}

// A drive with one node of every kind the wire knows, then the Unknown Space node.
storage::FinishedTree every_kind_of_node() {
  using storage::NodeKind;
  storage::ScanTree tree(from_utf8("R:"), NodeKind::Drive);
  tree.enable_accounting({});
  auto add = [&](storage::NodeId parent, const char* name, NodeKind kind) {
    storage::NodeEntry entry;
    const OsString os_name = from_utf8(name);
    entry.name = os_name;
    entry.kind = kind;
    return *tree.add_entry(parent, entry);
  };
  const storage::NodeId folder_id = add(0, "dir", NodeKind::Folder);  // 1
  storage::NodeEntry file_entry;
  const OsString file_name = from_utf8("f");
  file_entry.name = file_name;
  file_entry.kind = NodeKind::File;
  file_entry.flags =
      static_cast<uint8_t>(storage::NodeFlags::kCompressed | storage::NodeFlags::kDeduplicated);
  file_entry.own_size = storage::NodeSizes{10, 4096};
  file_entry.identity =
      storage::FileIdentity{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 7};
  EXPECT_TRUE(tree.add_entry(folder_id, file_entry).has_value());  // 2
  storage::NodeEntry link_entry;
  const OsString link_name = from_utf8("s");
  const OsString link_target = from_utf8("t");
  link_entry.name = link_name;
  link_entry.kind = NodeKind::SymbolicLink;
  link_entry.link_target = link_target;
  EXPECT_TRUE(tree.add_entry(0, link_entry).has_value());      // 3
  add(0, "j", NodeKind::Junction);                             // 4
  add(0, "m", NodeKind::VolumeMountPoint);                     // 5
  add(0, "o", NodeKind::OtherLink);                            // 6
  tree.mark_restricted(add(0, "locked", NodeKind::Folder));    // 7
  tree.mark_mount_point(add(0, "mounted", NodeKind::Folder));  // 8
  auto finished =
      std::move(tree).finish({}, storage::ElevatedVolume{1'000'000, storage::FileSystemKind::ReFs});
  EXPECT_TRUE(finished.has_value());
  return std::move(*finished);
}

TEST(SendTree, EveryNodeBecomesItsRecordAndUnknownSpaceIsSkipped) {
  struct Expected {
    const char* kind;
    Json parent_id;
    uint64_t logical;
    uint64_t on_disk;
    Json flags;
    Json identity;
    Json link_target;
  };
  const Json no_flags = {
      {"cloudOnly", false}, {"compressed", false}, {"sparse", false}, {"deduplicated", false}};
  const Json file_flags = {
      {"cloudOnly", false}, {"compressed", true}, {"sparse", false}, {"deduplicated", true}};
  const Json file_identity = {{"volumeSerial", 7},
                              {"fileId", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}};
  // By id; folders and the drive carry no own size, whatever their totals.
  const Expected expected[] = {
      {"drive", nullptr, 0, 0, no_flags, nullptr, nullptr},
      {"folder", 0, 0, 0, no_flags, nullptr, nullptr},
      {"file", 1, 10, 4096, file_flags, file_identity, nullptr},
      {"symbolicLink", 0, 0, 0, no_flags, nullptr, "t"},
      {"junction", 0, 0, 0, no_flags, nullptr, nullptr},
      {"volumeMountPoint", 0, 0, 0, no_flags, nullptr, nullptr},
      {"otherLink", 0, 0, 0, no_flags, nullptr, nullptr},
      {"restricted", 0, 0, 0, no_flags, nullptr, nullptr},
      {"volumeMountPoint", 0, 0, 0, no_flags, nullptr, nullptr},
  };
  const std::pair<const char*, std::vector<uint64_t>> modified_lists[] = {
      {"shorter than the nodes", {11, 12, 13}},
      {"longer than the nodes", {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22}},
      {"empty", {}},
  };
  for (const auto& [list_name, modified_at] : modified_lists) {
    SCOPED_TRACE(list_name);
    scanner::ScanResult result{every_kind_of_node(), modified_at, {}, {}, scanner::ScanId{1}};
    ASSERT_EQ(result.tree.unknown_space(), std::optional<storage::NodeId>(9));
    auto log = std::make_shared<WriteLog>();
    PipeConnection connection(std::make_unique<RecordingStream>(log));

    ASSERT_TRUE(send_tree(connection, 4, result).has_value());

    const std::vector<Json> messages = testing::parse_messages(log->written);
    EXPECT_EQ(outline(messages), (std::vector<std::string>{"treeStart 4", "node 4", "treeEnd 4"}));
    EXPECT_EQ(messages.front()["fileSystem"], "reFs");
    const std::vector<Json> nodes = nodes_of(messages, 4);
    ASSERT_EQ(nodes.size(), std::size(expected)) << "every node but Unknown Space";
    for (uint64_t id = 0; id < nodes.size(); ++id) {
      SCOPED_TRACE(id);
      const Json& node = nodes[id];
      const Expected& want = expected[id];
      EXPECT_EQ(node["id"], id);
      EXPECT_EQ(node["path"], to_utf8_lossy(result.tree.path(id)));
      EXPECT_EQ(node["kind"], want.kind);
      EXPECT_EQ(node["parentId"], want.parent_id);
      EXPECT_EQ(node["logicalBytes"], want.logical);
      EXPECT_EQ(node["sizeOnDiskBytes"], want.on_disk);
      EXPECT_EQ(node["flags"], want.flags);
      EXPECT_EQ(node["identity"], want.identity);
      EXPECT_EQ(node["linkTarget"], want.link_target);
      EXPECT_EQ(node["modifiedAtEpochSeconds"], id < modified_at.size() ? modified_at[id] : 0);
    }
  }
}

// ---- Progress messages ----

TEST(ProgressMessage, CopiesTheSnapshotAndMapsItsStatusAndTime) {
  using namespace std::chrono;
  struct Row {
    const char* name;
    ScanStatus status;
    nanoseconds elapsed;
    ProgressStatus expected_status;
    const char* word;
    uint64_t expected_millis;
  };
  const Row rows[] = {
      {"queued, nothing elapsed", ScanStatus::Queued, 0ns, ProgressStatus::Queued, "queued", 0},
      {"running, below one millisecond", ScanStatus::Running, 999'999ns, ProgressStatus::Running,
       "running", 0},
      {"completed, one millisecond", ScanStatus::Completed, 1'000'000ns, ProgressStatus::Completed,
       "completed", 1},
      {"cancelled, seconds and a part", ScanStatus::Cancelled, 3s + 999'999'999ns,
       ProgressStatus::Cancelled, "cancelled", 3999},
      {"failed", ScanStatus::Failed, 250ms, ProgressStatus::Failed, "failed", 250},
      {"stale is sent as failed", ScanStatus::Stale, 1ms, ProgressStatus::Failed, "failed", 1},
      {"the longest elapsed time", ScanStatus::Running, nanoseconds::max(), ProgressStatus::Running,
       "running", 9'223'372'036'854},
      {"a clock that went backwards", ScanStatus::Running, -5ms, ProgressStatus::Running, "running",
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    scanner::ScanProgress progress;
    progress.id = scanner::ScanId{9};
    progress.status = row.status;
    progress.current_path = from_utf8("C:\\Users");
    progress.files_discovered = 12;
    progress.folders_discovered = 3;
    progress.bytes_measured = kMax;
    progress.inaccessible_item_count = 1;
    progress.elapsed = row.elapsed;

    const elevation::EventMessage message = progress_message(5, progress);

    const elevation::TargetProgress& event = message.progress;
    EXPECT_EQ(event.target_index, 5u);
    EXPECT_EQ(OsString(event.current_path), progress.current_path);
    EXPECT_EQ(event.files_discovered, 12u);
    EXPECT_EQ(event.folders_discovered, 3u);
    EXPECT_EQ(event.bytes_measured, kMax);
    EXPECT_EQ(event.inaccessible_item_count, 1u);
    EXPECT_EQ(event.elapsed_millis, row.expected_millis);
    EXPECT_EQ(event.status, row.expected_status);
    EXPECT_EQ(elevation::to_wire(event.status), row.word);
  }
}

}  // namespace
}  // namespace ketterlin::helper
