// The wire protocol between the host and the helper: the one host message (a scan request) and
// every helper message (progress, tree, availability, the end), as in-memory types and as compact
// JSON text lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tl/expected.hpp>

#include "platform/os_string.h"
#include "storage/volume.h"

namespace ketterlin::elevation {

// ---- Host to helper ----

enum class ElevatedScanMode : uint8_t {
  RestrictedTopUp = 0,  // "restrictedTopUp": chosen folders below the root
  FullRoot = 1,         // "fullRoot": the root itself as the one target
};

struct ElevatedScanRequest {
  ElevatedScanMode mode = ElevatedScanMode::RestrictedTopUp;
  platform::OsString root;
  std::vector<platform::OsString> targets;
  std::optional<storage::ElevatedVolume> volume;
  // "losslessPaths", a key a host may add: paths that are not valid Unicode are written with
  // lone surrogate escapes instead of ending the run (see PathEncoding). Absent means false.
  bool lossless_paths = false;

  friend bool operator==(const ElevatedScanRequest&, const ElevatedScanRequest&) = default;
};

// The "type" word of the host's one message.
inline constexpr std::string_view kScanMessageType = "scan";

// The host's one message. Its only variant is kScanMessageType.
struct HostMessage {
  ElevatedScanRequest request;

  friend bool operator==(const HostMessage&, const HostMessage&) = default;
};

// The host's one message as one compact JSON line, line feed included: "type" kScanMessageType,
// then "request" with "mode", "root", "targets", "volume" (null when absent) and
// "losslessPaths". The paths are UTF-8 texts; ill-formed UTF-8 in them is replaced by U+FFFD,
// so a caller that must not lose a name refuses such a path first.
std::string encode_scan_request(ElevatedScanMode mode, std::string_view root,
                                const std::vector<std::string>& targets,
                                const std::optional<storage::ElevatedVolume>& volume,
                                bool lossless_paths);

// ---- Errors ----

enum class JsonErrorKind : uint8_t {
  // The frame is not one JSON text. Each kind has one fixed text:
  InvalidJson,               // "invalid JSON"
  NumberOutOfRange,          // "number out of range"
  EofInString,               // "EOF while parsing a string"
  EofInObject,               // "EOF while parsing an object"
  EofInList,                 // "EOF while parsing a list"
  EofInValue,                // "EOF while parsing a value"
  ControlCharacterInString,  // "control character in string"
  InvalidUtf8InString,       // "invalid UTF-8 in string"
  InvalidEscape,             // "invalid escape"
  LoneLeadingSurrogate,      // "lone leading surrogate in hex escape"
  LoneTrailingSurrogate,     // "lone trailing surrogate in hex escape"
  InvalidNumber,             // "invalid number"
  InvalidByteOrderMark,      // "invalid byte order mark"
  TrailingComma,             // "trailing comma"
  KeyMustBeString,           // "key must be a string"
  ExpectedColon,             // "expected `:`"
  ExpectedCommaOrBrace,      // "expected `,` or `}`"
  ExpectedCommaOrBracket,    // "expected `,` or `]`"
  ExpectedValue,             // "expected value"
  RecursionLimit,            // "recursion limit exceeded"
  TrailingCharacters,        // "trailing characters": more than whitespace after the value
  // The JSON text is not the message:
  MissingField,    // "missing field `<key>`"
  DuplicateField,  // "duplicate field `<key>`"
  UnknownVariant,  // "unknown variant `<received>`, expected `<word>`" or "..., expected one of
                   // `<word>`, `<word>`..." (the accepted words in declaration order)
  InvalidType,     // "invalid type: <found>, expected <expected>"
  InvalidValue,    // "invalid value: <found>, expected <expected>"
  // Encoding:
  PathNotUnicode,  // "path contains invalid UTF-8 characters"
};

// The words an unknown-variant error lists as accepted.
enum class WireVocabulary : uint8_t {
  MessageType,  // kScanMessageType
  ScanMode,     // kScanModeWords
  FileSystem,   // kFileSystemKindWords
};

// What an invalid-type or invalid-value error found, shown as "null", "boolean `<received>`",
// "integer `<received>`", "number `<received>`", "string `<received>`", "array", "object" or
// "binary data".
enum class JsonValueKind : uint8_t {
  Null,
  Boolean,
  Integer,
  Number,
  String,
  Array,
  Object,
  Binary
};

// What an invalid-type or invalid-value error wanted.
enum class JsonExpectation : uint8_t {
  HostMessage,      // "a host message object"
  String,           // "a string"
  ScanRequest,      // "a scan request object"
  ScanMode,         // "a scan mode string"
  Path,             // "a path string"
  PathArray,        // "an array of path strings"
  VolumeOrNull,     // "a volume object or null"
  UnsignedInteger,  // "an unsigned 64-bit integer"
  FileSystem,       // "a file system string"
  Boolean,          // "a boolean"
};

// A JSON decoding or encoding error. Only the fields of its kind are meaningful.
struct JsonError {
  JsonErrorKind kind = JsonErrorKind::InvalidJson;
  std::string key{};  // MissingField, DuplicateField
  // UnknownVariant: the string received. InvalidType, InvalidValue: the value found, for a
  // boolean "true" or "false", for an integer its decimal digits, for any other number its text
  // as written, for a string its text; empty for the other kinds of value.
  std::string received{};
  WireVocabulary accepted = WireVocabulary::MessageType;    // UnknownVariant
  JsonValueKind found = JsonValueKind::Null;                // InvalidType, InvalidValue
  JsonExpectation expected = JsonExpectation::HostMessage;  // InvalidType, InvalidValue
  // Every kind but PathNotUnicode: where decoding stopped, the line counted from 1 and the
  // column in bytes within it (0 at the start of a line).
  std::size_t line = 0;
  std::size_t column = 0;

  friend bool operator==(const JsonError&, const JsonError&) = default;
};

// The display text: the kind's text (see JsonErrorKind), then for every decoding error
// " at line <line> column <column>".
std::string to_string(const JsonError& error);

// Decodes one frame (the JSON value and any whitespace around it, line feed included).
// On success: the message; keys may come in any order, unknown keys are skipped whatever their
// value, and a null "volume" counts as absent. On failure: one error positioned at the last byte
// the decoder read when it stopped (column 0 when it stopped at the start of a line). Nesting
// deeper than 127 arrays and objects fails with RecursionLimit.
[[nodiscard]] tl::expected<HostMessage, JsonError> decode_host_message(std::string_view frame);

// ---- Helper to host ----

enum class ProgressStatus : uint8_t {
  Queued = 0,
  Running = 1,
  Completed = 2,
  Cancelled = 3,
  Failed = 4
};

// The helper's messages are written once for either kind of text: `Text` is the view type of
// their paths. The helper encodes them with OS strings (the aliases below); the host decodes them
// with UTF-8 texts (message_decoder.h). On POSIX the two are the same types.

template <typename Text>
struct BasicTargetProgress {
  uint64_t target_index = 0;
  Text current_path;
  uint64_t files_discovered = 0;
  uint64_t folders_discovered = 0;
  uint64_t bytes_measured = 0;
  uint64_t inaccessible_item_count = 0;
  uint64_t elapsed_millis = 0;
  ProgressStatus status = ProgressStatus::Queued;
};

enum class NodeRecordKind : uint8_t {
  Drive = 0,
  Folder = 1,
  File = 2,
  Restricted = 3,
  SymbolicLink = 4,
  Junction = 5,
  VolumeMountPoint = 6,
  OtherLink = 7,
};

struct NodeRecordFlags {
  bool cloud_only = false;
  bool compressed = false;
  bool sparse = false;
  bool deduplicated = false;
};

struct NodeRecordIdentity {
  uint64_t volume_serial = 0;
  std::array<uint8_t, 16> file_id{};
};

// One tree node, with the node's own sizes (never subtree totals). The views point into the
// caller's storage.
template <typename Text>
struct BasicNodeRecord {
  uint64_t id = 0;
  std::optional<uint64_t> parent_id;
  Text path;
  NodeRecordKind kind = NodeRecordKind::File;
  uint64_t logical_bytes = 0;
  uint64_t size_on_disk_bytes = 0;
  NodeRecordFlags flags;
  std::optional<NodeRecordIdentity> identity;
  std::optional<Text> link_target;
  uint64_t modified_at_epoch_seconds = 0;
};

template <typename Text>
struct BasicEventMessage {  // "event", carrying a "progress" event
  BasicTargetProgress<Text> progress;
};
struct TreeStartMessage {  // "treeStart"
  uint64_t target_index = 0;
  std::optional<storage::FileSystemKind> file_system;
};
template <typename Text>
struct BasicNodeMessage {  // "node"
  uint64_t target_index = 0;
  BasicNodeRecord<Text> node;
};
struct TreeEndMessage {  // "treeEnd"
  uint64_t target_index = 0;
};
struct TargetUnavailableMessage {  // "targetUnavailable"
  uint64_t target_index = 0;
};
struct CompleteMessage {};  // "complete"
struct FailureMessage {     // "failure"
  std::string_view message;
};

template <typename Text>
using BasicHelperMessage =
    std::variant<BasicEventMessage<Text>, TreeStartMessage, BasicNodeMessage<Text>, TreeEndMessage,
                 TargetUnavailableMessage, CompleteMessage, FailureMessage>;

// The helper's messages as the helper writes them.
using TargetProgress = BasicTargetProgress<platform::OsStringView>;
using NodeRecord = BasicNodeRecord<platform::OsStringView>;
using EventMessage = BasicEventMessage<platform::OsStringView>;
using NodeMessage = BasicNodeMessage<platform::OsStringView>;
using HelperMessage = BasicHelperMessage<platform::OsStringView>;

// How paths that are not valid Unicode are written.
enum class PathEncoding : uint8_t {
  Strict,    // they cannot be written: encoding fails
  Lossless,  // POSIX: each byte that is not part of valid UTF-8 as the escape \udc80 to \udcff
             // (0xDC00 + the byte); Windows: each unpaired surrogate as the escape of itself
};

// Appends the compact JSON text of `message` to `out` (no line feed): keys in declaration order,
// every optional key present (null when absent). Allocates nothing besides growing `out`.
// With Strict paths, fails with PathNotUnicode when a path is not valid Unicode; `out` may then
// hold the beginning of the message. A failure message's text that is not valid UTF-8 is written
// with each ill-formed sequence replaced by U+FFFD.
[[nodiscard]] tl::expected<void, JsonError> encode(const HelperMessage& message, std::string& out,
                                                   PathEncoding paths = PathEncoding::Strict);

// ---- Wire words of the enumerations ----

// One value of an enumeration and its word on the wire.
template <typename Enum>
struct WireWord {
  Enum value;
  std::string_view word;
};

// Each enumeration's table, in declaration order (entry i holds the value i): the one list that
// the encoder (to_wire), the decoders (from_wire) and the error texts read. Words match exactly
// and case-sensitively.
inline constexpr std::array<WireWord<ElevatedScanMode>, 2> kScanModeWords{{
    {ElevatedScanMode::RestrictedTopUp, "restrictedTopUp"},
    {ElevatedScanMode::FullRoot, "fullRoot"},
}};
inline constexpr std::array<WireWord<storage::FileSystemKind>, 5> kFileSystemKindWords{{
    {storage::FileSystemKind::Ntfs, "ntfs"},
    {storage::FileSystemKind::ReFs, "reFs"},
    {storage::FileSystemKind::Fat32, "fat32"},
    {storage::FileSystemKind::ExFat, "exFat"},
    {storage::FileSystemKind::Other, "other"},
}};
inline constexpr std::array<WireWord<ProgressStatus>, 5> kProgressStatusWords{{
    {ProgressStatus::Queued, "queued"},
    {ProgressStatus::Running, "running"},
    {ProgressStatus::Completed, "completed"},
    {ProgressStatus::Cancelled, "cancelled"},
    {ProgressStatus::Failed, "failed"},
}};
inline constexpr std::array<WireWord<NodeRecordKind>, 8> kNodeRecordKindWords{{
    {NodeRecordKind::Drive, "drive"},
    {NodeRecordKind::Folder, "folder"},
    {NodeRecordKind::File, "file"},
    {NodeRecordKind::Restricted, "restricted"},
    {NodeRecordKind::SymbolicLink, "symbolicLink"},
    {NodeRecordKind::Junction, "junction"},
    {NodeRecordKind::VolumeMountPoint, "volumeMountPoint"},
    {NodeRecordKind::OtherLink, "otherLink"},
}};

// The table of each enumeration, for code written once for all of them.
constexpr const auto& wire_words(ElevatedScanMode) { return kScanModeWords; }
constexpr const auto& wire_words(storage::FileSystemKind) { return kFileSystemKindWords; }
constexpr const auto& wire_words(ProgressStatus) { return kProgressStatusWords; }
constexpr const auto& wire_words(NodeRecordKind) { return kNodeRecordKindWords; }

// The word of `value`. A value outside its enumeration is a broken invariant (panics).
std::string_view to_wire(storage::FileSystemKind kind);
std::string_view to_wire(ElevatedScanMode mode);
std::string_view to_wire(ProgressStatus status);
std::string_view to_wire(NodeRecordKind kind);

// The value of Enum whose word is `word`, or nullopt; e.g. from_wire<ProgressStatus>("running").
template <typename Enum>
constexpr std::optional<Enum> from_wire(std::string_view word) {
  for (const WireWord<Enum>& entry : wire_words(Enum{})) {
    if (entry.word == word) return entry.value;
  }
  return std::nullopt;
}

}  // namespace ketterlin::elevation
