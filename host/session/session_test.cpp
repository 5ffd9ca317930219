#include "host/session/session.h"

#include <gtest/gtest.h>

#include <deque>

namespace ketterlin::host {
namespace {

using elevation::HelperMessage;
using HostKind = HostError::Kind;

// The OS form of UTF-8 text, kept alive for the views that messages hold.
platform::OsStringView os(std::string_view text) {
  static std::deque<platform::OsString> storage;
  return storage.emplace_back(platform::from_utf8(text));
}

std::string line_of(const HelperMessage& message) {
  std::string text;
  EXPECT_TRUE(elevation::encode(message, text).has_value());
  return text + "\n";
}

elevation::NodeRecord record(uint64_t id, std::optional<uint64_t> parent, std::string_view path,
                             elevation::NodeRecordKind kind, uint64_t size = 0) {
  elevation::NodeRecord node;
  node.id = id;
  node.parent_id = parent;
  node.path = os(path);
  node.kind = kind;
  node.logical_bytes = size;
  node.size_on_disk_bytes = size;
  return node;
}

elevation::EventMessage progress(uint64_t target, elevation::ProgressStatus status,
                                 uint64_t files = 0) {
  return {elevation::TargetProgress{target, os("/r"), files, 0, 0, 0, 10, status}};
}

// A top-up of three targets as the helper sends it: a tree for target 0 (with a gap where the
// Unknown Space id would be), target 1 unavailable, a tree for target 2, then complete.
std::string recorded_run() {
  using elevation::NodeRecordKind;
  using elevation::ProgressStatus;
  std::string stream;
  stream += line_of(progress(0, ProgressStatus::Queued));
  stream += line_of(progress(0, ProgressStatus::Running, 2));
  stream += line_of(progress(0, ProgressStatus::Completed, 3));
  stream += line_of(elevation::TreeStartMessage{0, storage::FileSystemKind::Ntfs});
  stream +=
      line_of(elevation::NodeMessage{0, record(0, std::nullopt, "/r/a", NodeRecordKind::Folder)});
  stream += line_of(elevation::NodeMessage{0, record(1, 0, "/r/a/x", NodeRecordKind::File, 10)});
  stream += line_of(elevation::NodeMessage{0, record(2, 0, "/r/a/sub", NodeRecordKind::Folder)});
  stream += line_of(elevation::NodeMessage{0, record(4, 2, "/r/a/sub/y", NodeRecordKind::File, 5)});
  stream += line_of(elevation::TreeEndMessage{0});
  stream += line_of(elevation::TargetUnavailableMessage{1});
  stream += line_of(progress(2, ProgressStatus::Queued));
  stream += line_of(elevation::TreeStartMessage{2, std::nullopt});
  stream +=
      line_of(elevation::NodeMessage{2, record(0, std::nullopt, "/r/c", NodeRecordKind::Folder)});
  stream += line_of(elevation::TreeEndMessage{2});
  stream += line_of(elevation::CompleteMessage{});
  return stream;
}

// The stream cut into the pieces that `cuts` (ascending positions) start.
std::vector<std::string_view> pieces(std::string_view stream, std::vector<std::size_t> cuts) {
  cuts.push_back(stream.size());
  std::vector<std::string_view> result;
  for (std::size_t i = 0, at = 0; i < cuts.size(); at = cuts[i++]) {
    if (cuts[i] > at) result.push_back(stream.substr(at, cuts[i] - at));
  }
  return result;
}

TEST(ProtocolReaderTest, RebuildsARecordedRunHoweverTheBytesArrive) {
  for (const bool carriage_returns : {false, true}) {
    std::string stream;
    for (const char c : recorded_run())
      stream += c == '\n' && carriage_returns ? "\r\n" : std::string(1, c);
    std::vector<std::pair<std::string, std::vector<std::size_t>>> ways;
    for (const std::size_t piece :
         {stream.size(), std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
      std::vector<std::size_t> cuts;
      for (std::size_t at = piece; at < stream.size(); at += piece) cuts.push_back(at);
      ways.emplace_back("pieces of " + std::to_string(piece) + " bytes", cuts);
    }
    // Every message whole in one piece but for its line feed, which starts the next piece.
    std::vector<std::size_t> before_line_feeds;
    for (std::size_t at = stream.find('\n'); at != std::string::npos;
         at = stream.find('\n', at + 1)) {
      before_line_feeds.push_back(at);
    }
    ways.emplace_back("pieces ending before each line feed", before_line_feeds);
    for (const auto& [way, cuts] : ways) {
      SCOPED_TRACE(way + (carriage_returns ? ", lines ending in CR LF" : ""));
      std::vector<std::string> seen;
      ProtocolReader reader(3, PathStyle::Posix, [&seen](const elevation::DecodedProgress& event) {
        seen.push_back(std::to_string(event.target_index) + ":" +
                       std::string(elevation::to_wire(event.status)));
      });
      for (const std::string_view piece : pieces(stream, cuts)) {
        auto fed = reader.feed(piece);
        ASSERT_TRUE(fed.has_value()) << to_string(fed.error());
      }
      ASSERT_TRUE(reader.end_of_stream().has_value());
      EXPECT_EQ(reader.end(), RunEnd::Complete);
      EXPECT_EQ(reader.lines_read(), 15u);
      EXPECT_EQ(seen,
                (std::vector<std::string>{"0:queued", "0:running", "0:completed", "2:queued"}));
      const auto& targets = reader.targets();
      ASSERT_EQ(targets.size(), 3u);
      EXPECT_EQ(targets[0].state, TargetReport::State::Scanned);
      EXPECT_EQ(targets[0].file_system, storage::FileSystemKind::Ntfs);
      ASSERT_TRUE(targets[0].tree.has_value());
      EXPECT_EQ(targets[0].tree->size(), 4u);
      EXPECT_EQ(targets[0].tree->totals(0), (Sizes{15, 15}));
      EXPECT_EQ(targets[0].tree->path(3), "/r/a/sub/y");
      EXPECT_EQ(targets[0].last_progress->files_discovered, 3u);
      EXPECT_EQ(targets[1].state, TargetReport::State::Unavailable);
      EXPECT_FALSE(targets[1].tree.has_value());
      EXPECT_EQ(targets[2].state, TargetReport::State::Scanned);
      EXPECT_EQ(targets[2].file_system, std::nullopt);
      EXPECT_EQ(targets[2].tree->size(), 1u);
      EXPECT_EQ(reader.decoder().general_path_lines(), 0u);
    }
  }
}

TEST(ProtocolReaderTest, KeepsTheHelpersFailureText) {
  ProtocolReader reader(1, PathStyle::Posix, nullptr);
  std::string stream = line_of(progress(0, elevation::ProgressStatus::Running));
  stream += line_of(elevation::FailureMessage{"cannot list the scan root"});
  ASSERT_TRUE(reader.feed(stream).has_value());
  EXPECT_EQ(reader.end(), RunEnd::Failed);
  EXPECT_EQ(reader.failure_message(), "cannot list the scan root");
  // Nothing may follow the end.
  auto after = reader.feed(line_of(elevation::CompleteMessage{}));
  ASSERT_FALSE(after.has_value());
  EXPECT_EQ(to_string(after.error()),
            "protocol error from the helper on line 3: message after the end of the run");
}

// Messages in the wrong place, each after a valid beginning, with the line that broke the order.
TEST(ProtocolReaderTest, RefusesMessagesOutOfOrder) {
  using elevation::NodeRecordKind;
  const std::string root0 =
      line_of(elevation::NodeMessage{0, record(0, std::nullopt, "/r", NodeRecordKind::Folder)});
  const std::string start0 = line_of(elevation::TreeStartMessage{0, std::nullopt});
  struct Row {
    const char* name;
    std::size_t targets;
    std::string stream;
    std::string text;
  };
  const std::vector<Row> rows = {
      {"target out of range", 2, line_of(elevation::TargetUnavailableMessage{2}),
       "line 1: target 2 is not in the request"},
      {"target skipped", 2, line_of(progress(1, elevation::ProgressStatus::Queued)),
       "line 1: message for target 1 before target 0 was reported"},
      {"target reported twice", 2,
       line_of(elevation::TargetUnavailableMessage{0}) +
           line_of(elevation::TargetUnavailableMessage{0}),
       "line 2: message for target 0 after its report ended"},
      {"node before tree start", 1, root0, "line 1: node for target 0 outside its tree"},
      {"tree end without start", 1, line_of(elevation::TreeEndMessage{0}),
       "line 1: treeEnd for target 0 without a treeStart"},
      {"progress inside a tree", 1,
       start0 + root0 + line_of(progress(0, elevation::ProgressStatus::Running)),
       "line 3: message other than a node inside the tree of target 0"},
      {"complete inside a tree", 1, start0 + root0 + line_of(elevation::CompleteMessage{}),
       "line 3: message other than a node inside the tree of target 0"},
      {"complete too early", 3,
       line_of(elevation::TargetUnavailableMessage{0}) + line_of(elevation::CompleteMessage{}),
       "line 2: \"complete\" after only 1 of 3 targets were reported"},
      {"node of another target", 2,
       start0 + root0 +
           line_of(elevation::NodeMessage{1, record(1, 0, "/r/x", NodeRecordKind::File)}),
       "line 3: message for target 1 before target 0 was reported"},
      {"unknown parent", 1,
       start0 + root0 +
           line_of(elevation::NodeMessage{0, record(1, 5, "/r/x", NodeRecordKind::File)}),
       "line 3: node 1 names parent 5, which was not sent before it"},
      {"repeated id", 1,
       start0 + root0 +
           line_of(elevation::NodeMessage{0, record(0, 0, "/r/x", NodeRecordKind::File)}),
       "line 3: node 0 was sent twice"},
      {"empty tree", 1, start0 + line_of(elevation::TreeEndMessage{0}),
       "line 2: the tree has no nodes"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProtocolReader reader(row.targets, PathStyle::Posix, nullptr);
    auto fed = reader.feed(row.stream);
    ASSERT_FALSE(fed.has_value());
    EXPECT_EQ(fed.error().kind, HostKind::ProtocolViolation);
    EXPECT_EQ(to_string(fed.error()), "protocol error from the helper on " + row.text);
  }
}

TEST(ProtocolReaderTest, RefusesMalformedLongAndUnterminatedLines) {
  {
    ProtocolReader reader(1, PathStyle::Posix, nullptr);
    auto fed = reader.feed(line_of(progress(0, elevation::ProgressStatus::Queued)) + "{oops\n");
    ASSERT_FALSE(fed.has_value());
    EXPECT_EQ(fed.error().kind, HostKind::MalformedMessage);
    EXPECT_EQ(fed.error().number, 2u);
  }
  {
    // A complete message without its line feed is not a message yet; at the end it is an error.
    ProtocolReader reader(1, PathStyle::Posix, nullptr);
    ASSERT_TRUE(reader.feed(R"({"type":"targetUnavailable","targetIndex":0})").has_value());
    EXPECT_EQ(reader.end(), RunEnd::Open);
    auto ended = reader.end_of_stream();
    ASSERT_FALSE(ended.has_value());
    EXPECT_EQ(ended.error().kind, HostKind::UnterminatedLine);
  }
  {
    ProtocolReader reader(1, PathStyle::Posix, nullptr, 32);
    ASSERT_TRUE(reader.feed(std::string(20, ' ')).has_value());
    auto fed = reader.feed(std::string(20, ' '));
    ASSERT_FALSE(fed.has_value());
    EXPECT_EQ(to_string(fed.error()), "the helper sent a line longer than 32 bytes");
  }
  {
    // A node line whole in one piece obeys the limit too.
    const std::string node_line = line_of(elevation::NodeMessage{
        0, record(0, std::nullopt, "/r", elevation::NodeRecordKind::Folder)});
    ProtocolReader reader(1, PathStyle::Posix, nullptr, node_line.size() - 2);
    auto fed = reader.feed(line_of(elevation::TreeStartMessage{0, std::nullopt}) + node_line);
    ASSERT_FALSE(fed.has_value());
    EXPECT_EQ(fed.error().kind, HostKind::LineTooLong);
  }
}

TEST(HostErrorTest, TextsOfEveryKind) {
  using Kind = HostError::Kind;
  const platform::ExitStatus exited_one{platform::ExitStatus::Kind::Exited, 1};
  const platform::ExitStatus killed{platform::ExitStatus::Kind::Killed, 9};
  struct Row {
    HostError error;
    std::string text;
  };
  HostError timed_out;
  timed_out.kind = Kind::ConnectTimedOut;
  timed_out.number = 30;
  HostError failed = HostError::helper_ended(Kind::HelperFailed, exited_one, "");
  failed.detail = "at least one scan target is required";
  HostError elevation;
  elevation.kind = Kind::ElevationUnavailable;
  HostError not_unicode;
  not_unicode.kind = Kind::PathNotUnicode;
  not_unicode.detail = "/a\xEF\xBF\xBD";
  HostError is_folder;
  is_folder.kind = Kind::ExportIsFolder;
  is_folder.detail = "/out";
  HostError refused;
  refused.kind = Kind::RequestRefused;
  refused.detail = "scan target is repeated: /r/a";
  HostError interrupted;
  interrupted.kind = Kind::Interrupted;
  interrupted.number = 15;
  EXPECT_EQ(exit_status(interrupted), 143);
  EXPECT_EQ(exit_status(refused), 2);
  EXPECT_EQ(exit_status(is_folder), 2);
  EXPECT_EQ(exit_status(failed), 1);
  const platform::OsError denied{13};
  const std::string denied_text = platform::to_string(denied);
  const std::vector<Row> rows = {
      {HostError::with_os_error(Kind::EndpointFailed, "bind", denied),
       "cannot create the helper's pipe (bind): " + denied_text},
      {HostError::with_os_error(Kind::HelperNotStarted, "/x/helper", denied),
       "cannot start the helper /x/helper: " + denied_text},
      {elevation, "cannot elevate the helper: neither sudo nor pkexec was found"},
      {HostError::helper_ended(Kind::HelperExitedEarly, exited_one, "boom\n"),
       "the helper exited with 1 before connecting: boom"},
      {timed_out, "the helper did not connect within 30 seconds"},
      {HostError::with_os_error(Kind::ReadFailed, "", denied),
       "reading from the helper failed: " + denied_text},
      {HostError::with_os_error(Kind::WriteFailed, "", denied),
       "writing the request to the helper failed: " + denied_text},
      {HostError::on_line(Kind::MalformedMessage, 4, "parse error"),
       "malformed message from the helper on line 4: parse error"},
      {failed, "the helper failed: at least one scan target is required (exited with 1)"},
      {HostError::helper_ended(Kind::HelperEndedEarly, killed, ""),
       "the helper killed by 9 without completing the scan"},
      {HostError::helper_ended(Kind::HelperStatusAfterComplete, exited_one, "late\n"),
       "the helper exited with 1 after completing the scan: late"},
      {HostError::helper_ended(Kind::UnterminatedLine, killed, ""),
       "the helper's output ended inside a line (killed by 9)"},
      {HostError::with_os_error(Kind::HelperWaitFailed, "", denied),
       "cannot collect the helper's exit status: " + denied_text},
      {not_unicode, "path is not valid Unicode: /a\xEF\xBF\xBD"},
      {HostError::with_os_error(Kind::ExportFailed, "/out.json", denied),
       "cannot write /out.json: " + denied_text},
      {is_folder, "cannot write /out: it is a folder"},
      {refused, "scan target is repeated: /r/a"},
      {interrupted, "interrupted by signal 15"},
  };
  for (const Row& row : rows) EXPECT_EQ(to_string(row.error), row.text);
}

}  // namespace
}  // namespace ketterlin::host
