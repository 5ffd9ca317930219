// Both decoding paths. The fast path (CompactReader) mirrors the helper's encoder token by token
// and gives up, never fails, at the first byte it does not expect; the general path then decides.
// The fast path is written for node lines of some 600 bytes, half of them the path: fixed texts
// are compared in one go, numbers are read eight bytes at a time and the path's plain text
// sixteen, and the common spellings (no flags, the upper half of a file id zero) are matched
// whole.
#include "elevation/message_decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

#include "elevation/json_words.h"
#include "platform/unicode.h"

namespace ketterlin::elevation {
namespace {

using namespace json_words;

using storage::FileSystemKind;

// Appends `code_point` in UTF-8; a surrogate comes out in its WTF-8 form.
void append_utf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

bool is_surrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }
bool is_lead_surrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trail_surrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Appends what the lone surrogate `unit` of a path stands for.
void append_lone_surrogate(std::string& out, uint32_t unit, LoneSurrogates meaning) {
  if (meaning == LoneSurrogates::Bytes && unit >= 0xDC80 && unit <= 0xDCFF) {
    out.push_back(static_cast<char>(unit - 0xDC00));
  } else {
    append_utf8(out, unit);
  }
}

// The four hexadecimal digits at the start of `text` as a number, or nullopt.
std::optional<uint32_t> hex_unit(std::string_view text) {
  if (text.size() < 4) return std::nullopt;
  uint32_t unit = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return std::nullopt;
    unit = unit * 16 + static_cast<uint32_t>(digit);
  }
  return unit;
}

// ===== Fast path =====

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `rest`, what follows a message on its line, is nothing or the final carriage return.
bool ends_line(std::string_view rest) { return rest.empty() || rest == "\r"; }

// The eight bytes at `text` as a number whose lowest byte is the first one, on any machine.
uint64_t load_first_low(const char* text) {
  uint64_t word = 0;
  std::memcpy(&word, text, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    uint64_t reversed = 0;
    for (int i = 0; i < 8; ++i) reversed = (reversed << 8) | ((word >> (8 * i)) & 0xFF);
    word = reversed;
  }
  return word;
}

constexpr uint64_t kMaxNumber = std::numeric_limits<uint64_t>::max();
constexpr std::array<uint64_t, 9> kPowersOfTen = {
    1, 10, 100, 1'000, 10'000, 100'000, 1'000'000, 10'000'000, 100'000'000};

// How many bytes of `word` (first byte lowest), from the first on, are decimal digits.
std::size_t leading_digits(uint64_t word) {
  const uint64_t non_digits = ~bytes_below(word ^ (kEveryByte * '0'), 10) & kHighBits;
  return non_digits == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(non_digits)) / 8;
}

// The value of the first `count` (1 to 8) bytes of `word` (first byte lowest), all digits: each
// step joins neighbouring groups of digits into one group of twice the width.
uint64_t digits_value(uint64_t word, std::size_t count) {
  word = (word & 0x0F0F0F0F0F0F0F0FULL) << (8 * (8 - count));  // leading zeros in front
  word = (word * 10 + (word >> 8)) & 0x00FF00FF00FF00FFULL;
  word = (word * 100 + (word >> 16)) & 0x0000FFFF0000FFFFULL;
  return (word * 10000 + (word >> 32)) & 0xFFFFFFFFULL;
}

// Whether the bytes at `data` begin with the string literal `text`, compared a word at a time:
// the length is known, so this unrolls into a few loads and comparisons with constants, where
// a call of memcmp would cost more than the comparison.
template <std::size_t N>
bool starts_with_literal(const char* data, const char (&text)[N]) {
  constexpr std::size_t length = N - 1;
  const auto load = [](const char* bytes, auto word) {
    std::memcpy(&word, bytes, sizeof word);
    return word;
  };
  if constexpr (length >= 8) {
    uint64_t difference = 0;
    for (std::size_t at = 0; at + 8 <= length; at += 8) {
      difference |= load(data + at, uint64_t{}) ^ load(text + at, uint64_t{});
    }
    if constexpr (length % 8 != 0) {  // the last eight bytes, overlapping the words before
      difference |= load(data + length - 8, uint64_t{}) ^ load(text + length - 8, uint64_t{});
    }
    return difference == 0;
  } else if constexpr (length >= 4) {
    return ((load(data, uint32_t{}) ^ load(text, uint32_t{})) |
            (load(data + length - 4, uint32_t{}) ^ load(text + length - 4, uint32_t{}))) == 0;
  } else {
    return std::memcmp(data, text, length) == 0;
  }
}

// A JSON string's text up to the first byte that ends it or needs a closer look.
struct PlainRun {
  std::size_t length = 0;  // up to a quotation mark, backslash or control character, or the end
  bool ascii = true;       // no byte above 0x7F among them
};

// The plain run at the front of `text`: ASCII sixteen bytes at a time (paths are long and mostly
// plain ASCII), then, from the first byte above 0x7F, eight bytes at a time.
PlainRun plain_run(std::string_view text) {
  std::size_t at = ascii_run(text.data(), text.size());
  if (at == text.size() || static_cast<unsigned char>(text[at]) < 0x80) return {at, true};
  for (; text.size() - at >= 8; at += 8) {
    if (const uint64_t stops = string_stops(load(text.data() + at)); stops != 0) {
      return {at + first_flagged(stops), false};
    }
  }
  for (; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '"' || byte == '\\' || byte < 0x20) break;
  }
  return {at, false};
}

// Reads the helper's compact form. Every method answers false (or nullopt) as soon as the text
// deviates from that form; the caller then hands the line to the general path. The methods do
// not look past what they read: the fixed text the caller expects next decides whether, say, a
// number ended where it should (a fraction's "." or an exponent is not what the form has next).
class CompactReader {
 public:
  CompactReader(std::string_view line, LoneSurrogates lone_surrogates)
      : rest_(line), lone_surrogates_(lone_surrogates) {}

  // Takes the fixed text `text` (a string literal).
  template <std::size_t N>
  bool literal(const char (&text)[N]) {
    constexpr std::size_t length = N - 1;
    if (rest_.size() < length || !starts_with_literal(rest_.data(), text)) return false;
    rest_.remove_prefix(length);
    return true;
  }
  bool at_end() const { return ends_line(rest_); }
  std::string_view rest() const { return rest_; }

  // An unsigned integer in canonical form (no sign, no leading zero) up to 2^64 - 1. The common
  // case, one to seven digits with eight bytes to look at, is kept inline and the others out of
  // line (long_number): calls to it took a fifth of a node line's decoding.
  [[gnu::always_inline]] std::optional<uint64_t> number() {
    if (rest_.size() >= 8) {
      const uint64_t word = load_first_low(rest_.data());
      const std::size_t digits = leading_digits(word);
      if (digits >= 1 && digits <= 7) {
        if (digits > 1 && rest_[0] == '0') return std::nullopt;
        rest_.remove_prefix(digits);
        return digits_value(word, digits);
      }
    }
    return long_number();
  }

  // An unsigned integer in canonical form from 0 to 255, then the byte `separator`.
  std::optional<uint8_t> byte_then(char separator) {
    if (rest_.size() < 8) return std::nullopt;  // never so inside a node line
    const uint64_t word = load_first_low(rest_.data());
    const std::size_t digits = leading_digits(word);
    if (digits == 0 || digits > 3 || (digits > 1 && (word & 0xFF) == '0') ||
        ((word >> (8 * digits)) & 0xFF) != static_cast<unsigned char>(separator)) {
      return std::nullopt;
    }
    // Three digits at most: their values directly, without digits_value's longer chain.
    const auto digit = [word](int index) { return (word >> (8 * index)) & 0x0F; };
    const uint64_t two = digit(0) * 10 + digit(1);
    const uint64_t value = digits == 1 ? digit(0) : digits == 2 ? two : two * 10 + digit(2);
    if (value > 255) return std::nullopt;
    rest_.remove_prefix(digits + 1);
    return static_cast<uint8_t>(value);
  }

  std::optional<bool> boolean() {
    if (literal("false")) return false;
    if (literal("true")) return true;
    return std::nullopt;
  }

  // A string: a view into the line when it holds no escape, else its text decoded into
  // `scratch`. Valid UTF-8 and no raw control character, as JSON requires.
  std::optional<std::string_view> string(std::string& scratch) {
    if (!literal("\"")) return std::nullopt;
    const PlainRun run = plain_run(rest_);
    if (run.length == rest_.size()) return std::nullopt;
    const std::string_view plain = rest_.substr(0, run.length);
    if (!run.ascii && !platform::is_valid_utf8(plain)) return std::nullopt;
    const char stop = rest_[run.length];
    if (stop == '"') {
      rest_.remove_prefix(run.length + 1);
      return plain;
    }
    if (stop != '\\') return std::nullopt;  // a control character
    scratch.assign(plain);
    rest_.remove_prefix(run.length);
    return escaped_string(scratch);
  }

  // A word between quotation marks that holds no escape (enumeration strings).
  std::optional<std::string_view> word() {
    if (!literal("\"")) return std::nullopt;
    const std::size_t end = rest_.find('"');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view text = rest_.substr(0, end);
    if (text.find('\\') != std::string_view::npos) return std::nullopt;
    rest_.remove_prefix(end + 1);
    return text;
  }

 private:
  // number() for any length and position.
  [[gnu::noinline]] std::optional<uint64_t> long_number() {
    std::size_t length = 0;
    uint64_t value = 0;
    bool ended = false;  // a byte after the digits has been seen
    // Eight digits at a time while eight bytes are left, up to sixteen digits (below 10^16).
    while (!ended && length < 16 && rest_.size() - length >= 8) {
      const uint64_t word = load_first_low(rest_.data() + length);
      const std::size_t digits = leading_digits(word);
      if (digits > 0) value = value * kPowersOfTen[digits] + digits_value(word, digits);
      length += digits;
      ended = digits < 8;
    }
    // The last bytes of a line and digits 17 to 20 one at a time; nineteen digits always fit.
    while (!ended && length < rest_.size() && is_digit(rest_[length])) {
      const auto digit = static_cast<uint64_t>(rest_[length] - '0');
      if (length == 20 || (length == 19 && value > (kMaxNumber - digit) / 10)) {
        return std::nullopt;
      }
      value = value * 10 + digit;
      ++length;
    }
    if (length == 0 || (length > 1 && rest_[0] == '0')) return std::nullopt;
    rest_.remove_prefix(length);
    return value;
  }

  // The rest of a string from its first escape on, appended to `scratch`.
  std::optional<std::string_view> escaped_string(std::string& scratch) {
    for (;;) {
      if (!escape(scratch)) return std::nullopt;
      const PlainRun run = plain_run(rest_);
      if (run.length == rest_.size()) return std::nullopt;
      // The text between escapes must be valid UTF-8 (an escape cannot cut a character, which
      // holds no backslash); what a lone surrogate escape stands for need not be.
      const std::string_view plain = rest_.substr(0, run.length);
      if (!run.ascii && !platform::is_valid_utf8(plain)) return std::nullopt;
      scratch.append(plain);
      const char stop = rest_[run.length];
      rest_.remove_prefix(run.length);
      if (stop == '"') break;
      if (stop != '\\') return std::nullopt;  // a control character
    }
    rest_.remove_prefix(1);
    return std::string_view(scratch);
  }

  // One escape sequence at the front.
  bool escape(std::string& out) {
    if (rest_.size() < 2) return false;
    const char letter = rest_[1];
    rest_.remove_prefix(2);
    switch (letter) {
      case '"':
        out.push_back('"');
        return true;
      case '\\':
        out.push_back('\\');
        return true;
      case '/':
        out.push_back('/');
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    const std::optional<uint32_t> unit = hex_unit(rest_);
    if (!unit) return false;
    rest_.remove_prefix(4);
    if (is_lead_surrogate(*unit) && rest_.starts_with("\\u")) {
      const std::optional<uint32_t> trail = hex_unit(rest_.substr(2));
      if (trail && is_trail_surrogate(*trail)) {
        rest_.remove_prefix(6);
        append_utf8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*trail - 0xDC00));
        return true;
      }
    }
    if (is_surrogate(*unit)) {
      append_lone_surrogate(out, *unit, lone_surrogates_);
    } else {
      append_utf8(out, *unit);
    }
    return true;
  }

  std::string_view rest_;
  LoneSurrogates lone_surrogates_;
};

std::optional<DecodedMessage> fast_progress(CompactReader& in, std::string& scratch) {
  DecodedEventMessage message;
  DecodedProgress& event = message.progress;
  if (!in.literal("{\"type\":\"progress\",\"targetIndex\":")) return std::nullopt;
  auto target = in.number();
  if (!target || !in.literal(",\"currentPath\":")) return std::nullopt;
  auto path = in.string(scratch);
  if (!path || !in.literal(",\"filesDiscovered\":")) return std::nullopt;
  auto files = in.number();
  if (!files || !in.literal(",\"foldersDiscovered\":")) return std::nullopt;
  auto folders = in.number();
  if (!folders || !in.literal(",\"bytesMeasured\":")) return std::nullopt;
  auto bytes = in.number();
  if (!bytes || !in.literal(",\"inaccessibleItemCount\":")) return std::nullopt;
  auto inaccessible = in.number();
  if (!inaccessible || !in.literal(",\"elapsedMillis\":")) return std::nullopt;
  auto elapsed = in.number();
  if (!elapsed || !in.literal(",\"status\":")) return std::nullopt;
  auto status_word = in.word();
  if (!status_word || !in.literal("}}") || !in.at_end()) return std::nullopt;
  auto status = from_wire<ProgressStatus>(*status_word);
  if (!status) return std::nullopt;
  event = {*target, *path, *files, *folders, *bytes, *inaccessible, *elapsed, *status};
  return message;
}

std::optional<NodeRecordFlags> fast_flags(CompactReader& in) {
  // Nearly every node has no flag: one comparison for that.
  if (in.literal(
          "{\"cloudOnly\":false,\"compressed\":false,\"sparse\":false,\"deduplicated\":false}")) {
    return NodeRecordFlags{};
  }
  NodeRecordFlags flags;
  if (!in.literal("{\"cloudOnly\":")) return std::nullopt;
  auto cloud_only = in.boolean();
  if (!cloud_only || !in.literal(",\"compressed\":")) return std::nullopt;
  auto compressed = in.boolean();
  if (!compressed || !in.literal(",\"sparse\":")) return std::nullopt;
  auto sparse = in.boolean();
  if (!sparse || !in.literal(",\"deduplicated\":")) return std::nullopt;
  auto deduplicated = in.boolean();
  if (!deduplicated || !in.literal("}")) return std::nullopt;
  flags = {*cloud_only, *compressed, *sparse, *deduplicated};
  return flags;
}

// `count` file id bytes into `bytes`, each followed by `separator` ("," between them, "]" at the
// end of the array).
bool fast_file_id_bytes(CompactReader& in, uint8_t* bytes, std::size_t count, char separator) {
  for (std::size_t i = 0; i < count; ++i) {
    auto byte = in.byte_then(separator);
    if (!byte) return false;
    bytes[i] = *byte;
  }
  return true;
}

// The identity object or null into `identity`; false when neither was read.
bool fast_identity(CompactReader& in, std::optional<NodeRecordIdentity>& identity) {
  if (in.literal("null")) {
    identity.reset();
    return true;
  }
  if (!in.literal("{\"volumeSerial\":")) return false;
  auto serial = in.number();
  if (!serial || !in.literal(",\"fileId\":[")) return false;
  NodeRecordIdentity value;
  value.volume_serial = *serial;
  uint8_t* bytes = value.file_id.data();
  if (!fast_file_id_bytes(in, bytes, 8, ',')) return false;
  // A 64-bit file number (NTFS, POSIX inodes) leaves the upper half zero: one comparison.
  if (!in.literal("0,0,0,0,0,0,0,0]}")) {
    if (!fast_file_id_bytes(in, bytes + 8, 7, ',') || !fast_file_id_bytes(in, bytes + 15, 1, ']') ||
        !in.literal("}")) {
      return false;
    }
  }
  identity = value;
  return true;
}

// The kind word, the common ones tried first as they are spelt on the wire.
std::optional<NodeRecordKind> fast_kind(CompactReader& in) {
  if (in.literal("\"file\"")) return NodeRecordKind::File;
  if (in.literal("\"folder\"")) return NodeRecordKind::Folder;
  auto word = in.word();
  if (!word) return std::nullopt;
  return from_wire<NodeRecordKind>(*word);
}

constexpr char kNodeLineStart[] = "{\"type\":\"node\",\"targetIndex\":";

// The node message at the front of `text`, into `event`: its length when it is in the compact
// form (what follows is the caller's to check), with every field set. The fields are written at
// the end, so that the reader's position stays in registers (a store into `event` could
// otherwise alias it).
std::optional<std::size_t> fast_node(std::string_view text, LoneSurrogates lone_surrogates,
                                     std::string& path_scratch, std::string& target_scratch,
                                     DecodedNodeMessage& event) {
  CompactReader in(text, lone_surrogates);
  if (!in.literal(kNodeLineStart)) return std::nullopt;
  auto target = in.number();
  if (!target || !in.literal(",\"node\":{\"id\":")) return std::nullopt;
  auto id = in.number();
  if (!id || !in.literal(",\"parentId\":")) return std::nullopt;
  std::optional<uint64_t> parent;
  if (!in.literal("null")) {
    parent = in.number();
    if (!parent) return std::nullopt;
  }
  if (!in.literal(",\"path\":")) return std::nullopt;
  auto path = in.string(path_scratch);
  if (!path || !in.literal(",\"kind\":")) return std::nullopt;
  auto kind = fast_kind(in);
  if (!kind || !in.literal(",\"logicalBytes\":")) return std::nullopt;
  auto logical = in.number();
  if (!logical || !in.literal(",\"sizeOnDiskBytes\":")) return std::nullopt;
  auto on_disk = in.number();
  if (!on_disk || !in.literal(",\"flags\":")) return std::nullopt;
  auto flags = fast_flags(in);
  std::optional<NodeRecordIdentity> identity;
  if (!flags || !in.literal(",\"identity\":") || !fast_identity(in, identity) ||
      !in.literal(",\"linkTarget\":")) {
    return std::nullopt;
  }
  std::optional<std::string_view> link_target;
  if (!in.literal("null")) {
    link_target = in.string(target_scratch);
    if (!link_target) return std::nullopt;
  }
  if (!in.literal(",\"modifiedAtEpochSeconds\":")) return std::nullopt;
  auto modified = in.number();
  if (!modified || !in.literal("}}")) return std::nullopt;
  event.target_index = *target;
  DecodedNode& node = event.node;
  node.id = *id;
  node.parent_id = parent;
  node.path = *path;
  node.kind = *kind;
  node.logical_bytes = *logical;
  node.size_on_disk_bytes = *on_disk;
  node.flags = *flags;
  node.identity = identity;
  node.link_target = link_target;
  node.modified_at_epoch_seconds = *modified;
  return text.size() - in.rest().size();
}

// A message whose only field is "targetIndex".
template <typename Event>
std::optional<DecodedMessage> fast_indexed(CompactReader& in) {
  auto target = in.number();
  if (!target || !in.literal("}") || !in.at_end()) return std::nullopt;
  return Event{*target};
}

std::optional<DecodedMessage> fast_tree_start(CompactReader& in) {
  auto target = in.number();
  if (!target || !in.literal(",\"fileSystem\":")) return std::nullopt;
  TreeStartMessage event{*target, std::nullopt};
  if (!in.literal("null")) {
    auto word = in.word();
    if (!word) return std::nullopt;
    event.file_system = from_wire<FileSystemKind>(*word);
    if (!event.file_system) return std::nullopt;
  }
  if (!in.literal("}") || !in.at_end()) return std::nullopt;
  return event;
}

std::optional<DecodedMessage> decode_compact(std::string_view line, LoneSurrogates lone_surrogates,
                                             std::string& path_scratch,
                                             std::string& second_scratch) {
  CompactReader in(line, lone_surrogates);
  if (line.starts_with(kNodeLineStart)) {
    DecodedNodeMessage event;
    const auto length = fast_node(line, lone_surrogates, path_scratch, second_scratch, event);
    if (!length || !ends_line(line.substr(*length))) return std::nullopt;
    return event;
  }
  if (in.literal("{\"type\":\"event\",\"event\":")) return fast_progress(in, path_scratch);
  if (in.literal("{\"type\":\"treeStart\",\"targetIndex\":")) return fast_tree_start(in);
  if (in.literal("{\"type\":\"treeEnd\",\"targetIndex\":")) return fast_indexed<TreeEndMessage>(in);
  if (in.literal("{\"type\":\"targetUnavailable\",\"targetIndex\":")) {
    return fast_indexed<TargetUnavailableMessage>(in);
  }
  if (in.literal("{\"type\":\"complete\"}")) {
    if (!in.at_end()) return std::nullopt;
    return CompleteMessage{};
  }
  if (in.literal("{\"type\":\"failure\",\"message\":")) {
    auto message = in.string(second_scratch);
    if (!message || !in.literal("}") || !in.at_end()) return std::nullopt;
    return FailureMessage{*message};
  }
  return std::nullopt;
}

// ===== General path =====

using Json = nlohmann::json;
using Decoded = tl::expected<DecodedMessage, std::string>;

// The JSON library refuses lone surrogate escapes, so they are carried through it hidden, as two
// characters: the noncharacter U+FDD0 and then U+E000 + (unit - 0xD800). A U+FDD0 the line holds
// already, raw or escaped, is doubled, so that the hiding can be undone exactly.
constexpr uint32_t kHidingMark = 0xFDD0;
constexpr std::string_view kHidingMarkUtf8 = "\xef\xb7\x90";
constexpr uint32_t kHiddenUnitBase = 0xE000;

// `line` with its lone surrogate escapes hidden into `out`; false, with `out` unspecified, when
// it holds none. Escapes are found by reading them in order, as the JSON text reads them (outside
// strings a backslash is malformed anyway, and the library then says so).
bool hide_lone_surrogates(std::string_view line, std::string& out) {
  out.clear();
  bool hid = false;
  const auto mark = [&out] { out.append("\\ufdd0"); };
  std::size_t at = 0;
  while (at < line.size()) {
    if (line.substr(at).starts_with(kHidingMarkUtf8)) {
      mark();
      mark();
      at += kHidingMarkUtf8.size();
      continue;
    }
    if (line[at] != '\\' || at + 1 == line.size()) {
      out.push_back(line[at++]);
      continue;
    }
    const std::optional<uint32_t> unit =
        line[at + 1] == 'u' ? hex_unit(line.substr(at + 2)) : std::nullopt;
    if (!unit || (!is_surrogate(*unit) && *unit != kHidingMark)) {
      out.append(line.substr(at, 2));  // the escape's letter is never a backslash's start
      at += 2;
      continue;
    }
    if (*unit == kHidingMark) {
      mark();
      mark();
      at += 6;
      continue;
    }
    if (is_lead_surrogate(*unit) && line.substr(at + 6).starts_with("\\u")) {
      const std::optional<uint32_t> trail = hex_unit(line.substr(at + 8));
      if (trail && is_trail_surrogate(*trail)) {
        out.append(line.substr(at, 12));
        at += 12;
        continue;
      }
    }
    mark();
    char hidden[8];
    std::snprintf(hidden, sizeof hidden, "\\u%04x", kHiddenUnitBase + (*unit - 0xD800));
    out.append(hidden);
    hid = true;
    at += 6;
  }
  return hid;
}

// Undoes hide_lone_surrogates in one decoded string.
void restore_lone_surrogates(std::string& text, LoneSurrogates meaning) {
  std::size_t mark = text.find(kHidingMarkUtf8);
  if (mark == std::string::npos) return;
  std::string restored(text, 0, mark);
  while (mark != std::string::npos) {
    std::size_t next = mark + kHidingMarkUtf8.size();
    if (text.compare(next, kHidingMarkUtf8.size(), kHidingMarkUtf8) == 0) {
      restored.append(kHidingMarkUtf8);
      next += kHidingMarkUtf8.size();
    } else if (next + 3 <= text.size()) {
      // U+E000 to U+E7FF: EE 80 80 to EE 9F BF.
      const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
      const uint32_t hidden =
          ((byte(next) & 0x0F) << 12) | ((byte(next + 1) & 0x3F) << 6) | (byte(next + 2) & 0x3F);
      append_lone_surrogate(restored, 0xD800 + (hidden - kHiddenUnitBase), meaning);
      next += 3;
    }
    mark = text.find(kHidingMarkUtf8, next);
    restored.append(text, next, mark == std::string::npos ? std::string::npos : mark - next);
  }
  text = std::move(restored);
}

// Field access on one parsed object; the first problem is kept and every later read is skipped.
class ObjectReader {
 public:
  // `restore`: what hidden lone surrogates in the object's strings stand for; null when the line
  // hid none.
  ObjectReader(const Json& object, std::string_view where, const LoneSurrogates* restore)
      : object_(object), where_(where), restore_(restore) {}

  const Json* field(std::string_view key, bool nullable = false) {
    if (problem_) return nullptr;
    const auto found = object_.find(key);
    if (found == object_.end()) {
      fail("missing key \"" + std::string(key) + "\"");
      return nullptr;
    }
    if (found->is_null() && nullable) return nullptr;
    return &*found;
  }
  uint64_t number(std::string_view key) {
    const Json* value = field(key);
    if (value == nullptr) return 0;
    if (!value->is_number_unsigned()) fail(described(key, "an integer from 0 to 2^64-1"));
    return problem_ ? 0 : value->get<uint64_t>();
  }
  std::optional<uint64_t> optional_number(std::string_view key) {
    const Json* value = field(key, true);
    if (value == nullptr) return std::nullopt;
    return number(key);
  }
  bool boolean(std::string_view key) {
    const Json* value = field(key);
    if (value == nullptr) return false;
    if (!value->is_boolean()) fail(described(key, "a boolean"));
    return problem_ ? false : value->get<bool>();
  }
  // The string's text copied into `storage`.
  std::string_view string(std::string_view key, std::string& storage) {
    const Json* value = field(key);
    if (value == nullptr) return {};
    return text_of(key, *value, storage);
  }
  std::optional<std::string_view> optional_string(std::string_view key, std::string& storage) {
    const Json* value = field(key, true);
    if (value == nullptr) return std::nullopt;
    return text_of(key, *value, storage);
  }
  template <typename Enum>
  Enum enumeration(std::string_view key) {
    std::string word;
    string(key, word);
    if (problem_) return Enum{};
    const std::optional<Enum> value = from_wire<Enum>(word);
    if (!value) fail("unknown \"" + std::string(key) + "\" value \"" + word + "\"");
    return value.value_or(Enum{});
  }
  const Json& object() const { return object_; }
  const LoneSurrogates* restore() const { return restore_; }
  void fail(std::string problem) {
    if (!problem_) problem_ = std::move(problem);
  }
  const std::optional<std::string>& problem() const { return problem_; }

 private:
  std::string described(std::string_view key, std::string_view wanted) const {
    return "\"" + std::string(key) + "\"" + (where_.empty() ? "" : " in ") + std::string(where_) +
           " is not " + std::string(wanted);
  }
  std::string_view text_of(std::string_view key, const Json& value, std::string& storage) {
    if (!value.is_string()) {
      fail(described(key, "a string"));
      return {};
    }
    storage = value.get_ref<const std::string&>();
    if (restore_ != nullptr) restore_lone_surrogates(storage, *restore_);
    return storage;
  }

  const Json& object_;
  std::string_view where_;
  const LoneSurrogates* restore_;
  std::optional<std::string> problem_;
};

std::optional<NodeRecordIdentity> general_identity(ObjectReader& node) {
  const Json* value = node.field("identity", true);
  if (value == nullptr) return std::nullopt;
  if (!value->is_object()) {
    node.fail("\"identity\" is not an object");
    return std::nullopt;
  }
  ObjectReader identity(*value, "identity", node.restore());
  NodeRecordIdentity result;
  result.volume_serial = identity.number("volumeSerial");
  const Json* file_id = identity.field("fileId");
  if (file_id != nullptr) {
    bool valid = file_id->is_array() && file_id->size() == result.file_id.size();
    for (std::size_t i = 0; valid && i < result.file_id.size(); ++i) {
      const Json& byte = (*file_id)[i];
      valid = byte.is_number_unsigned() && byte.get<uint64_t>() <= 255;
      if (valid) result.file_id[i] = static_cast<uint8_t>(byte.get<uint64_t>());
    }
    if (!valid) identity.fail("\"fileId\" is not an array of 16 integers from 0 to 255");
  }
  if (identity.problem()) node.fail(*identity.problem());
  return result;
}

NodeRecordFlags general_flags(ObjectReader& node) {
  const Json* value = node.field("flags");
  if (value == nullptr) return {};
  if (!value->is_object()) {
    node.fail("\"flags\" is not an object");
    return {};
  }
  ObjectReader flags(*value, "flags", node.restore());
  NodeRecordFlags result{flags.boolean("cloudOnly"), flags.boolean("compressed"),
                         flags.boolean("sparse"), flags.boolean("deduplicated")};
  if (flags.problem()) node.fail(*flags.problem());
  return result;
}

DecodedNodeMessage general_node(ObjectReader& message, std::string& path,
                                std::string& link_target) {
  DecodedNodeMessage event;
  event.target_index = message.number("targetIndex");
  const Json* value = message.field("node");
  if (value == nullptr) return event;
  if (!value->is_object()) {
    message.fail("\"node\" is not an object");
    return event;
  }
  ObjectReader node(*value, "node", message.restore());
  DecodedNode& fields = event.node;
  fields.id = node.number("id");
  fields.parent_id = node.optional_number("parentId");
  fields.path = node.string("path", path);
  fields.kind = node.enumeration<NodeRecordKind>("kind");
  fields.logical_bytes = node.number("logicalBytes");
  fields.size_on_disk_bytes = node.number("sizeOnDiskBytes");
  fields.flags = general_flags(node);
  fields.identity = general_identity(node);
  fields.link_target = node.optional_string("linkTarget", link_target);
  fields.modified_at_epoch_seconds = node.number("modifiedAtEpochSeconds");
  if (node.problem()) message.fail(*node.problem());
  return event;
}

DecodedEventMessage general_progress(ObjectReader& message, std::string& path) {
  DecodedEventMessage decoded;
  DecodedProgress& event = decoded.progress;
  const Json* value = message.field("event");
  if (value == nullptr) return decoded;
  if (!value->is_object()) {
    message.fail("\"event\" is not an object");
    return decoded;
  }
  ObjectReader progress(*value, "event", message.restore());
  std::string type;
  progress.string("type", type);
  if (!progress.problem() && type != "progress")
    progress.fail("unknown event type \"" + type + "\"");
  event.target_index = progress.number("targetIndex");
  event.current_path = progress.string("currentPath", path);
  event.files_discovered = progress.number("filesDiscovered");
  event.folders_discovered = progress.number("foldersDiscovered");
  event.bytes_measured = progress.number("bytesMeasured");
  event.inaccessible_item_count = progress.number("inaccessibleItemCount");
  event.elapsed_millis = progress.number("elapsedMillis");
  event.status = progress.enumeration<ProgressStatus>("status");
  if (progress.problem()) message.fail(*progress.problem());
  return decoded;
}

DecodedMessage general_event(ObjectReader& message, std::string_view type, std::string& first,
                             std::string& second) {
  if (type == "node") return general_node(message, first, second);
  if (type == "event") return general_progress(message, first);
  if (type == "treeStart") {
    TreeStartMessage event{message.number("targetIndex"), std::nullopt};
    if (message.field("fileSystem", true) != nullptr) {
      event.file_system = message.enumeration<FileSystemKind>("fileSystem");
    }
    return event;
  }
  if (type == "treeEnd") return TreeEndMessage{message.number("targetIndex")};
  if (type == "targetUnavailable") return TargetUnavailableMessage{message.number("targetIndex")};
  if (type == "complete") return CompleteMessage{};
  if (type == "failure") return FailureMessage{message.string("message", second)};
  message.fail("unknown message type \"" + std::string(type) + "\"");
  return CompleteMessage{};
}

}  // namespace

bool MessageDecoder::decode_compact_node(std::string_view line, DecodedNodeMessage& event) {
  const auto length = fast_node(line, lone_surrogates_, path_text_, second_text_, event);
  return length && ends_line(line.substr(*length));
}

std::optional<std::size_t> MessageDecoder::decode_compact_node_at(std::string_view bytes,
                                                                  DecodedNodeMessage& event) {
  const auto length = fast_node(bytes, lone_surrogates_, path_text_, second_text_, event);
  if (!length) return std::nullopt;
  const std::string_view rest = bytes.substr(*length);
  if (rest.starts_with('\n')) return *length;
  if (rest.starts_with("\r\n")) return *length + 1;
  return std::nullopt;
}

tl::expected<DecodedMessage, std::string> MessageDecoder::decode(std::string_view line) {
  if (auto event = decode_compact(line, lone_surrogates_, path_text_, second_text_)) {
    return std::move(*event);
  }
  ++general_path_lines_;
  return decode_general(line);
}

tl::expected<DecodedMessage, std::string> MessageDecoder::decode_general(std::string_view line) {
  const bool hid = hide_lone_surrogates(line, hidden_line_);
  Json parsed;
  try {
    parsed = Json::parse(hid ? std::string_view(hidden_line_) : line);
  } catch (const Json::parse_error& error) {
    // what() reads "[json.exception.parse_error.101] parse error at ..."; keep the readable part.
    std::string_view text = error.what();
    const std::size_t start = text.find("] ");
    if (start != std::string_view::npos) text.remove_prefix(start + 2);
    return tl::unexpected(std::string(text));
  }
  if (!parsed.is_object()) return tl::unexpected(std::string("the message is not a JSON object"));
  ObjectReader message(parsed, "", hid ? &lone_surrogates_ : nullptr);
  std::string type;
  message.string("type", type);
  if (message.problem()) return tl::unexpected(*message.problem());
  DecodedMessage event = general_event(message, type, path_text_, second_text_);
  if (message.problem()) return tl::unexpected(*message.problem());
  return event;
}

}  // namespace ketterlin::elevation
