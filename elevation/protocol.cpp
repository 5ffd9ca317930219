// The protocol's shared vocabulary: wire words of the enumerations and the error's text.

#include "elevation/protocol.h"
#include "platform/panic.h"

namespace ketterlin::elevation {
namespace {

// True when entry i of `table` holds the value i, so that a value indexes its own word.
template <typename Enum, std::size_t N>
constexpr bool in_value_order(const std::array<WireWord<Enum>, N>& table) {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(table[i].value) != i) return false;
  }
  return true;
}
static_assert(in_value_order(kScanModeWords));
static_assert(in_value_order(kFileSystemKindWords));
static_assert(in_value_order(kProgressStatusWords));
static_assert(in_value_order(kNodeRecordKindWords));

template <typename Enum>
std::string_view word_of(Enum value, std::string_view out_of_range) {
  const auto& table = wire_words(value);
  const auto index = static_cast<std::size_t>(value);
  if (index >= table.size()) platform::panic(out_of_range);
  return table[index].word;
}

// "`a`" for one word, "one of `a`, `b`" for more.
template <typename Enum, std::size_t N>
std::string accepted_words(const std::array<WireWord<Enum>, N>& table) {
  std::string words = N > 1 ? "one of " : "";
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) words += ", ";
    words += '`';
    words += table[i].word;
    words += '`';
  }
  return words;
}

std::string accepted_words(WireVocabulary vocabulary) {
  switch (vocabulary) {
    case WireVocabulary::MessageType:
      return "`" + std::string(kScanMessageType) + "`";
    case WireVocabulary::ScanMode:
      return accepted_words(kScanModeWords);
    case WireVocabulary::FileSystem:
      return accepted_words(kFileSystemKindWords);
  }
  platform::panic("wire vocabulary out of range");
}

std::string found_description(const JsonError& error) {
  switch (error.found) {
    case JsonValueKind::Null:
      return "null";
    case JsonValueKind::Boolean:
      return "boolean `" + error.received + "`";
    case JsonValueKind::Integer:
      return "integer `" + error.received + "`";
    case JsonValueKind::Number:
      return "number `" + error.received + "`";
    case JsonValueKind::String:
      return "string `" + error.received + "`";
    case JsonValueKind::Array:
      return "array";
    case JsonValueKind::Object:
      return "object";
    case JsonValueKind::Binary:
      return "binary data";
  }
  platform::panic("JSON value kind out of range");
}

std::string_view expected_description(JsonExpectation expected) {
  switch (expected) {
    case JsonExpectation::HostMessage:
      return "a host message object";
    case JsonExpectation::String:
      return "a string";
    case JsonExpectation::ScanRequest:
      return "a scan request object";
    case JsonExpectation::ScanMode:
      return "a scan mode string";
    case JsonExpectation::Path:
      return "a path string";
    case JsonExpectation::PathArray:
      return "an array of path strings";
    case JsonExpectation::VolumeOrNull:
      return "a volume object or null";
    case JsonExpectation::UnsignedInteger:
      return "an unsigned 64-bit integer";
    case JsonExpectation::FileSystem:
      return "a file system string";
    case JsonExpectation::Boolean:
      return "a boolean";
  }
  platform::panic("JSON expectation out of range");
}

}  // namespace

std::string to_string(const JsonError& error) {
  const auto at_position = [&error](std::string_view problem) {
    return std::string(problem) + " at line " + std::to_string(error.line) + " column " +
           std::to_string(error.column);
  };
  switch (error.kind) {
    case JsonErrorKind::InvalidJson:
      return at_position("invalid JSON");
    case JsonErrorKind::NumberOutOfRange:
      return at_position("number out of range");
    case JsonErrorKind::EofInString:
      return at_position("EOF while parsing a string");
    case JsonErrorKind::EofInObject:
      return at_position("EOF while parsing an object");
    case JsonErrorKind::EofInList:
      return at_position("EOF while parsing a list");
    case JsonErrorKind::EofInValue:
      return at_position("EOF while parsing a value");
    case JsonErrorKind::ControlCharacterInString:
      return at_position("control character in string");
    case JsonErrorKind::InvalidUtf8InString:
      return at_position("invalid UTF-8 in string");
    case JsonErrorKind::InvalidEscape:
      return at_position("invalid escape");
    case JsonErrorKind::LoneLeadingSurrogate:
      return at_position("lone leading surrogate in hex escape");
    case JsonErrorKind::LoneTrailingSurrogate:
      return at_position("lone trailing surrogate in hex escape");
    case JsonErrorKind::InvalidNumber:
      return at_position("invalid number");
    case JsonErrorKind::InvalidByteOrderMark:
      return at_position("invalid byte order mark");
    case JsonErrorKind::TrailingComma:
      return at_position("trailing comma");
    case JsonErrorKind::KeyMustBeString:
      return at_position("key must be a string");
    case JsonErrorKind::ExpectedColon:
      return at_position("expected `:`");
    case JsonErrorKind::ExpectedCommaOrBrace:
      return at_position("expected `,` or `}`");
    case JsonErrorKind::ExpectedCommaOrBracket:
      return at_position("expected `,` or `]`");
    case JsonErrorKind::ExpectedValue:
      return at_position("expected value");
    case JsonErrorKind::RecursionLimit:
      return at_position("recursion limit exceeded");
    case JsonErrorKind::TrailingCharacters:
      return at_position("trailing characters");
    case JsonErrorKind::MissingField:
      return at_position("missing field `" + error.key + "`");
    case JsonErrorKind::DuplicateField:
      return at_position("duplicate field `" + error.key + "`");
    case JsonErrorKind::UnknownVariant:
      return at_position("unknown variant `" + error.received + "`, expected " +
                         accepted_words(error.accepted));
    case JsonErrorKind::InvalidType:
      return at_position("invalid type: " + found_description(error) + ", expected " +
                         std::string(expected_description(error.expected)));
    case JsonErrorKind::InvalidValue:
      return at_position("invalid value: " + found_description(error) + ", expected " +
                         std::string(expected_description(error.expected)));
    case JsonErrorKind::PathNotUnicode:
      return "path contains invalid UTF-8 characters";
  }
  platform::panic("JSON error kind out of range");
}

std::string_view to_wire(storage::FileSystemKind kind) {
  return word_of(kind, "file system kind out of range");
}
std::string_view to_wire(ElevatedScanMode mode) { return word_of(mode, "scan mode out of range"); }
std::string_view to_wire(ProgressStatus status) {
  return word_of(status, "progress status out of range");
}
std::string_view to_wire(NodeRecordKind kind) { return word_of(kind, "node kind out of range"); }

}  // namespace ketterlin::elevation
