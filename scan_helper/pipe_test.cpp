#include "scan_helper/pipe.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace ketterlin::helper {
namespace {

using elevation::HelperMessage;

// ---- A scripted stream ----

constexpr platform::OsError kBrokenPipe{32};
constexpr platform::OsError kInterruptedCall{4};

// One answer of the fake stream to a read call.
struct ReadStep {
  std::string bytes;  // delivered over as many reads as the buffer needs; empty: end of stream
  std::optional<StreamFailure> failure;
  std::size_t delivered = 0;  // how much of `bytes` earlier reads took
};

// One answer to a write call.
struct WriteStep {
  enum class Action { AcceptAtMost, Interrupt, AcceptNothing, Fail } action;
  std::size_t limit = 0;  // AcceptAtMost
};

// What the connection did to the stream. Shared so that the test sees it after the connection
// took the stream.
struct StreamLog {
  std::deque<ReadStep> reads;    // exhausted: end of stream
  std::deque<WriteStep> writes;  // exhausted: every write accepts everything
  std::vector<std::size_t> read_sizes;
  std::size_t bytes_read = 0;
  std::vector<std::string> write_calls;  // the bytes each successful write accepted
  std::size_t failed_writes = 0;

  std::string written() const {
    std::string all;
    for (const auto& call : write_calls) all += call;
    return all;
  }
};

class FakeStream final : public PipeStream {
 public:
  explicit FakeStream(std::shared_ptr<StreamLog> log) : log_(std::move(log)) {}

  tl::expected<std::size_t, StreamFailure> read(std::span<char> buffer) override {
    log_->read_sizes.push_back(buffer.size());
    if (log_->reads.empty()) return 0;
    ReadStep& step = log_->reads.front();
    if (step.failure) {
      const StreamFailure failure = *step.failure;
      log_->reads.pop_front();
      return tl::unexpected(failure);
    }
    const std::size_t count = std::min(buffer.size(), step.bytes.size() - step.delivered);
    std::copy_n(step.bytes.data() + step.delivered, count, buffer.data());
    step.delivered += count;
    if (step.delivered == step.bytes.size()) log_->reads.pop_front();
    log_->bytes_read += count;
    return count;
  }

  tl::expected<std::size_t, StreamFailure> write(std::span<const char> bytes) override {
    WriteStep step{WriteStep::Action::AcceptAtMost, bytes.size()};
    if (!log_->writes.empty()) {
      step = log_->writes.front();
      log_->writes.pop_front();
    }
    switch (step.action) {
      case WriteStep::Action::Interrupt:
        ++log_->failed_writes;
        return tl::unexpected(StreamFailure{kInterruptedCall, true});
      case WriteStep::Action::Fail:
        ++log_->failed_writes;
        return tl::unexpected(StreamFailure{kBrokenPipe, false});
      case WriteStep::Action::AcceptNothing:
        return 0;
      case WriteStep::Action::AcceptAtMost:
        break;
    }
    const std::size_t count = std::min(step.limit, bytes.size());
    log_->write_calls.emplace_back(bytes.data(), count);
    return count;
  }

 private:
  std::shared_ptr<StreamLog> log_;
};

struct Fixture {
  std::shared_ptr<StreamLog> log = std::make_shared<StreamLog>();
  PipeConnection connection{std::make_unique<FakeStream>(log)};
};

// ---- Reading ----

const char kRequest[] =
    R"({"type":"scan","request":{"mode":"fullRoot","root":"R","targets":["R","T"]}})";

elevation::HostMessage expected_request() {
  elevation::HostMessage message;
  message.request.mode = elevation::ElevatedScanMode::FullRoot;
  message.request.root = platform::from_utf8("R");
  message.request.targets = {platform::from_utf8("R"), platform::from_utf8("T")};
  return message;
}

ReadStep bytes(std::string text) { return ReadStep{std::move(text), std::nullopt, 0}; }
ReadStep interrupted() { return ReadStep{"", StreamFailure{kInterruptedCall, true}, 0}; }
ReadStep broken() { return ReadStep{"", StreamFailure{kBrokenPipe, false}, 0}; }

// `json` followed by blanks up to `size` bytes in all, then `tail`.
std::string padded(std::string json, std::size_t size, const std::string& tail) {
  json.resize(size - tail.size(), ' ');
  return json + tail;
}

struct ReadCase {
  const char* name;
  std::vector<ReadStep> steps;
  std::optional<PipeErrorKind> error;  // nullopt: decodes to expected_request()
};

void check_read(const ReadCase& c) {
  SCOPED_TRACE(c.name);
  Fixture f;
  f.log->reads.assign(c.steps.begin(), c.steps.end());
  const auto message = f.connection.read_host_message();
  if (!c.error) {
    ASSERT_TRUE(message.has_value()) << to_string(message.error());
    EXPECT_EQ(*message, expected_request());
  } else {
    ASSERT_FALSE(message.has_value());
    EXPECT_EQ(message.error().kind, *c.error) << to_string(message.error());
  }
  for (const std::size_t size : f.log->read_sizes) EXPECT_EQ(size, READ_BUFFER_BYTES);
}

TEST(PipeRead, FramesAndStreamEnds) {
  const std::string line = std::string(kRequest) + "\n";
  const ReadCase cases[] = {
      {"one frame", {bytes(line)}, std::nullopt},
      {"carriage return before the line feed",
       {bytes(std::string(kRequest) + "\r\n")},
       std::nullopt},
      {"no line feed, then the end", {bytes(kRequest)}, std::nullopt},
      {"a byte per read", {}, std::nullopt},
      {"interrupted reads are repeated",
       {interrupted(), bytes(line.substr(0, 10)), interrupted(), interrupted(),
        bytes(line.substr(10))},
       std::nullopt},
      {"only the first of two frames is used", {bytes(line + "{not json\n")}, std::nullopt},
      {"a second frame that never ends is not waited for",
       {bytes(line + "{\"type\":"), broken()},
       std::nullopt},
      {"empty stream", {}, PipeErrorKind::Closed},
      {"read error before any byte", {broken()}, PipeErrorKind::Io},
      {"read error inside the frame", {bytes(line.substr(0, 20)), broken()}, PipeErrorKind::Io},
      {"text after the value", {bytes(std::string(kRequest) + " x\n")}, PipeErrorKind::Json},
      {"a line feed alone", {bytes("\n"), bytes(line)}, PipeErrorKind::Json},
  };
  for (ReadCase c : cases) {
    if (std::string(c.name) == "a byte per read") {
      for (const char byte : line) c.steps.push_back(bytes(std::string(1, byte)));
    }
    check_read(c);
  }
}

TEST(PipeRead, SizeLimitCountsTheLineFeed) {
  const std::size_t limit = MAX_FRAME_BYTES;
  const ReadCase cases[] = {
      {"exactly the limit with its line feed",
       {bytes(padded(kRequest, limit, "\n"))},
       std::nullopt},
      {"the limit without a line feed, then the end",
       {bytes(padded(kRequest, limit, " "))},
       std::nullopt},
      {"first line feed one byte past the limit",
       {bytes(padded(kRequest, limit + 1, "\n"))},
       PipeErrorKind::FrameTooLarge},
      {"one byte past the limit, then the end",
       {bytes(padded(kRequest, limit + 1, " "))},
       PipeErrorKind::FrameTooLarge},
      {"line feed after the limit, in a later frame of a long stream",
       {bytes(padded(kRequest, 3 * limit, "\n"))},
       PipeErrorKind::FrameTooLarge},
  };
  for (const ReadCase& c : cases) check_read(c);
}

TEST(PipeRead, StopsReadingAtTheLimit) {
  Fixture f;
  f.log->reads.push_back(bytes(std::string(3 * MAX_FRAME_BYTES, ' ')));
  const auto message = f.connection.read_host_message();
  ASSERT_FALSE(message.has_value());
  EXPECT_EQ(message.error().kind, PipeErrorKind::FrameTooLarge);
  // Reading stops within one buffer of the limit instead of draining the stream.
  EXPECT_LT(f.log->bytes_read, MAX_FRAME_BYTES + 1 + READ_BUFFER_BYTES);
}

TEST(PipeRead, DecodingErrorsKeepTheirPosition) {
  Fixture f;
  f.log->reads.push_back(bytes("[1]\n"));
  const auto decoded = f.connection.read_host_message();
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().kind, PipeErrorKind::Json);
  EXPECT_NE(to_string(decoded.error()).find(" at line 1 column "), std::string::npos)
      << to_string(decoded.error());
}

// ---- Writing ----

// Paths and messages; the views point into the static strings.
const platform::OsString kRootPath = platform::from_utf8("/data");
const platform::OsString kLongPath = platform::from_utf8("/data/" + std::string(300, 'n'));

platform::OsString invalid_path() {
  if constexpr (sizeof(platform::OsChar) == 1) {
    return platform::OsString(1, static_cast<platform::OsChar>(0xFF));
  } else {
    return platform::OsString(1, static_cast<platform::OsChar>(0xD800));  // unpaired surrogate
  }
}
const platform::OsString kInvalidPath = invalid_path();

HelperMessage tree_start() { return elevation::TreeStartMessage{0, std::nullopt}; }
HelperMessage node(uint64_t id, platform::OsStringView path = kRootPath) {
  elevation::NodeRecord record;
  record.id = id;
  record.path = path;
  return elevation::NodeMessage{0, record};
}
HelperMessage tree_end() { return elevation::TreeEndMessage{0}; }
HelperMessage complete() { return elevation::CompleteMessage{}; }
HelperMessage progress() {
  elevation::TargetProgress record;
  record.current_path = kRootPath;
  return elevation::EventMessage{record};
}

std::string frame_of(const HelperMessage& message) {
  std::string text;
  EXPECT_TRUE(elevation::encode(message, text).has_value());
  return text + "\n";
}

std::string frames_of(const std::vector<HelperMessage>& messages) {
  std::string text;
  for (const auto& message : messages) text += frame_of(message);
  return text;
}

void send_all(PipeConnection& connection, const std::vector<HelperMessage>& messages) {
  for (const auto& message : messages) {
    const auto sent = connection.send(message);
    ASSERT_TRUE(sent.has_value()) << to_string(sent.error());
  }
}

TEST(PipeSend, WhenFramesAreWritten) {
  struct Case {
    const char* name;
    std::vector<HelperMessage> messages;
    std::vector<std::vector<HelperMessage>> writes;  // the frames of each write call
  };
  const Case cases[] = {
      {"complete at once", {complete()}, {{complete()}}},
      {"progress at once", {progress(), progress()}, {{progress()}, {progress()}}},
      {"failure at once",
       {elevation::FailureMessage{"at least one scan target is required"}},
       {{elevation::FailureMessage{"at least one scan target is required"}}}},
      {"target unavailable at once",
       {elevation::TargetUnavailableMessage{1}},
       {{elevation::TargetUnavailableMessage{1}}}},
      {"tree start and nodes wait for the tree end",
       {tree_start(), node(0), node(1), tree_end()},
       {{tree_start(), node(0), node(1), tree_end()}}},
      {"an unfinished tree waits", {tree_start(), node(0)}, {}},
      {"another message writes the batch first",
       {tree_start(), node(0), progress()},
       {{tree_start(), node(0), progress()}}},
      {"two trees, two writes",
       {tree_start(), node(0), tree_end(), tree_start(), tree_end(), complete()},
       {{tree_start(), node(0), tree_end()}, {tree_start(), tree_end()}, {complete()}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    send_all(f.connection, c.messages);
    std::vector<std::string> expected;
    for (const auto& frames : c.writes) expected.push_back(frames_of(frames));
    EXPECT_EQ(f.log->write_calls, expected);
  }
}

TEST(PipeSend, LargeTreesAreWrittenInBatchesOfWholeFrames) {
  Fixture f;
  std::vector<HelperMessage> messages = {tree_start()};
  for (uint64_t id = 0; id < 1000; ++id) messages.push_back(node(id, kLongPath));
  send_all(f.connection, messages);
  const std::size_t written_before_end = f.log->written().size();
  send_all(f.connection, {tree_end()});
  messages.push_back(tree_end());

  EXPECT_EQ(f.log->written(), frames_of(messages));
  EXPECT_GT(written_before_end, 0u) << "a large tree must not wait for its end";
  EXPECT_GT(f.log->write_calls.size(), 2u);
  for (const auto& call : f.log->write_calls) {
    EXPECT_LE(call.size(), TREE_WRITE_BATCH_BYTES);
    // More than half full: a batch is cut only when the next frame does not fit.
    if (&call != &f.log->write_calls.back()) {
      EXPECT_GT(call.size(), TREE_WRITE_BATCH_BYTES / 2);
    }
    EXPECT_EQ(call.back(), '\n') << "a write ends with a whole frame";
  }
}

TEST(PipeSend, FrameLargerThanABatchIsWrittenAlone) {
  Fixture f;
  const platform::OsString huge =
      platform::from_utf8("/" + std::string(2 * TREE_WRITE_BATCH_BYTES, 'h'));
  send_all(f.connection, {tree_start(), node(0), node(1, huge), node(2), tree_end()});
  const std::vector<std::string> expected = {frames_of({tree_start(), node(0)}),
                                             frame_of(node(1, huge)),
                                             frames_of({node(2), tree_end()})};
  EXPECT_EQ(f.log->write_calls, expected);
}

TEST(PipeSend, InterruptedAndShortWritesAreCompleted) {
  struct Case {
    const char* name;
    std::vector<WriteStep> steps;
  };
  using A = WriteStep::Action;
  const Case cases[] = {
      {"interrupted", {{A::Interrupt}, {A::Interrupt}}},
      {"short writes", {{A::AcceptAtMost, 1}, {A::AcceptAtMost, 3}, {A::AcceptAtMost, 5}}},
      {"short then interrupted", {{A::AcceptAtMost, 2}, {A::Interrupt}, {A::AcceptAtMost, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.log->writes.assign(c.steps.begin(), c.steps.end());
    send_all(f.connection, {progress(), complete()});
    EXPECT_EQ(f.log->written(), frames_of({progress(), complete()}));
  }
}

TEST(PipeSend, WriteFailuresEndTheChannel) {
  struct Case {
    const char* name;
    WriteStep::Action action;
    std::string text;
  };
  const Case cases[] = {
      {"zero-byte write", WriteStep::Action::AcceptNothing, "failed to write whole buffer"},
      {"host gone", WriteStep::Action::Fail, platform::to_string(kBrokenPipe)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    send_all(f.connection, {progress()});
    f.log->writes.push_back({WriteStep::Action::AcceptAtMost, 4});
    f.log->writes.push_back({c.action});
    const auto failed = f.connection.send(complete());
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind, PipeErrorKind::Io);
    EXPECT_EQ(to_string(failed.error()), c.text);
    const std::size_t calls = f.log->write_calls.size();
    const std::size_t failures = f.log->failed_writes;

    for (const auto& message : {complete(), tree_start(), tree_end()}) {
      const auto again = f.connection.send(message);
      ASSERT_FALSE(again.has_value());
      EXPECT_EQ(again.error(), failed.error());
    }
    EXPECT_EQ(f.log->write_calls.size(), calls) << "nothing is written after a failed send";
    EXPECT_EQ(f.log->failed_writes, failures);
    EXPECT_TRUE(f.log->writes.empty());
  }
}

TEST(PipeSend, InvalidPathWritesTheWholeFramesBeforeIt) {
  Fixture f;
  send_all(f.connection, {tree_start(), node(0)});
  const auto failed = f.connection.send(node(1, kInvalidPath));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, PipeErrorKind::Json);
  EXPECT_EQ(to_string(failed.error()), "path contains invalid UTF-8 characters");
  EXPECT_EQ(f.log->written(), frames_of({tree_start(), node(0)}));

  const auto again = f.connection.send(tree_end());
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error(), failed.error());
  EXPECT_EQ(f.log->written(), frames_of({tree_start(), node(0)}));
}

// ---- Errors and constants ----

TEST(PipeErrorText, EveryKind) {
  struct Case {
    const char* name;
    PipeError error;
    std::string text;
  };
  const Case cases[] = {
      {"windows", PipeError::windows(2), "named pipe operation failed (2)"},
      {"windows, large code", PipeError::windows(4294967295u),
       "named pipe operation failed (4294967295)"},
      {"io", PipeError::io(kBrokenPipe),
       platform::os_error_description(kBrokenPipe) + " (os error 32)"},
      {"write zero", PipeError::write_zero(), "failed to write whole buffer"},
      {"frame too large", PipeError::frame_too_large(), "named pipe frame exceeds the size limit"},
      {"closed", PipeError::closed(), "named pipe closed before the next frame"},
      {"json",
       PipeError::json(
           {.kind = elevation::JsonErrorKind::TrailingCharacters, .line = 1, .column = 3}),
       "trailing characters at line 1 column 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_string(c.error), c.text);
  }
}

TEST(PipeOpenFlags, IdentificationOnlyQualityOfService) {
  constexpr uint32_t kFileAttributeNormal = 0x80;
  constexpr uint32_t kSecuritySqosPresent = 0x00100000;
  constexpr uint32_t kImpersonationLevelMask = 0x00030000;
  constexpr uint32_t kIdentificationLevel = 0x00010000;
  const uint32_t flags = windows_pipe_open_flags();
  EXPECT_EQ(flags & kImpersonationLevelMask, kIdentificationLevel);
  EXPECT_NE(flags & kSecuritySqosPresent, 0u) << "the level counts only with SQOS_PRESENT";
  EXPECT_EQ(flags & ~(kFileAttributeNormal | kSecuritySqosPresent | kImpersonationLevelMask), 0u)
      << "no other flag (overlapped, write-through...) may change the channel";
  EXPECT_NE(flags & kFileAttributeNormal, 0u);
}

}  // namespace
}  // namespace ketterlin::helper
