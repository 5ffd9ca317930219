// The real helper on Windows (or under Wine), end to end: the host library's named-pipe server
// plays the analyser, the helper is started with --pipe <name>, and everything it sends is checked:
// the order of the messages, every node against what the system says about its entry (paths in
// display form, kinds, sizes, identities, times), the progress counters, "complete" and the exit
// status; and the failures a host can cause.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/session/pipe_server.h"
#include "platform/child_process.h"
#include "platform/os_error.h"
#include "platform/os_string.h"
#include "scan_helper/message_testing.h"
#include "win32_testing.h"

namespace ketterlin::platform {
void PrintTo(const ExitStatus& status, std::ostream* out) { *out << debug_string(status); }
}  // namespace ketterlin::platform

namespace ketterlin::helper::testing {
namespace {

using platform::ExitStatus;
using platform::OsString;
using platform::testing::EntryFacts;
using platform::testing::ScratchFolder;

const ExitStatus kSucceeded{ExitStatus::Kind::Exited, 0};
const ExitStatus kFailed{ExitStatus::Kind::Exited, 1};
// Stands for the host's pipe name in a run's arguments.
const OsString kPipe = L"<pipe>";
constexpr std::size_t kFrameLimit = 4194304;
// How long each step of a run (connecting, reading, ending) may take.
constexpr std::chrono::seconds kTimeLimit{60};

std::string utf8(const std::wstring& text) { return platform::to_utf8_lossy(text); }

std::wstring upper(std::wstring text) {
  CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

// The helper, built beside this test.
OsString helper_path() {
  std::wstring own(MAX_PATH, L'\0');
  own.resize(GetModuleFileNameW(nullptr, own.data(), MAX_PATH));
  return own.substr(0, own.rfind(L'\\') + 1) + platform::from_utf8(KETTERLIN_SCAN_HELPER_NAME);
}

// What the host does once the helper has connected.
struct HostPlay {
  std::string request;  // written first
  // The host closes the pipe after writing, without reading: a pipe has no half-close.
  bool close_after_writing = false;
  // When not empty: the host closes the pipe as soon as a whole line holding this arrives.
  std::string close_after_line_containing = "";
};

struct HelperRun {
  bool connected = false;
  std::string received;
  ExitStatus status;
  std::string standard_output;
  std::string standard_error;
  bool timed_out = false;
};

// Reads the helper's stream until its end, or until a whole line holds `stop_line` when that is
// not empty.
std::string read_stream(host::HelperConnection& connection, const std::string& stop_line) {
  std::string received;
  std::string buffer(65536, '\0');
  std::size_t line_start = 0;
  for (;;) {
    const auto count = connection.read_some(buffer.data(), buffer.size());
    if (!count || *count == 0) return received;
    received.append(buffer.data(), *count);
    if (!stop_line.empty() && line_arrived(received, line_start, stop_line)) return received;
  }
}

// Starts the helper with `arguments` (kPipe replaced by the name of a fresh pipe), plays `play`
// once it connects, reads everything it sends and collects how it ended.
HelperRun run_helper(std::vector<OsString> arguments, const HostPlay& play) {
  HelperRun run;
  auto server = host::PipeServer::create();
  if (!server) {
    ADD_FAILURE() << "no pipe server: " << to_string(server.error());
    return run;
  }
  for (OsString& argument : arguments) {
    if (argument == kPipe) argument = server->name();
  }
  auto helper = platform::ChildProcess::start({.program = helper_path(),
                                               .arguments = arguments,
                                               .standard_input = platform::StreamSetup::Null,
                                               .standard_output = platform::StreamSetup::Pipe,
                                               .standard_error = platform::StreamSetup::Pipe});
  if (!helper) {
    ADD_FAILURE() << "the helper did not start: " << platform::to_string(helper.error());
    return run;
  }
  auto connection = server->accept(kTimeLimit, [&helper] {
    const auto exited = helper->try_wait();
    return exited && !*exited;
  });
  if (!connection) ADD_FAILURE() << "accepting failed: " << to_string(connection.error());
  if (connection && *connection) {
    run.connected = true;
    // A helper that refuses the request before reading it all may close first.
    (void)(*connection)->write_all(play.request);
    if (!play.close_after_writing) {
      auto reading = std::async(std::launch::async, [&] {
        return read_stream(**connection, play.close_after_line_containing);
      });
      // A helper that neither ends nor closes the pipe is killed, which ends the reading.
      if (reading.wait_for(kTimeLimit) == std::future_status::timeout) {
        run.timed_out = true;
        helper->kill();
      }
      run.received = reading.get();
    }
    connection->reset();
  }
  auto output = helper->wait_with_output(kTimeLimit);
  if (!output) {
    ADD_FAILURE() << "waiting for the helper: " << platform::to_string(output.error());
    return run;
  }
  run.status = output->status;
  run.standard_output = std::move(output->standard_output);
  run.standard_error = std::move(output->standard_error);
  run.timed_out = run.timed_out || output->timed_out;
  return run;
}

std::string scan_request(const std::string& mode, const std::wstring& root,
                         const std::vector<std::wstring>& targets, const Json& volume = nullptr) {
  Json target_list = Json::array();
  for (const std::wstring& target : targets) target_list.push_back(utf8(target));
  const Json request = {
      {"type", "scan"},
      {"request",
       {{"mode", mode}, {"root", utf8(root)}, {"targets", target_list}, {"volume", volume}}}};
  return request.dump() + "\n";
}

// ---- What the disk holds ----

// Adds every entry below the folder `verbatim_folder` to `entries`, by the path the helper must
// show for it: `display_folder` joined with the names. Links are not followed.
void read_below(const std::wstring& verbatim_folder, const std::wstring& display_folder,
                std::map<std::string, EntryFacts>& entries) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((verbatim_folder + L"\\*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE) << utf8(verbatim_folder);
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = verbatim_folder + L"\\" + name;
    const std::optional<EntryFacts> facts = platform::testing::entry_facts(child);
    EXPECT_TRUE(facts.has_value()) << utf8(child);
    if (!facts) continue;
    entries[utf8(display_folder + L"\\" + name)] = *facts;
    const bool folder = (facts->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (facts->attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (folder) read_below(child, display_folder + L"\\" + name, entries);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// Every entry at and below `verbatim_root`, by the path the helper must show for it.
std::map<std::string, EntryFacts> read_disk_tree(const std::wstring& verbatim_root,
                                                 const std::wstring& display_root) {
  std::map<std::string, EntryFacts> entries;
  const std::optional<EntryFacts> root = platform::testing::entry_facts(verbatim_root);
  EXPECT_TRUE(root.has_value()) << utf8(verbatim_root);
  if (root) entries[utf8(display_root)] = *root;
  read_below(verbatim_root, display_root, entries);
  return entries;
}

bool is_file(const EntryFacts& facts) { return (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0; }

uint64_t epoch_seconds(uint64_t ticks) {
  constexpr uint64_t k1970 = 116444736000000000ULL;
  return ticks < k1970 ? 0 : (ticks - k1970) / 10000000ULL;
}

// The NodeRecord the helper must send for an entry (id, parentId and path taken from `node`,
// which expect_parents_before_children checks).
Json expected_record(const Json& node, const EntryFacts& facts, const std::string& kind) {
  const bool file = is_file(facts);
  Json identity = nullptr;
  if (file) {
    std::vector<int> file_id(16, 0);
    for (int i = 0; i < 8; ++i) file_id[i] = static_cast<int>((facts.file_index >> (8 * i)) & 0xFF);
    identity = {{"volumeSerial", facts.volume_serial}, {"fileId", file_id}};
  }
  return {
      {"id", node["id"]},
      {"parentId", node["parentId"]},
      {"path", node["path"]},
      {"kind", kind},
      {"logicalBytes", file ? facts.end_of_file : 0},
      {"sizeOnDiskBytes", file ? facts.allocation_size : 0},
      {"flags",
       {{"cloudOnly", false},
        {"compressed", file && (facts.attributes & FILE_ATTRIBUTE_COMPRESSED) != 0},
        {"sparse", file && (facts.attributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0},
        {"deduplicated", false}}},
      {"identity", identity},
      {"linkTarget", nullptr},
      {"modifiedAtEpochSeconds", epoch_seconds(facts.last_write)},
  };
}

// Checks a streamed tree against the disk: parents before children, exactly the entries on
// disk, each node as the system describes its entry; the root of kind `root_kind`.
void expect_tree_matches_disk(const std::vector<Json>& nodes, const std::wstring& verbatim_root,
                              const std::wstring& display_root, const std::string& root_kind) {
  expect_parents_before_children(nodes);
  const std::map<std::string, EntryFacts> disk = read_disk_tree(verbatim_root, display_root);
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes.front()["path"], utf8(display_root));
  std::set<std::string> sent;
  for (const Json& node : nodes) {
    const std::string path = node["path"].get<std::string>();
    sent.insert(path);
    const auto found = disk.find(path);
    if (found == disk.end()) {
      ADD_FAILURE() << "sent but not on disk: " << path;
      continue;
    }
    const std::string kind = node["parentId"].is_null() ? root_kind
                             : is_file(found->second)   ? "file"
                                                        : "folder";
    EXPECT_EQ(node, expected_record(node, found->second, kind));
  }
  for (const auto& [path, facts] : disk) {
    EXPECT_TRUE(sent.contains(path)) << "on disk but not sent: " << path;
  }
}

// The counters the last progress message of a scan of the tree must hold.
Json expected_final_counts(const std::wstring& verbatim_root, const std::wstring& display_root) {
  uint64_t files = 0;
  uint64_t folders = 0;
  uint64_t bytes = 0;
  for (const auto& [path, facts] : read_disk_tree(verbatim_root, display_root)) {
    if (path == utf8(display_root)) continue;
    if (is_file(facts)) {
      ++files;
      bytes += facts.allocation_size;
    } else {
      ++folders;
    }
  }
  return {{"filesDiscovered", files},
          {"foldersDiscovered", folders + 1},
          {"bytesMeasured", bytes},
          {"inaccessibleItemCount", 0}};
}

// The wire word of the file system that holds `path`.
std::string file_system_word(const std::wstring& path) {
  wchar_t name[MAX_PATH + 1] = {};
  EXPECT_TRUE(GetVolumeInformationW(path.substr(0, 3).c_str(), nullptr, 0, nullptr, nullptr,
                                    nullptr, name, MAX_PATH + 1));
  const std::wstring kind = name;
  if (kind == L"NTFS") return "ntfs";
  if (kind == L"ReFS") return "reFs";
  if (kind == L"FAT32") return "fat32";
  if (kind == L"exFAT") return "exFat";
  return "other";
}

class HelperEndToEndOnWindows : public ::testing::Test {
 protected:
  // Runs the helper on `request` over a fresh pipe; the whole lines it sent are parsed into
  // messages_.
  HelperRun run(const std::string& request, std::string close_after_line_containing = "") {
    HelperRun result =
        run_helper({L"--pipe", kPipe}, {request, false, std::move(close_after_line_containing)});
    EXPECT_FALSE(result.timed_out);
    EXPECT_TRUE(result.connected);
    EXPECT_EQ(result.standard_output, "") << "nothing is ever written to standard output";
    const std::size_t whole = result.received.rfind('\n');
    messages_ = parse_messages(whole == std::string::npos
                                   ? std::string_view()
                                   : std::string_view(result.received).substr(0, whole + 1));
    return result;
  }

  void expect_completed(const HelperRun& result) {
    EXPECT_EQ(result.status, kSucceeded) << result.standard_error;
    EXPECT_EQ(result.standard_error, "");
    EXPECT_TRUE(!result.received.empty() && result.received.back() == '\n') << "whole lines only";
    ASSERT_FALSE(messages_.empty());
    EXPECT_EQ(messages_.back(), Json({{"type", "complete"}}));
  }

  // Checks the progress of target `index`: "queued" first, "completed" last, the last one's
  // counters those of the tree.
  void expect_progress(int64_t index, const Json& counts) {
    const std::vector<Json> events = progress_of(messages_, index);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front()["status"], "queued");
    EXPECT_EQ(events.back()["status"], "completed");
    const Json& last = events.back();
    EXPECT_EQ(Json({{"filesDiscovered", last["filesDiscovered"]},
                    {"foldersDiscovered", last["foldersDiscovered"]},
                    {"bytesMeasured", last["bytesMeasured"]},
                    {"inaccessibleItemCount", last["inaccessibleItemCount"]}}),
              counts);
  }

  std::vector<Json> messages_;
};

TEST_F(HelperEndToEndOnWindows, ARestrictedTopUpReportsEachTargetInOrder) {
  const ScratchFolder scratch;
  scratch.folder(L"Mixed Case");
  scratch.file(L"Mixed Case\\plain.txt", std::string(5000, 'p'));
  scratch.file(L"Mixed Case\\empty.txt");
  scratch.folder(L"Mixed Case\\Folder");
  scratch.file(L"Mixed Case\\Folder\\inner.txt", "inner");
  scratch.folder(L"Mixed Case\\Folder\\Nested");
  scratch.file(L"Mixed Case\\Folder\\Nested\\deep.txt", "deep");
  scratch.folder(L"Mixed Case\\empty folder");
  scratch.file(L"Mixed Case\\hard-a.txt", "shared");
  scratch.hard_link(L"Mixed Case\\hard-b.txt", L"Mixed Case\\hard-a.txt");
  scratch.hard_link(L"Mixed Case\\Folder\\hard-c.txt", L"Mixed Case\\hard-a.txt");
  scratch.sparse_file(L"Mixed Case\\sparse.bin", int64_t{1} << 30);
  scratch.file(L"Mixed Case\\\u00fcn\u00efc\u00f8d\u00e9-\u65e5\u672c \U0001F4C1.txt", "u");
  scratch.file(L"Mixed Case\\dated.txt", "d");
  scratch.set_write_time(L"Mixed Case\\dated.txt", platform::testing::file_time(1234567890));
  // A name the plain form cannot carry (a device name): its paths stay verbatim.
  scratch.folder(L"con.txt");
  scratch.file(L"con.txt\\inside.txt", "i");

  // The root and the first target spelled in another case; the third only in verbatim form.
  const HelperRun result = run(scan_request(
      "restrictedTopUp", upper(scratch.path()),
      {upper(scratch / L"Mixed Case"), scratch / L"missing", scratch.verbatim(L"con.txt")}));

  expect_completed(result);
  EXPECT_EQ(outline(messages_),
            (std::vector<std::string>{"progress 0", "treeStart 0", "node 0", "treeEnd 0",
                                      "targetUnavailable 1", "progress 2", "treeStart 2", "node 2",
                                      "treeEnd 2", "complete"}));
  const std::string file_system = file_system_word(scratch.path());
  for (const Json& tree_start : messages_of_type(messages_, "treeStart")) {
    EXPECT_EQ(tree_start["fileSystem"], file_system);
  }
  // Display form with the names as stored; the verbatim form where the plain one is unsafe.
  const std::wstring first = scratch / L"Mixed Case";
  const std::wstring third = scratch.verbatim(L"con.txt");
  expect_tree_matches_disk(nodes_of(messages_, 0), scratch.verbatim(L"Mixed Case"), first,
                           "folder");
  expect_tree_matches_disk(nodes_of(messages_, 2), third, third, "folder");
  expect_progress(0, expected_final_counts(scratch.verbatim(L"Mixed Case"), first));
  expect_progress(2, expected_final_counts(third, third));

  std::map<std::string, Json> by_path;
  for (const Json& node : nodes_of(messages_, 0)) by_path[node["path"].get<std::string>()] = node;
  const Json& hard_a = by_path[utf8(first + L"\\hard-a.txt")];
  ASSERT_FALSE(hard_a["identity"].is_null());
  EXPECT_EQ(by_path[utf8(first + L"\\hard-b.txt")]["identity"], hard_a["identity"]);
  EXPECT_EQ(by_path[utf8(first + L"\\Folder\\hard-c.txt")]["identity"], hard_a["identity"]);
  EXPECT_EQ(by_path[utf8(first + L"\\Folder\\hard-c.txt")]["logicalBytes"], 6);
  EXPECT_EQ(by_path[utf8(first + L"\\sparse.bin")]["logicalBytes"], uint64_t{1} << 30);
  EXPECT_EQ(by_path[utf8(first + L"\\dated.txt")]["modifiedAtEpochSeconds"], 1234567890);
}

TEST_F(HelperEndToEndOnWindows, AFullRootScanOfAVolumeSendsADriveWithoutUnknownSpace) {
  // Under Wine, the Unix side through Z:; on Windows, the temporary folder.
  const ScratchFolder scratch(platform::testing::running_under_wine() ? L"Z:\\tmp" : L"");
  scratch.folder(L"volume");
  scratch.file(L"volume\\a.txt", "abc");
  scratch.folder(L"volume\\sub");
  scratch.file(L"volume\\sub\\b.txt", std::string(10000, 'b'));
  const std::wstring root = scratch / L"volume";

  // The host says the volume holds far more than its files: the rest is Unknown Space.
  const HelperRun result = run(scan_request(
      "fullRoot", root, {root}, {{"usedBytes", uint64_t{1} << 40}, {"fileSystem", "ntfs"}}));

  expect_completed(result);
  EXPECT_EQ(outline(messages_), (std::vector<std::string>{"progress 0", "treeStart 0", "node 0",
                                                          "treeEnd 0", "complete"}));
  EXPECT_EQ(messages_of_type(messages_, "treeStart").at(0)["fileSystem"], "ntfs");
  const std::vector<Json> nodes = nodes_of(messages_, 0);
  expect_tree_matches_disk(nodes, scratch.verbatim(L"volume"), root, "drive");
  expect_progress(0, expected_final_counts(scratch.verbatim(L"volume"), root));
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes.back()["id"], 3) << "Unknown Space comes last and is not sent";
}

TEST_F(HelperEndToEndOnWindows, ConnectionAndRequestFailuresEndWithStatusOne) {
  const std::string no_targets =
      R"({"type":"scan","request":{"mode":"restrictedTopUp","root":"C:\\","targets":[]}})";
  std::string over_limit = no_targets;
  over_limit.resize(kFrameLimit, ' ');
  over_limit += "\n";
  const OsString missing_pipe =
      L"\\\\.\\pipe\\ketterlin-no-such-pipe-" + std::to_wstring(GetCurrentProcessId());
  struct Case {
    const char* name;
    std::vector<OsString> arguments;
    HostPlay play;
    bool connects;
    std::vector<std::string> lines;
    std::string error_text;  // standard error without its line feed
  };
  const Case cases[] = {
      {"no pipe of that name",
       {L"--pipe", missing_pipe},
       {},
       false,
       {},
       "named pipe operation failed (2)"},
      {"host closes without writing",
       {L"--pipe", kPipe},
       {"", true},
       true,
       {},
       "named pipe closed before the next frame"},
      {"frame one byte over the limit",
       {L"--pipe", kPipe},
       {over_limit},
       true,
       {},
       "named pipe frame exceeds the size limit"},
      // Decoded and refused; the failure message then finds the host gone.
      {"no line feed, then the host closes",
       {L"--pipe", kPipe},
       {no_targets, true},
       true,
       {},
       platform::to_string(platform::OsError{ERROR_NO_DATA})},
      {"request refused with a failure message",
       {L"--pipe", kPipe},
       {no_targets + "\r\n"},
       true,
       {R"({"type":"failure","message":"at least one scan target is required"})"},
       "at least one scan target is required"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HelperRun result = run_helper(c.arguments, c.play);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.connected, c.connects);
    EXPECT_EQ(result.status, kFailed);
    EXPECT_EQ(result.standard_output, "");
    EXPECT_EQ(result.standard_error, c.error_text + "\n");
    std::vector<std::string> lines;
    for (std::string_view rest = result.received; !rest.empty();) {
      const std::size_t end = rest.find('\n');
      lines.emplace_back(rest.substr(0, end));
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_TRUE(result.received.empty() || result.received.back() == '\n') << "whole lines only";
  }
}

TEST_F(HelperEndToEndOnWindows, AHostThatGoesAwayMidRunEndsItWithStatusOne) {
  const ScratchFolder scratch;
  scratch.folder(L"large");
  // Far more node text than the pipe holds, so that the helper still writes after the host left.
  for (int i = 0; i < 400; ++i) {
    scratch.file(L"large\\" + std::to_wstring(i) + std::wstring(150, L'f'));
  }

  const HelperRun result =
      run(scan_request("restrictedTopUp", scratch.path(), {scratch / L"large"}), R"("queued")");

  ASSERT_NE(result.received.find(R"("status":"queued")"), std::string::npos);
  EXPECT_EQ(result.status, kFailed) << result.standard_error;
  // A write after the host closed ("the pipe is being closed"), or one the closing cut short.
  const std::string being_closed = platform::to_string(platform::OsError{ERROR_NO_DATA}) + "\n";
  const std::string ended = platform::to_string(platform::OsError{ERROR_BROKEN_PIPE}) + "\n";
  EXPECT_TRUE(result.standard_error == being_closed || result.standard_error == ended)
      << result.standard_error;
  EXPECT_TRUE(messages_of_type(messages_, "complete").empty());
}

}  // namespace
}  // namespace ketterlin::helper::testing
