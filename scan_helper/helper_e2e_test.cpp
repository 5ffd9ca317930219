// The real helper binary against a test host over a real socket.
#include <errno.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/os_error.h"
#include "scan_helper/test_host.h"

namespace ketterlin::platform {
void PrintTo(const ExitStatus& status, std::ostream* out) { *out << debug_string(status); }
}  // namespace ketterlin::platform

namespace ketterlin::helper::testing {
namespace {

namespace fs = std::filesystem;
using AfterWrite = HostScript::AfterWrite;

constexpr const char* kHelperPath = KETTERLIN_SCAN_HELPER_PATH;
// Stands for the host's socket path in a case's arguments.
constexpr const char* kSocket = "<socket>";
constexpr std::size_t kFrameLimit = 4194304;

const std::string kNoTargets =
    R"({"type":"scan","request":{"mode":"restrictedTopUp","root":"/","targets":[]}})";
const std::string kNoTargetsText = "at least one scan target is required";
const std::string kNoTargetsAnswer =
    R"({"type":"failure","message":"at least one scan target is required"})";

// kNoTargets with a key "x" whose value is `depth` nested arrays; with the request's own two
// objects, that is `depth` + 2 levels.
std::string nested_no_targets(std::size_t depth) {
  std::string request = kNoTargets;
  request.insert(request.size() - 2, ",\"x\":" + std::string(depth, '[') + std::string(depth, ']'));
  return request;
}

// `json` followed by blanks up to `size` bytes in all, the last one a line feed.
std::string line_of_size(std::string json, std::size_t size) {
  json.resize(size - 1, ' ');
  return json + "\n";
}

struct Case {
  const char* name;
  std::vector<std::string> arguments;
  HostScript script;
  bool connects = true;
  std::vector<std::string> lines;  // what the host receives
  std::string error_text;          // standard error without its line feed
  bool error_text_is_prefix = false;
};

class HelperEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    auto host = TestHost::create();
    ASSERT_TRUE(host.has_value()) << host.error();
    host_.emplace(std::move(*host));
  }

  void check(const Case& c) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> arguments = c.arguments;
    for (auto& argument : arguments) {
      if (argument == kSocket) argument = host_->socket_path();
    }
    const auto run = host_->run(kHelperPath, arguments, c.script);
    ASSERT_TRUE(run.has_value()) << run.error();
    EXPECT_FALSE(run->timed_out);
    EXPECT_EQ(run->connected, c.connects);
    EXPECT_EQ(run->lines, c.lines);
    if (!run->received.empty()) {
      EXPECT_EQ(run->received.back(), '\n') << "whole lines only";
    }
    EXPECT_EQ(run->status, (platform::ExitStatus{platform::ExitStatus::Kind::Exited, 1}));
    EXPECT_EQ(run->standard_output, "") << "nothing is ever written to standard output";
    if (c.error_text_is_prefix) {
      EXPECT_EQ(run->standard_error.rfind(c.error_text, 0), 0u) << run->standard_error;
      EXPECT_EQ(run->standard_error.back(), '\n');
    } else {
      EXPECT_EQ(run->standard_error, c.error_text + "\n");
    }
  }

  std::optional<TestHost> host_;
};

TEST_F(HelperEndToEnd, WrongArgumentsNeverContactThePipe) {
  const std::string usage = "usage: ketterlin-scan-helper --pipe <name>";
  const Case cases[] = {
      {"no arguments", {}, {}, false, {}, usage},
      {"only the option", {"--pipe"}, {}, false, {}, usage},
      {"a third argument", {"--pipe", kSocket, "extra"}, {}, false, {}, usage},
      {"option in capitals", {"--PIPE", kSocket}, {}, false, {}, usage},
      {"name joined by an equals sign", {std::string("--pipe=") + kSocket}, {}, false, {}, usage},
      {"name first", {kSocket, "--pipe"}, {}, false, {}, usage},
      {"name that is not UTF-8",
       {"--pipe", "\xFF\xFE"},
       {},
       false,
       {},
       "pipe name must be Unicode"},
  };
  for (const Case& c : cases) check(c);
}

TEST_F(HelperEndToEnd, ConnectAndReadFailures) {
  const Case cases[] = {
      {"no pipe of that name",
       {"--pipe", host_->socket_path() + "-missing"},
       {},
       false,
       {},
       "named pipe operation failed (2)"},
      {"host closes without writing",
       {"--pipe", kSocket},
       {"", 0, AfterWrite::Close},
       true,
       {},
       "named pipe closed before the next frame"},
      {"host ends its writing without a byte",
       {"--pipe", kSocket},
       {"", 0, AfterWrite::ShutdownWrite},
       true,
       {},
       "named pipe closed before the next frame"},
      {"JSON error, with its position",
       {"--pipe", kSocket},
       {"{\"type\":\"scan\"}\n"},
       true,
       {},
       "missing field `request` at line 1 column ",
       true},
      {"text after the value",
       {"--pipe", kSocket},
       {kNoTargets + " x\n"},
       true,
       {},
       "trailing characters at line 1 column ",
       true},
      {"128 levels of nesting: the column of the bracket that opens the last",
       {"--pipe", kSocket},
       {nested_no_targets(126) + "\n"},
       true,
       {},
       "recursion limit exceeded at line 1 column " +
           std::to_string(nested_no_targets(126).rfind('[') + 1)},
      {"frame one byte over the limit",
       {"--pipe", kSocket},
       {line_of_size(kNoTargets, kFrameLimit + 1)},
       true,
       {},
       "named pipe frame exceeds the size limit"},
  };
  for (const Case& c : cases) check(c);
}

TEST_F(HelperEndToEnd, RequestFramesThatDecode) {
  const std::vector<std::string> answer = {kNoTargetsAnswer};
  const Case cases[] = {
      {"one line", {"--pipe", kSocket}, {kNoTargets + "\n"}, true, answer, kNoTargetsText},
      {"frame exactly at the limit",
       {"--pipe", kSocket},
       {line_of_size(kNoTargets, kFrameLimit)},
       true,
       answer,
       kNoTargetsText},
      {"carriage return and line feed",
       {"--pipe", kSocket},
       {kNoTargets + "\r\n"},
       true,
       answer,
       kNoTargetsText},
      {"no line feed, then the host ends its writing",
       {"--pipe", kSocket},
       {kNoTargets, 0, AfterWrite::ShutdownWrite},
       true,
       answer,
       kNoTargetsText},
      {"two frames in one write: only the first counts",
       {"--pipe", kSocket},
       {kNoTargets + "\n{\"type\":\"other\"}\n"},
       true,
       answer,
       kNoTargetsText},
      {"one byte at a time",
       {"--pipe", kSocket},
       {kNoTargets + "\n", 1},
       true,
       answer,
       kNoTargetsText},
      {"127 levels of nesting",
       {"--pipe", kSocket},
       {nested_no_targets(125) + "\n"},
       true,
       answer,
       kNoTargetsText},
  };
  for (const Case& c : cases) check(c);
}

TEST_F(HelperEndToEnd, ValidationAnswersAndEnds) {
  const fs::path folder = fs::canonical(fs::temp_directory_path());
  const std::string root = folder.string();
  const std::string missing_root = root + "/ketterlin-no-such-folder";
  auto request = [](const std::string& mode, const std::string& root_path,
                    const std::string& targets) {
    return R"({"type":"scan","request":{"mode":")" + mode + R"(","root":")" + root_path +
           R"(","targets":[)" + targets + "]}}\n";
  };
  std::string too_many_targets = "\"" + root + "\"";
  for (int target = 1; target < 257; ++target) too_many_targets += ",\"" + root + "\"";
  const Case cases[] = {
      {"missing root is refused with failure",
       {"--pipe", kSocket},
       {request("restrictedTopUp", missing_root, "\"" + missing_root + "\"")},
       true,
       {R"({"type":"failure","message":"scan root is not an available folder: )" + missing_root +
        "\"}"},
       "scan root is not an available folder: " + missing_root},
      {"full root without targets",
       {"--pipe", kSocket},
       {request("fullRoot", root, "")},
       true,
       {R"({"type":"failure","message":"a full-root Scan requires exactly the root target"})"},
       "a full-root Scan requires exactly the root target"},
      {"257 targets",
       {"--pipe", kSocket},
       {request("restrictedTopUp", root, too_many_targets)},
       true,
       {R"({"type":"failure","message":"scan request has 257 targets, maximum is 256"})"},
       "scan request has 257 targets, maximum is 256"},
  };
  for (const Case& c : cases) check(c);
}

TEST_F(HelperEndToEnd, HostGoneBeforeTheAnswerIsAnErrorNotASignal) {
  check({"host closes right after its request",
         {"--pipe", kSocket},
         {kNoTargets + "\n", 0, AfterWrite::Close},
         true,
         {},
         platform::to_string(platform::OsError{EPIPE})});
}

}  // namespace
}  // namespace ketterlin::helper::testing
