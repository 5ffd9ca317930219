// Decoding the host's one message. The JSON library's SAX parser drives a small reader that knows
// the message's fixed shape: the top-level object, the request object inside it, the targets
// array and the volume object inside the request. Values of unknown keys are skipped, however
// deeply they nest. A counting iterator feeds the parser, so every error can name the position of
// the last byte read when decoding stopped, and a SyntaxTracker follows the parser's events, so
// that a syntax error is classified by where the parser stood.
//
// The message is decoded in two steps, as a tagged message must be: the top-level object is read
// whole first, and "type" is judged as it is read (a duplicate "type" or a bad value at its own
// position), while the value of each "request" key is only recorded, event by event. Syntax and
// nesting errors are therefore found before anything inside the request is judged. Once the
// object has closed, a missing "type" is reported, and then the recorded request is replayed
// through the same rules: every error inside it is reported where decoding stopped, at that
// closing brace.

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "elevation/json_syntax_error.h"
#include "elevation/protocol.h"
#include "platform/panic.h"

namespace ketterlin::elevation {
namespace {

using Json = nlohmann::json;

// The outermost object is level 1; an array or object at level 128 is refused.
constexpr int kMaxNestingLevels = 127;

// What the value being read stands for.
enum class Slot : uint8_t {
  Skipped,  // the value of an unknown key, or anything inside it
  Message,  // the top-level value
  Type,
  Request,
  Mode,
  Root,
  Targets,
  Target,  // one element of "targets"
  Volume,
  UsedBytes,
  FileSystem,
  LosslessPaths,
};

// The innermost known object or array the reader is in.
enum class Container : uint8_t { None, Message, Request, Targets, Volume };

struct FieldSpec {
  std::string_view key;
  Slot slot;
  bool required;
};

// Keys of each object in declaration order, which is also the order in which missing keys are
// reported.
constexpr std::array<FieldSpec, 2> kMessageFields{{
    {"type", Slot::Type, true},
    {"request", Slot::Request, true},
}};
constexpr std::array<FieldSpec, 5> kRequestFields{{
    {"mode", Slot::Mode, true},
    {"root", Slot::Root, true},
    {"targets", Slot::Targets, true},
    {"volume", Slot::Volume, false},
    {"losslessPaths", Slot::LosslessPaths, false},
}};
constexpr std::array<FieldSpec, 2> kVolumeFields{{
    {"usedBytes", Slot::UsedBytes, true},
    {"fileSystem", Slot::FileSystem, true},
}};

// What the value of `slot` must be. Skipped values are never judged.
JsonExpectation expectation_of(Slot slot) {
  switch (slot) {
    case Slot::Message:
      return JsonExpectation::HostMessage;
    case Slot::Type:
      return JsonExpectation::String;
    case Slot::Request:
      return JsonExpectation::ScanRequest;
    case Slot::Mode:
      return JsonExpectation::ScanMode;
    case Slot::Root:
    case Slot::Target:
      return JsonExpectation::Path;
    case Slot::Targets:
      return JsonExpectation::PathArray;
    case Slot::Volume:
      return JsonExpectation::VolumeOrNull;
    case Slot::UsedBytes:
      return JsonExpectation::UnsignedInteger;
    case Slot::FileSystem:
      return JsonExpectation::FileSystem;
    case Slot::LosslessPaths:
      return JsonExpectation::Boolean;
    case Slot::Skipped:
      break;
  }
  platform::panic("decoder judged a value it skips");
}

bool is_json_whitespace(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

// A byte iterator that records in `*furthest` how far the parser has read.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, const char** furthest) : at_(at), furthest_(furthest) {}

  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    *furthest_ = ++at_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const CountingIterator& a, const CountingIterator& b) {
    return a.at_ == b.at_;
  }

 private:
  const char* at_;
  const char** furthest_;
};

// The SAX handler. Each event returns false to stop the parser after recording the error.
class HostMessageReader {
 public:
  explicit HostMessageReader(std::string_view frame)
      : frame_(frame), furthest_(frame.data()), syntax_(frame) {}

  CountingIterator begin() { return CountingIterator(frame_.data(), &furthest_); }
  CountingIterator end() { return CountingIterator(frame_.data() + frame_.size(), &furthest_); }

  // The result, once the parser has returned `parsed`.
  tl::expected<HostMessage, JsonError> finish(bool parsed);

  bool null();
  bool boolean(bool value);
  bool number_integer(Json::number_integer_t value);
  bool number_unsigned(Json::number_unsigned_t value);
  bool number_float(Json::number_float_t value, const std::string& text);
  bool string(std::string& value);
  bool binary(Json::binary_t& value);
  bool start_object(std::size_t element_count);
  bool key(std::string& name);
  bool end_object();
  bool start_array(std::size_t element_count);
  bool end_array();
  bool parse_error(std::size_t position, const std::string& last_token,
                   const nlohmann::detail::exception& error);

 private:
  // One SAX event inside a recorded request value.
  struct RecordedEvent {
    enum class Kind : uint8_t {
      Null,
      Boolean,
      Integer,
      Unsigned,
      Float,
      String,
      StartObject,
      Key,
      EndObject,
      StartArray,
      EndArray,
    };
    Kind kind = Kind::Null;
    bool boolean = false;
    Json::number_integer_t integer = 0;
    Json::number_unsigned_t unsigned_integer = 0;
    Json::number_float_t floating = 0;
    std::string text{};  // string, key or the float's text
  };
  using Recording = std::vector<RecordedEvent>;

  // While a request value is being read: records the event and answers true; otherwise false.
  bool record(RecordedEvent event);
  // After the top-level object has closed: judges "type" and the recorded requests.
  bool end_message();
  bool replay(Recording& recording);

  // Bytes the parser has taken from the frame.
  std::size_t parser_read() const { return static_cast<std::size_t>(furthest_ - frame_.data()); }
  // Where an error found now is reported.
  std::size_t consumed() const { return replay_position_ ? *replay_position_ : parser_read(); }
  std::size_t number_consumed() const;
  Slot take_slot();
  bool enter_nesting();
  bool end_known_object();
  bool check_required(std::span<const FieldSpec> fields);
  bool read_string(Slot slot, std::string& value);
  // Each records the error, positioned after the first `consumed` bytes, and returns false.
  bool fail(JsonError error, std::size_t consumed);
  bool fail(JsonErrorKind kind, std::size_t consumed);
  bool fail_field(JsonErrorKind kind, std::string_view key);
  bool fail_unknown_variant(std::string_view received, WireVocabulary accepted);
  bool fail_value(JsonErrorKind kind, JsonValueKind found, std::string received, Slot slot,
                  std::size_t consumed);

  std::string_view frame_;
  const char* furthest_;  // one past the last byte the parser has taken from the frame
  SyntaxTracker syntax_;  // fed the parser's events, not replayed ones
  int nesting_ = 0;       // arrays and objects open, skipped ones included
  int skip_depth_ = 0;    // arrays and objects open inside a skipped value
  Container container_ = Container::None;
  Slot pending_ = Slot::Skipped;     // what the value after the last key fills
  uint32_t seen_ = 0;                // one bit per Slot whose key was read
  bool complete_ = false;            // the top-level object has ended
  std::vector<Recording> requests_;  // the value of each "request" key, in order
  int recording_depth_ = -1;         // arrays and objects open in the request being recorded;
                                     // -1 while none is
  std::optional<std::size_t> replay_position_;  // where every replayed error is reported
  HostMessage message_;
  uint64_t used_bytes_ = 0;
  storage::FileSystemKind file_system_ = storage::FileSystemKind::Other;
  std::optional<JsonError> error_;
};

constexpr uint32_t slot_bit(Slot slot) { return uint32_t{1} << static_cast<unsigned>(slot); }

// The parser reads one byte past a number before it hands the number over; that byte (never a
// digit) is not part of the number.
std::size_t HostMessageReader::number_consumed() const {
  if (replay_position_) return *replay_position_;
  std::size_t read = consumed();
  if (read > 0 && (frame_[read - 1] < '0' || frame_[read - 1] > '9')) --read;
  return read;
}

Slot HostMessageReader::take_slot() {
  switch (container_) {
    case Container::None:
      return Slot::Message;
    case Container::Targets:
      return Slot::Target;
    case Container::Message:
    case Container::Request:
    case Container::Volume:
      break;
  }
  return std::exchange(pending_, Slot::Skipped);
}

bool HostMessageReader::fail(JsonError error, std::size_t consumed) {
  const std::string_view read = frame_.substr(0, consumed);
  const std::size_t line_start = read.rfind('\n');
  error.line = 1 + static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
  error.column = line_start == std::string_view::npos ? consumed : consumed - line_start - 1;
  error_ = std::move(error);
  return false;
}

bool HostMessageReader::fail(JsonErrorKind kind, std::size_t consumed) {
  return fail(JsonError{.kind = kind}, consumed);
}

bool HostMessageReader::fail_field(JsonErrorKind kind, std::string_view key) {
  return fail(JsonError{.kind = kind, .key = std::string(key)}, consumed());
}

bool HostMessageReader::fail_unknown_variant(std::string_view received, WireVocabulary accepted) {
  return fail(JsonError{.kind = JsonErrorKind::UnknownVariant,
                        .received = std::string(received),
                        .accepted = accepted},
              consumed());
}

bool HostMessageReader::fail_value(JsonErrorKind kind, JsonValueKind found, std::string received,
                                   Slot slot, std::size_t consumed) {
  return fail(JsonError{.kind = kind,
                        .received = std::move(received),
                        .found = found,
                        .expected = expectation_of(slot)},
              consumed);
}

bool HostMessageReader::enter_nesting() {
  if (++nesting_ > kMaxNestingLevels) return fail(JsonErrorKind::RecursionLimit, consumed());
  return true;
}

bool HostMessageReader::record(RecordedEvent event) {
  using Kind = RecordedEvent::Kind;
  if (replay_position_) return false;  // replaying what was recorded
  if (recording_depth_ < 0) {
    // A value right after a "request" key starts a recording.
    if (container_ != Container::Message || pending_ != Slot::Request || skip_depth_ > 0) {
      return false;
    }
    pending_ = Slot::Skipped;
    requests_.emplace_back();
    recording_depth_ = 0;
  }
  if (event.kind == Kind::StartObject || event.kind == Kind::StartArray) ++recording_depth_;
  if (event.kind == Kind::EndObject || event.kind == Kind::EndArray) --recording_depth_;
  requests_.back().push_back(std::move(event));
  // A scalar value, or the end of the array or object that opened the recording, ends it.
  if (recording_depth_ == 0) recording_depth_ = -1;
  return true;
}

bool HostMessageReader::null() {
  if (!replay_position_) syntax_.scalar(parser_read());
  if (record({.kind = RecordedEvent::Kind::Null})) return true;
  if (skip_depth_ > 0) return true;
  const Slot slot = take_slot();
  if (slot == Slot::Skipped) return true;
  if (slot == Slot::Volume) {
    message_.request.volume.reset();
    return true;
  }
  return fail_value(JsonErrorKind::InvalidType, JsonValueKind::Null, "", slot, consumed());
}

bool HostMessageReader::boolean(bool value) {
  if (!replay_position_) syntax_.scalar(parser_read());
  if (record({.kind = RecordedEvent::Kind::Boolean, .boolean = value})) return true;
  if (skip_depth_ > 0) return true;
  const Slot slot = take_slot();
  if (slot == Slot::Skipped) return true;
  if (slot == Slot::LosslessPaths) {
    message_.request.lossless_paths = value;
    return true;
  }
  return fail_value(JsonErrorKind::InvalidType, JsonValueKind::Boolean, value ? "true" : "false",
                    slot, consumed());
}

// Only negative numbers (and "-0") arrive here; the others come as unsigned.
bool HostMessageReader::number_integer(Json::number_integer_t value) {
  if (!replay_position_) syntax_.number(parser_read());
  if (record({.kind = RecordedEvent::Kind::Integer, .integer = value})) return true;
  if (skip_depth_ > 0) return true;
  const Slot slot = take_slot();
  if (slot == Slot::Skipped) return true;
  if (slot != Slot::UsedBytes || value < 0) {
    const auto kind =
        slot == Slot::UsedBytes ? JsonErrorKind::InvalidValue : JsonErrorKind::InvalidType;
    return fail_value(kind, JsonValueKind::Integer, std::to_string(value), slot, number_consumed());
  }
  used_bytes_ = static_cast<uint64_t>(value);
  return true;
}

bool HostMessageReader::number_unsigned(Json::number_unsigned_t value) {
  if (!replay_position_) syntax_.number(parser_read());
  if (record({.kind = RecordedEvent::Kind::Unsigned, .unsigned_integer = value})) return true;
  if (skip_depth_ > 0) return true;
  const Slot slot = take_slot();
  if (slot == Slot::Skipped) return true;
  if (slot != Slot::UsedBytes) {
    return fail_value(JsonErrorKind::InvalidType, JsonValueKind::Integer, std::to_string(value),
                      slot, number_consumed());
  }
  used_bytes_ = value;
  return true;
}

// Fractions, exponents and integers beyond the 64-bit ranges all arrive here. An integer below
// the signed range is still a negative integer: for "usedBytes" a value out of range, not a
// number of the wrong kind.
bool HostMessageReader::number_float(Json::number_float_t value, const std::string& text) {
  if (!replay_position_) syntax_.number(parser_read());
  if (record({.kind = RecordedEvent::Kind::Float, .floating = value, .text = text})) return true;
  if (skip_depth_ > 0) return true;
  const Slot slot = take_slot();
  if (slot == Slot::Skipped) return true;
  const bool negative_integer =
      text.starts_with('-') && text.find_first_of(".eE") == std::string::npos;
  if (slot == Slot::UsedBytes && negative_integer) {
    return fail_value(JsonErrorKind::InvalidValue, JsonValueKind::Integer, text, slot,
                      number_consumed());
  }
  return fail_value(JsonErrorKind::InvalidType, JsonValueKind::Number, text, slot,
                    number_consumed());
}

bool HostMessageReader::string(std::string& value) {
  if (!replay_position_) syntax_.scalar(parser_read());
  if (record({.kind = RecordedEvent::Kind::String, .text = value})) return true;
  if (skip_depth_ > 0) return true;
  return read_string(take_slot(), value);
}

bool HostMessageReader::read_string(Slot slot, std::string& value) {
  switch (slot) {
    case Slot::Skipped:
      return true;
    case Slot::Type:
      if (value == kScanMessageType) return true;
      return fail_unknown_variant(value, WireVocabulary::MessageType);
    case Slot::Mode:
      if (const auto mode = from_wire<ElevatedScanMode>(value)) {
        message_.request.mode = *mode;
        return true;
      }
      return fail_unknown_variant(value, WireVocabulary::ScanMode);
    case Slot::FileSystem:
      if (const auto kind = from_wire<storage::FileSystemKind>(value)) {
        file_system_ = *kind;
        return true;
      }
      return fail_unknown_variant(value, WireVocabulary::FileSystem);
    case Slot::Root:
      message_.request.root = platform::from_utf8(value);
      return true;
    case Slot::Target:
      message_.request.targets.push_back(platform::from_utf8(value));
      return true;
    case Slot::Message:
    case Slot::Request:
    case Slot::Targets:
    case Slot::Volume:
    case Slot::UsedBytes:
    case Slot::LosslessPaths:
      break;
  }
  return fail_value(JsonErrorKind::InvalidType, JsonValueKind::String, value, slot, consumed());
}

bool HostMessageReader::binary(Json::binary_t&) {
  // JSON text never yields binary values; refuse one rather than guess.
  if (skip_depth_ > 0) return true;
  const Slot slot = take_slot();
  if (slot == Slot::Skipped) return true;
  return fail_value(JsonErrorKind::InvalidType, JsonValueKind::Binary, "", slot, consumed());
}

bool HostMessageReader::start_object(std::size_t) {
  if (!replay_position_) syntax_.open(/*array=*/false, parser_read());
  if (!enter_nesting()) return false;
  if (record({.kind = RecordedEvent::Kind::StartObject})) return true;
  if (skip_depth_ > 0) {
    ++skip_depth_;
    return true;
  }
  switch (const Slot slot = take_slot()) {
    case Slot::Skipped:
      skip_depth_ = 1;
      return true;
    case Slot::Message:
      container_ = Container::Message;
      return true;
    case Slot::Request:
      container_ = Container::Request;
      return true;
    case Slot::Volume:
      container_ = Container::Volume;
      return true;
    default:
      return fail_value(JsonErrorKind::InvalidType, JsonValueKind::Object, "", slot, consumed());
  }
}

bool HostMessageReader::key(std::string& name) {
  if (!replay_position_) syntax_.key(parser_read());
  if (recording_depth_ > 0) return record({.kind = RecordedEvent::Kind::Key, .text = name});
  if (skip_depth_ > 0) return true;
  std::span<const FieldSpec> fields;
  if (container_ == Container::Message) fields = kMessageFields;
  if (container_ == Container::Request) fields = kRequestFields;
  if (container_ == Container::Volume) fields = kVolumeFields;
  for (const FieldSpec& field : fields) {
    if (field.key != name) continue;
    // Each "request" is recorded; a second one is judged after the object has closed.
    if (field.slot == Slot::Request && replay_position_ == std::nullopt) {
      pending_ = Slot::Request;
      return true;
    }
    if ((seen_ & slot_bit(field.slot)) != 0) {
      return fail_field(JsonErrorKind::DuplicateField, field.key);
    }
    seen_ |= slot_bit(field.slot);
    pending_ = field.slot;
    return true;
  }
  pending_ = Slot::Skipped;
  return true;
}

bool HostMessageReader::check_required(std::span<const FieldSpec> fields) {
  for (const FieldSpec& field : fields) {
    if (field.required && (seen_ & slot_bit(field.slot)) == 0) {
      return fail_field(JsonErrorKind::MissingField, field.key);
    }
  }
  return true;
}

bool HostMessageReader::end_object() {
  if (!replay_position_) syntax_.close(parser_read());
  --nesting_;
  if (recording_depth_ > 0) return record({.kind = RecordedEvent::Kind::EndObject});
  if (skip_depth_ > 0) {
    --skip_depth_;
    return true;
  }
  return end_known_object();
}

bool HostMessageReader::end_known_object() {
  switch (container_) {
    case Container::Message:
      return end_message();
    case Container::Request:
      if (!check_required(kRequestFields)) return false;
      container_ = Container::Message;
      return true;
    case Container::Volume:
      if (!check_required(kVolumeFields)) return false;
      message_.request.volume = storage::ElevatedVolume{used_bytes_, file_system_};
      container_ = Container::Request;
      return true;
    case Container::None:
    case Container::Targets:
      break;
  }
  platform::panic("JSON parser closed an object that was not open");
}

bool HostMessageReader::start_array(std::size_t) {
  if (!replay_position_) syntax_.open(/*array=*/true, parser_read());
  if (!enter_nesting()) return false;
  if (record({.kind = RecordedEvent::Kind::StartArray})) return true;
  if (skip_depth_ > 0) {
    ++skip_depth_;
    return true;
  }
  const Slot slot = take_slot();
  if (slot == Slot::Skipped) {
    skip_depth_ = 1;
    return true;
  }
  if (slot != Slot::Targets) {
    return fail_value(JsonErrorKind::InvalidType, JsonValueKind::Array, "", slot, consumed());
  }
  container_ = Container::Targets;
  return true;
}

bool HostMessageReader::end_array() {
  if (!replay_position_) syntax_.close(parser_read());
  --nesting_;
  if (recording_depth_ > 0) return record({.kind = RecordedEvent::Kind::EndArray});
  if (skip_depth_ > 0) {
    --skip_depth_;
    return true;
  }
  platform::check(container_ == Container::Targets,
                  "JSON parser closed an array that was not open");
  container_ = Container::Request;
  return true;
}

bool HostMessageReader::end_message() {
  if ((seen_ & slot_bit(Slot::Type)) == 0) return fail_field(JsonErrorKind::MissingField, "type");
  // From here on every error is reported at the closing brace just read.
  replay_position_ = consumed();
  if (requests_.empty()) return fail_field(JsonErrorKind::MissingField, "request");
  if (!replay(requests_.front())) return false;
  if (requests_.size() > 1) return fail_field(JsonErrorKind::DuplicateField, "request");
  container_ = Container::None;
  complete_ = true;
  return true;
}

bool HostMessageReader::replay(Recording& recording) {
  using Kind = RecordedEvent::Kind;
  container_ = Container::Message;
  pending_ = Slot::Request;
  for (RecordedEvent& event : recording) {
    bool handled = true;
    switch (event.kind) {
      case Kind::Null:
        handled = null();
        break;
      case Kind::Boolean:
        handled = boolean(event.boolean);
        break;
      case Kind::Integer:
        handled = number_integer(event.integer);
        break;
      case Kind::Unsigned:
        handled = number_unsigned(event.unsigned_integer);
        break;
      case Kind::Float:
        handled = number_float(event.floating, event.text);
        break;
      case Kind::String:
        handled = string(event.text);
        break;
      case Kind::StartObject:
        handled = start_object(0);
        break;
      case Kind::Key:
        handled = key(event.text);
        break;
      case Kind::EndObject:
        handled = end_object();
        break;
      case Kind::StartArray:
        handled = start_array(0);
        break;
      case Kind::EndArray:
        handled = end_array();
        break;
    }
    if (!handled) return false;
  }
  return true;
}

// `position` counts every byte the lexer asked for, one past the end included when it ran out.
bool HostMessageReader::parse_error(std::size_t position, const std::string&,
                                    const nlohmann::detail::exception& error) {
  return fail(syntax_.classify(position, error.id), std::min(position, frame_.size()));
}

tl::expected<HostMessage, JsonError> HostMessageReader::finish(bool parsed) {
  if (!error_ && !(parsed && complete_)) fail(JsonErrorKind::InvalidJson, consumed());
  if (!error_) {
    for (std::size_t i = consumed(); i < frame_.size(); ++i) {
      if (is_json_whitespace(frame_[i])) continue;
      fail(JsonErrorKind::TrailingCharacters, i + 1);
      break;
    }
  }
  if (error_) return tl::make_unexpected(std::move(*error_));
  return std::move(message_);
}

}  // namespace

tl::expected<HostMessage, JsonError> decode_host_message(std::string_view frame) {
  HostMessageReader reader(frame);
  const bool parsed = Json::sax_parse(reader.begin(), reader.end(), &reader,
                                      Json::input_format_t::json, /*strict=*/false);
  return reader.finish(parsed);
}

}  // namespace ketterlin::elevation
