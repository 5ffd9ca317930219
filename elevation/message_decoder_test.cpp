#include "elevation/message_decoder.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <random>
#include <sstream>

namespace ketterlin::elevation {
namespace {

// A canonical text of a decoded event, so that whole events compare in one assertion.
std::string describe(const DecodedMessage& event) {
  std::ostringstream out;
  struct Visitor {
    std::ostringstream& out;
    void operator()(const DecodedEventMessage& m) {
      const DecodedProgress& e = m.progress;
      out << "progress " << e.target_index << " [" << e.current_path << "] " << e.files_discovered
          << " " << e.folders_discovered << " " << e.bytes_measured << " "
          << e.inaccessible_item_count << " " << e.elapsed_millis << " " << to_wire(e.status);
    }
    void operator()(const TreeStartMessage& e) {
      out << "treeStart " << e.target_index << " "
          << (e.file_system ? to_wire(*e.file_system) : "null");
    }
    void operator()(const DecodedNodeMessage& e) {
      const DecodedNode& n = e.node;
      out << "node " << e.target_index << " id " << n.id << " parent "
          << (n.parent_id ? std::to_string(*n.parent_id) : "null") << " [" << n.path << "] "
          << to_wire(n.kind) << " " << n.logical_bytes << " " << n.size_on_disk_bytes << " flags "
          << n.flags.cloud_only << n.flags.compressed << n.flags.sparse << n.flags.deduplicated
          << " identity ";
      if (n.identity) {
        out << n.identity->volume_serial << ":";
        for (const uint8_t byte : n.identity->file_id) out << int{byte} << ".";
      } else {
        out << "null";
      }
      out << " target " << (n.link_target ? "[" + std::string(*n.link_target) + "]" : "null")
          << " mtime " << n.modified_at_epoch_seconds;
    }
    void operator()(const TreeEndMessage& e) { out << "treeEnd " << e.target_index; }
    void operator()(const TargetUnavailableMessage& e) { out << "unavailable " << e.target_index; }
    void operator()(const CompleteMessage&) { out << "complete"; }
    void operator()(const FailureMessage& e) { out << "failure [" << e.message << "]"; }
  };
  std::visit(Visitor{out}, event);
  return out.str();
}

// The OS form of UTF-8 text, kept alive for the views that messages hold.
platform::OsStringView os(std::string_view text) {
  static std::deque<platform::OsString> storage;
  return storage.emplace_back(platform::from_utf8(text));
}

std::string encoded(const HelperMessage& message) {
  std::string text;
  EXPECT_TRUE(encode(message, text).has_value());
  return text;
}

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// Lines written by the helper's own encoder, decoded by the host: every kind of message, the
// extremes of every number and the escapes of every special character.
TEST(MessageDecoderTest, DecodesEveryMessageTheHelperEncodes) {
  NodeRecord file;
  file.id = 7;
  file.parent_id = 3;
  file.path = os("/data/a \"quoted\" \\ name\twith\x01 and ü");
  file.kind = NodeRecordKind::File;
  file.logical_bytes = kMax;
  file.size_on_disk_bytes = 4096;
  file.flags = {true, false, true, false};
  file.identity =
      NodeRecordIdentity{kMax, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 255}};
  file.modified_at_epoch_seconds = 1700000000;
  NodeRecord root;
  root.path = os("/data");
  root.kind = NodeRecordKind::Drive;
  NodeRecord link;
  link.id = 9;
  link.parent_id = 0;
  link.path = os("/data/l");
  link.kind = NodeRecordKind::SymbolicLink;
  link.link_target = os("../elsewhere\n");
  TargetProgress progress{2, os("/data/x"), 1, 2, 3, 4, kMax, ProgressStatus::Running};

  struct Row {
    const char* name;
    HelperMessage message;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"progress", EventMessage{progress},
       "progress 2 [/data/x] 1 2 3 4 18446744073709551615 running"},
      {"tree start with file system", TreeStartMessage{1, storage::FileSystemKind::ExFat},
       "treeStart 1 exFat"},
      {"tree start without file system", TreeStartMessage{0, std::nullopt}, "treeStart 0 null"},
      {"root node", NodeMessage{0, root},
       "node 0 id 0 parent null [/data] drive 0 0 flags 0000 identity null target null mtime 0"},
      {"file node with escapes and identity", NodeMessage{5, file},
       "node 5 id 7 parent 3 [/data/a \"quoted\" \\ name\twith\x01 and ü] file "
       "18446744073709551615 4096 flags 1010 identity 18446744073709551615:"
       "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.255. target null mtime 1700000000"},
      {"link node", NodeMessage{0, link},
       "node 0 id 9 parent 0 [/data/l] symbolicLink 0 0 flags 0000 identity null target "
       "[../elsewhere\n] mtime 0"},
      {"tree end", TreeEndMessage{kMax}, "treeEnd 18446744073709551615"},
      {"target unavailable", TargetUnavailableMessage{3}, "unavailable 3"},
      {"complete", CompleteMessage{}, "complete"},
      {"failure", FailureMessage{"at least one scan target is required"},
       "failure [at least one scan target is required]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string line = encoded(row.message);
    MessageDecoder decoder;
    auto fast = decoder.decode(line);
    ASSERT_TRUE(fast.has_value()) << fast.error();
    EXPECT_EQ(describe(*fast), row.expected);
    EXPECT_EQ(decoder.general_path_lines(), 0u) << "the compact form must take the fast path";
    auto general = decoder.decode_general(line);
    ASSERT_TRUE(general.has_value()) << general.error();
    EXPECT_EQ(describe(*general), row.expected);
  }
}

// Other spellings of the same messages: whitespace, key order, unknown keys, escapes the helper
// does not write. They take the general path and mean the same.
TEST(MessageDecoderTest, AcceptsOtherValidSpellings) {
  struct Row {
    const char* name;
    std::string line;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"spaces and carriage return", "{ \"type\" : \"treeEnd\" , \"targetIndex\" : 4 }\r",
       "treeEnd 4"},
      {"type last", R"({"targetIndex":2,"type":"targetUnavailable"})", "unavailable 2"},
      {"unknown keys ignored", R"({"type":"complete","extra":[1,{"a":null}]})", "complete"},
      {"surrogate pair escape", R"({"type":"failure","message":"\ud83d\ude00 \u00fc"})",
       "failure [😀 ü]"},
      {"escaped solidus", R"({"type":"failure","message":"a\/b"})", "failure [a/b]"},
      {"node keys reordered",
       R"({"node":{"path":"/r","id":0,"parentId":null,"kind":"folder","logicalBytes":0,)"
       R"("sizeOnDiskBytes":0,"flags":{"sparse":false,"cloudOnly":false,"compressed":false,)"
       R"("deduplicated":true},"identity":null,"linkTarget":null,"modifiedAtEpochSeconds":5},)"
       R"("targetIndex":1,"type":"node"})",
       "node 1 id 0 parent null [/r] folder 0 0 flags 0001 identity null target null mtime 5"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MessageDecoder decoder;
    auto event = decoder.decode(row.line);
    ASSERT_TRUE(event.has_value()) << event.error();
    EXPECT_EQ(describe(*event), row.expected);
  }
}

// A helper asked for lossless paths writes what is not Unicode as lone surrogate escapes; both
// decoding paths give back the same bytes.
TEST(MessageDecoderTest, GivesBackWhatLoneSurrogateEscapesStandFor) {
  struct Row {
    const char* name;
    LoneSurrogates meaning;
    std::string path_json;  // the path as the line carries it
    std::string expected;   // the path decoded
  };
  const std::vector<Row> rows = {
      {"a Latin-1 byte", LoneSurrogates::Bytes, R"(/caf\udce9)", "/caf\xe9"},
      {"valid only in part", LoneSurrogates::Bytes, "/\xc3\xa9\\udcff\xc3\xa9\\t",
       "/\xc3\xa9\xff\xc3\xa9\t"},
      {"upper-case digits", LoneSurrogates::Bytes, R"(\uDC80)", "\x80"},
      {"outside the byte range on POSIX", LoneSurrogates::Bytes, R"(\ud800)", "\xed\xa0\x80"},
      {"an unpaired unit on Windows", LoneSurrogates::Units, R"(C:\\\ud800x)", "C:\\\xed\xa0\x80x"},
      {"a byte-range unit stays a unit on Windows", LoneSurrogates::Units, R"(\udce9)",
       "\xed\xb3\xa9"},
      {"a pair is a character", LoneSurrogates::Bytes, R"(\ud83d\ude00)", "\xf0\x9f\x98\x80"},
      {"the hiding mark itself, raw and escaped", LoneSurrogates::Bytes,
       "\xef\xb7\x90\\ufdd0\\udce9\xef\xb7\x90", "\xef\xb7\x90\xef\xb7\x90\xe9\xef\xb7\x90"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string fast = R"({"type":"event","event":{"type":"progress","targetIndex":0,)"
                             R"("currentPath":")" +
                             row.path_json +
                             R"(","filesDiscovered":1,"foldersDiscovered":2,"bytesMeasured":3,)"
                             R"("inaccessibleItemCount":0,"elapsedMillis":4,"status":"running"}})";
    MessageDecoder decoder(row.meaning);
    auto compact = decoder.decode(fast);
    ASSERT_TRUE(compact.has_value()) << compact.error();
    EXPECT_EQ(std::get<DecodedEventMessage>(*compact).progress.current_path, row.expected);
    EXPECT_EQ(decoder.general_path_lines(), 0u);
    auto general = decoder.decode_general(fast);
    ASSERT_TRUE(general.has_value()) << general.error();
    EXPECT_EQ(std::get<DecodedEventMessage>(*general).progress.current_path, row.expected);
  }
}

TEST(MessageDecoderTest, RefusesMalformedLines) {
  const std::string node_start =
      R"({"type":"node","targetIndex":0,"node":{"id":1,"parentId":0,"path":"/r/a","kind":"file",)";
  const std::string node_flags =
      R"("flags":{"cloudOnly":false,"compressed":false,"sparse":false,"deduplicated":false},)";
  struct Row {
    const char* name;
    std::string line;
    std::string problem;  // a part of the error text
  };
  const std::vector<Row> rows = {
      {"empty line", "", "parse error"},
      {"not JSON", "hello", "parse error"},
      {"truncated", R"({"type":"treeEnd","targetIndex":)", "parse error"},
      {"trailing text", R"({"type":"complete"}x)", "parse error"},
      {"two values", R"({"type":"complete"}{"type":"complete"})", "parse error"},
      {"array", R"(["complete"])", "not a JSON object"},
      {"no type", R"({"targetIndex":1})", "missing key \"type\""},
      {"type not a string", R"({"type":3})", "\"type\" is not a string"},
      {"unknown type", R"({"type":"Complete"})", "unknown message type \"Complete\""},
      {"missing target index", R"({"type":"treeEnd"})", "missing key \"targetIndex\""},
      {"negative number", R"({"type":"treeEnd","targetIndex":-1})", "\"targetIndex\" is not"},
      {"fraction", R"({"type":"treeEnd","targetIndex":1.0})", "\"targetIndex\" is not"},
      {"number above 2^64-1", R"({"type":"treeEnd","targetIndex":18446744073709551616})",
       "\"targetIndex\" is not"},
      {"leading zero", R"({"type":"treeEnd","targetIndex":01})", "parse error"},
      {"unknown status",
       R"({"type":"event","event":{"type":"progress","targetIndex":0,"currentPath":"","filesDiscovered":0,"foldersDiscovered":0,"bytesMeasured":0,"inaccessibleItemCount":0,"elapsedMillis":0,"status":"Running"}})",
       "unknown \"status\" value \"Running\""},
      {"unknown event type", R"({"type":"event","event":{"type":"tick"}})",
       "unknown event type \"tick\""},
      {"unknown file system", R"({"type":"treeStart","targetIndex":0,"fileSystem":"zfs"})",
       "unknown \"fileSystem\" value \"zfs\""},
      {"unknown kind", node_start.substr(0, node_start.size() - 14) + R"("kind":"pipe"}})",
       "unknown \"kind\" value \"pipe\""},
      {"node without sizes", node_start + node_flags.substr(0, node_flags.size() - 1) + "}}",
       "missing key \"logicalBytes\""},
      {"flag not boolean",
       node_start + R"("logicalBytes":1,"sizeOnDiskBytes":1,"flags":{"cloudOnly":0}}})",
       "\"cloudOnly\" in flags is not a boolean"},
      {"file id too short",
       node_start + R"("logicalBytes":1,"sizeOnDiskBytes":1,)" + node_flags +
           R"("identity":{"volumeSerial":1,"fileId":[1,2,3]},"linkTarget":null,"modifiedAtEpochSeconds":0}})",
       "\"fileId\" is not an array of 16 integers"},
      {"file id byte above 255",
       node_start + R"("logicalBytes":1,"sizeOnDiskBytes":1,)" + node_flags +
           R"("identity":{"volumeSerial":1,"fileId":[256,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]},"linkTarget":null,"modifiedAtEpochSeconds":0}})",
       "\"fileId\" is not an array of 16 integers"},
      {"invalid UTF-8 in a path",
       std::string(R"({"type":"failure","message":"a)") + "\xC3\x28" + R"("})", "parse error"},
      {"raw control character in a string",
       std::string(R"({"type":"failure","message":"a)") + "\x01" + R"("})", "parse error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MessageDecoder decoder;
    auto event = decoder.decode(row.line);
    ASSERT_FALSE(event.has_value()) << describe(*event);
    EXPECT_NE(event.error().find(row.problem), std::string::npos) << event.error();
  }
}

// The fast path may only take what the general path takes, with the same meaning: helper node
// lines with single bytes changed, inserted or removed (digits, quotes, escapes, separators,
// bytes above 0x7F, control characters), each read by both paths.
TEST(MessageDecoderTest, FastPathTakesOnlyWhatTheGeneralPathTakes) {
  NodeRecord file;
  file.id = 1234567;
  file.parent_id = 12;
  file.path = os("/data/caf\xc3\xa9 \"x\"\\y");
  file.logical_bytes = 9876543210;
  file.size_on_disk_bytes = 4096;
  file.identity = NodeRecordIdentity{2049, {7, 255, 0, 10, 0, 0, 0, 1}};
  file.modified_at_epoch_seconds = 1700000000;
  NodeRecord link;
  link.id = 99;
  link.parent_id = 0;
  link.path = os("/data/l");
  link.kind = NodeRecordKind::SymbolicLink;
  link.flags = {false, true, false, true};
  link.link_target = os("t\u00e9\n");
  const std::vector<std::string> lines = {encoded(NodeMessage{3, file}),
                                          encoded(NodeMessage{0, link})};
  const std::string replacements = "0123456789\"\\,:{}[]-.eE \x01\x7f\x80\xc3\xe9nulltrf/u";
  std::mt19937 random(5);
  MessageDecoder fast;
  MessageDecoder general;
  DecodedNodeMessage event;
  uint64_t taken = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string line = lines[round % lines.size()];
    const std::size_t at = std::uniform_int_distribution<std::size_t>(0, line.size() - 1)(random);
    const char byte = replacements[std::uniform_int_distribution<std::size_t>(
        0, replacements.size() - 1)(random)];
    switch (round % 3) {
      case 0:
        line[at] = byte;
        break;
      case 1:
        line.insert(at, 1, byte);
        break;
      default:
        line.erase(at, 1);
    }
    if (!fast.decode_compact_node(line, event)) continue;
    ++taken;
    SCOPED_TRACE(line);
    auto expected = general.decode_general(line);
    ASSERT_TRUE(expected.has_value()) << expected.error();
    EXPECT_EQ(describe(event), describe(*expected));
  }
  EXPECT_GT(taken, 1000u);  // changes within a number, a name or a flag keep the line valid
}

// The fast path hands back views into the line or into the decoder; a second decode must not
// disturb a first event's texts until it replaces them, and escaped texts must be complete.
TEST(MessageDecoderTest, EscapedTextsSurviveInTheDecoderUntilTheNextLine) {
  MessageDecoder decoder;
  auto first = decoder.decode(R"({"type":"failure","message":"line\nbreak \"q\""})");
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(std::get<FailureMessage>(*first).message, "line\nbreak \"q\"");
  auto second = decoder.decode(R"({"type":"failure","message":"plain"})");
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(std::get<FailureMessage>(*second).message, "plain");
}

}  // namespace
}  // namespace ketterlin::elevation
