// Fuzz target: decode_host_message on any bytes as one frame.
//
// Oracles, each stated independently of the decoder:
//   - a failure reads "<problem> at line L column C": the problem is one of the decoder's fixed
//     texts, L >= 1, and the position lies within the frame;
//   - malformed JSON (syntax texts, "trailing characters") is reported only for a frame that is not
//     one valid JSON text, and "recursion limit exceeded" only where 128 arrays and objects are
//     open;
//   - the frame parsed as a whole JSON document decides the rest. A document nested at most 127
//     levels deep, in which the message, the request and the volume repeat none of their keys,
//     whose request the decoding rules accept (read here straight from the document) must decode,
//     to that same request; one whose request the rules refuse must fail, and "duplicate field"
//     is reported only where such a key repeats;
//   - a decoded request written back as JSON, in a shape picked by the input (key order, null or
//     missing volume, escapes, indentation, extra keys), decodes to the same value.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "elevation/protocol.h"
#include "fuzz/fuzz_check.h"
#include "platform/os_string.h"
#include "platform/unicode.h"
#include "storage/volume.h"

namespace ketterlin::fuzz {
namespace {

using elevation::ElevatedScanMode;
using elevation::HostMessage;
using storage::FileSystemKind;
using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

constexpr std::size_t kMaxNestingLevels = 127;

// ---- The shape of an error text ----

enum class ProblemKind {
  Syntax,  // the JSON text itself is malformed
  Trailing,
  Recursion,
  Missing,
  Duplicate,
  UnknownVariant,
  InvalidType,
  InvalidValue,
};

constexpr std::array<std::string_view, 19> kSyntaxProblems = {
    "invalid JSON",
    "number out of range",
    "EOF while parsing a string",
    "EOF while parsing an object",
    "EOF while parsing a list",
    "EOF while parsing a value",
    "control character in string",
    "invalid UTF-8 in string",
    "invalid escape",
    "lone leading surrogate in hex escape",
    "lone trailing surrogate in hex escape",
    "invalid number",
    "invalid byte order mark",
    "trailing comma",
    "key must be a string",
    "expected `:`",
    "expected `,` or `}`",
    "expected `,` or `]`",
    "expected value",
};

// Keys a missing-field error may name (the required ones), and a duplicate-field error (all).
constexpr std::array<std::string_view, 7> kRequiredKeys = {
    "type", "request", "mode", "root", "targets", "usedBytes", "fileSystem"};
constexpr std::array<std::string_view, 9> kKnownKeys = {"type",      "request",    "mode",
                                                        "root",      "targets",    "volume",
                                                        "usedBytes", "fileSystem", "losslessPaths"};

// The accepted words of each enumeration, as an unknown-variant error lists them.
struct VariantList {
  std::string_view listed;
  std::size_t word_count;
  std::array<std::string_view, 5> words;

  bool accepts(std::string_view word) const {
    return std::find(words.begin(), words.begin() + word_count, word) != words.begin() + word_count;
  }
};
constexpr std::array<VariantList, 3> kVariantLists = {{
    {"`scan`", 1, {"scan"}},
    {"one of `restrictedTopUp`, `fullRoot`", 2, {"restrictedTopUp", "fullRoot"}},
    {"one of `ntfs`, `reFs`, `fat32`, `exFat`, `other`",
     5,
     {"ntfs", "reFs", "fat32", "exFat", "other"}},
}};

// The kinds of JSON value an invalid-type error may say it found.
constexpr std::array<std::string_view, 7> kFoundKinds = {"null",   "boolean", "integer", "number",
                                                         "string", "object",  "array"};

template <std::size_t N>
bool is_one_of(std::string_view text, const std::array<std::string_view, N>& words) {
  return std::find(words.begin(), words.end(), text) != words.end();
}

// "`key`" with key one of `keys`.
template <std::size_t N>
bool is_quoted_key(std::string_view text, const std::array<std::string_view, N>& keys) {
  return text.size() >= 2 && text.front() == '`' && text.back() == '`' &&
         is_one_of(text.substr(1, text.size() - 2), keys);
}

// "unknown variant `<received>`, expected <one of the lists>", <received> not in that list.
bool is_unknown_variant(std::string_view problem) {
  constexpr std::string_view kStart = "unknown variant `";
  if (!problem.starts_with(kStart)) return false;
  for (const VariantList& list : kVariantLists) {
    const std::string ending = "`, expected " + std::string(list.listed);
    if (!problem.ends_with(ending) || problem.size() < kStart.size() + ending.size()) continue;
    const std::string_view received =
        problem.substr(kStart.size(), problem.size() - kStart.size() - ending.size());
    // The received word cannot be one of the accepted ones.
    return !list.accepts(received);
  }
  return false;
}

// "invalid type: <found>, expected <wanted>", <found> naming a kind of JSON value.
bool is_invalid_type(std::string_view problem) {
  constexpr std::string_view kStart = "invalid type: ";
  constexpr std::string_view kExpected = ", expected ";
  const std::size_t expected_at = problem.rfind(kExpected);
  if (!problem.starts_with(kStart) || expected_at == std::string_view::npos ||
      expected_at < kStart.size() || expected_at + kExpected.size() == problem.size()) {
    return false;
  }
  const std::string_view found = problem.substr(kStart.size(), expected_at - kStart.size());
  return std::any_of(kFoundKinds.begin(), kFoundKinds.end(),
                     [&](std::string_view kind) { return found.starts_with(kind); });
}

std::optional<ProblemKind> kind_of(std::string_view problem) {
  if (is_one_of(problem, kSyntaxProblems)) return ProblemKind::Syntax;
  if (problem == "trailing characters") return ProblemKind::Trailing;
  if (problem == "recursion limit exceeded") return ProblemKind::Recursion;
  constexpr std::string_view kMissing = "missing field ";
  constexpr std::string_view kDuplicate = "duplicate field ";
  if (problem.starts_with(kMissing) &&
      is_quoted_key(problem.substr(kMissing.size()), kRequiredKeys)) {
    return ProblemKind::Missing;
  }
  if (problem.starts_with(kDuplicate) &&
      is_quoted_key(problem.substr(kDuplicate.size()), kKnownKeys)) {
    return ProblemKind::Duplicate;
  }
  if (is_unknown_variant(problem)) return ProblemKind::UnknownVariant;
  if (is_invalid_type(problem)) return ProblemKind::InvalidType;
  // Only a negative "usedBytes" has a valid type but an invalid value.
  if (problem.starts_with("invalid value: integer `-") &&
      problem.ends_with("`, expected an unsigned 64-bit integer")) {
    return ProblemKind::InvalidValue;
  }
  return std::nullopt;
}

// A decimal number as std::to_string writes it: digits, no leading zero, no sign.
std::optional<std::size_t> parse_decimal(std::string_view digits) {
  if (digits.empty() || digits.size() > 18 || (digits.size() > 1 && digits[0] == '0')) {
    return std::nullopt;
  }
  std::size_t value = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(digit - '0');
  }
  return value;
}

struct ErrorShape {
  ProblemKind kind;
  std::size_t offset;  // bytes of the frame before the reported position
};

// Checks the whole error text and returns its kind and the frame offset it points at.
ErrorShape check_error_text(std::string_view frame, std::string_view text) {
  constexpr std::string_view kLine = " at line ";
  constexpr std::string_view kColumn = " column ";
  const std::size_t line_at = text.rfind(kLine);
  check(line_at != std::string_view::npos, "error ends with a position", frame, text);
  const std::string_view position = text.substr(line_at + kLine.size());
  const std::size_t column_at = position.find(kColumn);
  check(column_at != std::string_view::npos, "position names a column", frame, text);
  const std::optional<std::size_t> line = parse_decimal(position.substr(0, column_at));
  const std::optional<std::size_t> column =
      parse_decimal(position.substr(column_at + kColumn.size()));
  check(line && column, "line and column are decimal numbers", frame, text);
  check(*line >= 1, "lines count from 1", frame, text);

  // The reported line must exist, and the column must lie within it.
  std::size_t line_start = 0;
  for (std::size_t passed = 1; passed < *line; ++passed) {
    const std::size_t feed = frame.find('\n', line_start);
    check(feed != std::string_view::npos, "the reported line exists", frame, text);
    line_start = feed + 1;
  }
  const std::size_t line_end = std::min(frame.find('\n', line_start), frame.size());
  check(*column <= line_end - line_start, "the reported column lies within its line", frame, text);

  const std::optional<ProblemKind> kind = kind_of(text.substr(0, line_at));
  check(kind.has_value(), "the problem is one of the decoder's fixed texts", frame, text);
  return {*kind, line_start + *column};
}

// The deepest nesting of arrays and objects within `text`, read as JSON tokens (strings skipped).
std::size_t deepest_nesting(std::string_view text) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool in_string = false;
  bool escaped_next = false;
  for (const char byte : text) {
    if (in_string) {
      if (escaped_next) {
        escaped_next = false;
      } else if (byte == '\\') {
        escaped_next = true;
      } else if (byte == '"') {
        in_string = false;
      }
    } else if (byte == '"') {
      in_string = true;
    } else if (byte == '[' || byte == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((byte == ']' || byte == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// ---- The frame as a JSON document ----

struct Document {
  std::optional<Json> value;  // empty when the frame is not one valid JSON text
  // The message, its request or the volume holds one of its own keys twice (other keys may repeat).
  bool repeated_known_key = false;
};

// What an open array or object stands for in the message.
enum class Role { Message, Request, Volume, Other };

struct OpenContainer {
  Role role;
  std::string last_key;
  std::vector<std::string> keys;
};

Role role_of_object(const std::vector<OpenContainer>& open) {
  if (open.empty()) return Role::Message;
  const OpenContainer& parent = open.back();
  if (parent.role == Role::Message && parent.last_key == "request") return Role::Request;
  if (parent.role == Role::Request && parent.last_key == "volume") return Role::Volume;
  return Role::Other;
}

bool is_known_key(Role role, const std::string& key) {
  switch (role) {
    case Role::Message:
      return key == "type" || key == "request";
    case Role::Request:
      return key == "mode" || key == "root" || key == "targets" || key == "volume" ||
             key == "losslessPaths";
    case Role::Volume:
      return key == "usedBytes" || key == "fileSystem";
    case Role::Other:
      break;
  }
  return false;
}

Document parse_document(std::string_view frame) {
  Document document;
  // JSON text never holds a NUL byte, but the library's lexer takes one for the end of the input
  // and would accept "{...}\0garbage".
  if (frame.find('\0') != std::string_view::npos) return document;
  std::vector<OpenContainer> open;
  const Json::parser_callback_t note_keys = [&](int, Json::parse_event_t event, Json& parsed) {
    using Event = Json::parse_event_t;
    if (event == Event::object_start) open.push_back({role_of_object(open), {}, {}});
    if (event == Event::array_start) open.push_back({Role::Other, {}, {}});
    if ((event == Event::object_end || event == Event::array_end) && !open.empty()) open.pop_back();
    if (event == Event::key && !open.empty()) {
      OpenContainer& container = open.back();
      const std::string& key = parsed.get_ref<const std::string&>();
      if (is_known_key(container.role, key) &&
          std::find(container.keys.begin(), container.keys.end(), key) != container.keys.end()) {
        document.repeated_known_key = true;
      }
      container.keys.push_back(key);
      container.last_key = key;
    }
    return true;
  };
  Json value = Json::parse(frame.begin(), frame.end(), note_keys, /*allow_exceptions=*/false);
  if (!value.is_discarded()) document.value = std::move(value);
  return document;
}

// The nesting depth of a parsed value: 0 for a scalar, 1 for an array or object of scalars.
std::size_t depth_of(const Json& root) {
  std::size_t deepest = 0;
  std::vector<std::pair<const Json*, std::size_t>> pending = {{&root, 0}};
  while (!pending.empty()) {
    const auto [value, depth] = pending.back();
    pending.pop_back();
    if (!value->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    for (const Json& child : *value) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
}

const Json* member(const Json& object, std::string_view key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::optional<ElevatedScanMode> mode_named(const std::string& word) {
  if (word == "restrictedTopUp") return ElevatedScanMode::RestrictedTopUp;
  if (word == "fullRoot") return ElevatedScanMode::FullRoot;
  return std::nullopt;
}

std::optional<FileSystemKind> file_system_named(const std::string& word) {
  if (word == "ntfs") return FileSystemKind::Ntfs;
  if (word == "reFs") return FileSystemKind::ReFs;
  if (word == "fat32") return FileSystemKind::Fat32;
  if (word == "exFat") return FileSystemKind::ExFat;
  if (word == "other") return FileSystemKind::Other;
  return std::nullopt;
}

// A volume object: "usedBytes" a non-negative integer that fits 64 bits, "fileSystem" a known word.
std::optional<storage::ElevatedVolume> volume_from(const Json& volume) {
  if (!volume.is_object()) return std::nullopt;
  const Json* used = member(volume, "usedBytes");
  const Json* file_system = member(volume, "fileSystem");
  if (used == nullptr || file_system == nullptr || !file_system->is_string()) return std::nullopt;
  uint64_t used_bytes = 0;
  if (used->is_number_unsigned()) {
    used_bytes = used->get<uint64_t>();
  } else if (used->is_number_integer() && used->get<int64_t>() >= 0) {
    used_bytes = static_cast<uint64_t>(used->get<int64_t>());  // "-0"
  } else {
    return std::nullopt;
  }
  const std::optional<FileSystemKind> kind = file_system_named(file_system->get<std::string>());
  if (!kind) return std::nullopt;
  return storage::ElevatedVolume{used_bytes, *kind};
}

// The message the decoding rules take from `document`, or nullopt when they refuse it (repeated
// keys aside: the parsed document keeps only the last value of a key).
std::optional<HostMessage> message_from(const Json& document) {
  if (!document.is_object()) return std::nullopt;
  const Json* type = member(document, "type");
  const Json* request = member(document, "request");
  if (type == nullptr || !type->is_string() || *type != "scan") return std::nullopt;
  if (request == nullptr || !request->is_object()) return std::nullopt;
  const Json* mode = member(*request, "mode");
  const Json* root = member(*request, "root");
  const Json* targets = member(*request, "targets");
  if (mode == nullptr || !mode->is_string() || root == nullptr || !root->is_string() ||
      targets == nullptr || !targets->is_array()) {
    return std::nullopt;
  }
  HostMessage message;
  const std::optional<ElevatedScanMode> known_mode = mode_named(mode->get<std::string>());
  if (!known_mode) return std::nullopt;
  message.request.mode = *known_mode;
  message.request.root = platform::from_utf8(root->get<std::string>());
  for (const Json& target : *targets) {
    if (!target.is_string()) return std::nullopt;
    message.request.targets.push_back(platform::from_utf8(target.get<std::string>()));
  }
  const Json* volume = member(*request, "volume");
  if (volume != nullptr && !volume->is_null()) {
    message.request.volume = volume_from(*volume);
    if (!message.request.volume) return std::nullopt;
  }
  if (const Json* lossless = member(*request, "losslessPaths")) {
    if (!lossless->is_boolean()) return std::nullopt;
    message.request.lossless_paths = lossless->get<bool>();
  }
  return message;
}

// ---- Writing a decoded message back ----

// How the re-encoded frame is laid out; one bit each.
enum ShapeBit : uint8_t {
  kTypeLast = 1,
  kRequestKeysReversed = 2,
  kNullVolume = 4,
  kAsciiEscapes = 8,
  kIndented = 16,
  kExtraKeys = 32,
};

std::string utf8_of(std::string_view frame, platform::OsStringView path) {
  const std::optional<std::string> text = platform::to_utf8(path);
  check(text.has_value(), "decoded paths are valid Unicode", frame);
  return *text;
}

OrderedJson request_json(std::string_view frame, const elevation::ElevatedScanRequest& request,
                         uint8_t shape) {
  std::vector<std::pair<std::string, OrderedJson>> members;
  members.emplace_back("mode", elevation::to_wire(request.mode));
  members.emplace_back("root", utf8_of(frame, request.root));
  OrderedJson targets = OrderedJson::array();
  for (const platform::OsString& target : request.targets)
    targets.push_back(utf8_of(frame, target));
  members.emplace_back("targets", std::move(targets));
  if (request.volume) {
    members.emplace_back(
        "volume", OrderedJson{{"usedBytes", request.volume->used_bytes},
                              {"fileSystem", elevation::to_wire(request.volume->file_system)}});
  } else if (shape & kNullVolume) {
    members.emplace_back("volume", nullptr);
  }
  if (request.lossless_paths || (shape & kNullVolume)) {
    members.emplace_back("losslessPaths", request.lossless_paths);
  }
  if (shape & kRequestKeysReversed) std::reverse(members.begin(), members.end());
  OrderedJson object = OrderedJson::object();
  if (shape & kExtraKeys) object["mode "] = OrderedJson::array({1, "x", nullptr});
  for (auto& [key, value] : members) object[key] = std::move(value);
  return object;
}

void check_round_trip(std::string_view frame, const HostMessage& decoded) {
  const uint8_t shape = frame.empty() ? 0 : static_cast<uint8_t>(frame.back() ^ frame.size());
  OrderedJson document = OrderedJson::object();
  if (shape & kExtraKeys) document["Type"] = "other";
  if (!(shape & kTypeLast)) document["type"] = "scan";
  document["request"] = request_json(frame, decoded.request, shape);
  if (shape & kTypeLast) document["type"] = "scan";
  const std::string written =
      document.dump((shape & kIndented) ? 2 : -1, ' ', (shape & kAsciiEscapes) != 0) + "\n";
  const auto again = elevation::decode_host_message(written);
  check(again.has_value(), "a decoded request written back decodes", frame,
        again ? written : written + " -> " + elevation::to_string(again.error()));
  check(*again == decoded, "a decoded request written back decodes to the same value", frame,
        written);
}

// ---- The target ----

void check_success(std::string_view frame, const Document& document, const HostMessage& decoded) {
  check(document.value.has_value(), "a decoded frame is one valid JSON text", frame);
  check(!document.repeated_known_key, "a decoded frame repeats no known key", frame);
  check(depth_of(*document.value) <= kMaxNestingLevels, "a decoded frame nests at most 127 levels",
        frame);
  check(message_from(*document.value) == decoded,
        "the decoded request is the one the rules read from the parsed document", frame);
  check_round_trip(frame, decoded);
}

void check_failure(std::string_view frame, const Document& document, std::string_view text) {
  const ErrorShape error = check_error_text(frame, text);
  const bool malformed = error.kind == ProblemKind::Syntax || error.kind == ProblemKind::Trailing;
  if (malformed)
    check(!document.value, "malformed JSON is reported only for malformed JSON", frame, text);
  if (error.kind == ProblemKind::Recursion) {
    check(deepest_nesting(frame.substr(0, error.offset)) > kMaxNestingLevels,
          "the recursion limit is reported only where 128 levels are open", frame, text);
  }
  if (error.kind == ProblemKind::Duplicate && document.value) {
    check(document.repeated_known_key, "a duplicate field is reported only for a repeated key",
          frame, text);
  }
  if (!document.value || depth_of(*document.value) > kMaxNestingLevels) return;
  check(!malformed && error.kind != ProblemKind::Recursion,
        "a valid JSON text within the nesting limit fails only for its shape", frame, text);
  if (!document.repeated_known_key) {
    check(!message_from(*document.value).has_value(),
          "a request the rules accept, without repeated keys, decodes", frame, text);
  }
}

}  // namespace
}  // namespace ketterlin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace ketterlin::fuzz;
  const std::string_view frame = as_text(data, size);
  const Document document = parse_document(frame);
  const auto decoded = ketterlin::elevation::decode_host_message(frame);
  if (decoded) {
    check_success(frame, document, *decoded);
  } else {
    check_failure(frame, document, ketterlin::elevation::to_string(decoded.error()));
  }
  return 0;
}
