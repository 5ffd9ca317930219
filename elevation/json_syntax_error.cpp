// A syntax error is told apart by three facts: what the grammar allowed after the last event the
// parser delivered (the tracker's state, plus the one `:` or `,` the parser may have taken after
// that event), whether the lexer ran out of input, and the bytes of the token it stopped in. A
// string or number token that breaks its own grammar exactly at the last byte read is the lexer's
// error; any other token, whole or not (a stray byte, a cut literal), does not fit where it stands.
// Should the lexer ever stop where these grammars say it cannot, the error is InvalidJson.

#include "elevation/json_syntax_error.h"

#include <optional>

#include "platform/panic.h"

namespace ketterlin::elevation {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// The library's exception id for a number beyond the range of a double.
constexpr int kOutOfRangeId = 406;

bool is_whitespace(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}
bool is_digit(char byte) { return byte >= '0' && byte <= '9'; }

std::size_t skip_whitespace(std::string_view text, std::size_t at) {
  while (at < text.size() && is_whitespace(text[at])) ++at;
  return at;
}

int hex_value(char byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

// How many hex digits (at most 4) stand at `at`; `value` holds them when there are 4.
std::size_t hex_digits(std::string_view text, std::size_t at, unsigned& value) {
  value = 0;
  std::size_t count = 0;
  while (count < 4 && at + count < text.size() && hex_value(text[at + count]) >= 0) {
    value = value * 16 + static_cast<unsigned>(hex_value(text[at + count]));
    ++count;
  }
  return count;
}

bool is_leading_surrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trailing_surrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The bytes that continue a well-formed UTF-8 sequence after `lead`: how many, and the range of
// the first of them (the others lie in 0x80 to 0xBF). No continuation: `lead` starts no sequence.
struct Utf8Lead {
  std::size_t continuations = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
};

Utf8Lead utf8_lead(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF};
  if (lead == 0xE0) return {2, 0xA0, 0xBF};
  if (lead == 0xED) return {2, 0x80, 0x9F};  // no encoded surrogates
  if (lead >= 0xE1 && lead <= 0xEF) return {2, 0x80, 0xBF};
  if (lead == 0xF0) return {3, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {3, 0x80, 0xBF};
  if (lead == 0xF4) return {3, 0x80, 0x8F};  // nothing beyond U+10FFFF
  return {0, 0, 0};
}

// Where a string token (opening quote first) ends: at its closing quote (no problem) or at the
// first byte that breaks the string grammar (the problem). `at` is that byte's index, or at least
// the token's size when the token ends before either.
struct StringEnd {
  std::optional<JsonErrorKind> problem;
  std::size_t at = 0;
};

// The escape whose backslash stands at `at`: the problem, or no problem and the index after it.
StringEnd scan_escape(std::string_view token, std::size_t at) {
  const auto byte_at = [token](std::size_t i) { return i < token.size() ? token[i] : '\0'; };
  constexpr std::string_view kShortEscapes = "\"\\/bfnrt";
  const char letter = byte_at(at + 1);
  if (letter != 'u') {
    if (letter == '\0' || kShortEscapes.find(letter) == std::string_view::npos) {
      return {JsonErrorKind::InvalidEscape, at + 1};
    }
    return {std::nullopt, at + 2};
  }
  unsigned unit = 0;
  std::size_t digits = hex_digits(token, at + 2, unit);
  if (digits < 4) return {JsonErrorKind::InvalidEscape, at + 2 + digits};
  std::size_t last = at + 5;
  if (is_trailing_surrogate(unit)) return {JsonErrorKind::LoneTrailingSurrogate, last};
  if (is_leading_surrogate(unit)) {
    // The pair's second half must follow at once.
    if (byte_at(last + 1) != '\\') return {JsonErrorKind::LoneLeadingSurrogate, last + 1};
    if (byte_at(last + 2) != 'u') return {JsonErrorKind::LoneLeadingSurrogate, last + 2};
    digits = hex_digits(token, last + 3, unit);
    if (digits < 4) return {JsonErrorKind::InvalidEscape, last + 3 + digits};
    last += 6;
    if (!is_trailing_surrogate(unit)) return {JsonErrorKind::LoneLeadingSurrogate, last};
  }
  return {std::nullopt, last + 1};
}

StringEnd scan_string(std::string_view token) {
  std::size_t i = 1;
  while (i < token.size()) {
    const auto byte = static_cast<unsigned char>(token[i]);
    if (byte == '"') return {std::nullopt, i};
    if (byte < 0x20) return {JsonErrorKind::ControlCharacterInString, i};
    if (byte == '\\') {
      const StringEnd escape = scan_escape(token, i);
      if (escape.problem) return escape;
      i = escape.at;
      continue;
    }
    if (byte < 0x80) {
      ++i;
      continue;
    }
    const Utf8Lead lead = utf8_lead(byte);
    if (lead.continuations == 0) return {JsonErrorKind::InvalidUtf8InString, i};
    for (std::size_t k = 1; k <= lead.continuations; ++k) {
      const unsigned char low = k == 1 ? lead.low : 0x80;
      const unsigned char high = k == 1 ? lead.high : 0xBF;
      if (i + k >= token.size()) return {JsonErrorKind::InvalidUtf8InString, i + k};
      const auto next = static_cast<unsigned char>(token[i + k]);
      if (next < low || next > high) return {JsonErrorKind::InvalidUtf8InString, i + k};
    }
    i += 1 + lead.continuations;
  }
  return {std::nullopt, token.size()};
}

enum class NumberToken : uint8_t {
  Whole,             // the token is exactly one well-formed number
  BrokenAtLastByte,  // the number grammar refuses the token's last byte
  Other,
};

// Reads `token` (a minus sign or a digit first) as -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
NumberToken read_number(std::string_view token) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < token.size() && is_digit(token[i])) ++i;
    return i > start;
  };
  const auto refused = [&] {
    return i + 1 == token.size() ? NumberToken::BrokenAtLastByte : NumberToken::Other;
  };
  if (token[i] == '-') ++i;
  if (i < token.size() && token[i] == '0') {
    ++i;
  } else if (!digits()) {
    return refused();
  }
  if (i < token.size() && token[i] == '.') {
    ++i;
    if (!digits()) return refused();
  }
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    if (!digits()) return refused();
  }
  return i == token.size() ? NumberToken::Whole : NumberToken::Other;
}

}  // namespace

SyntaxTracker::SyntaxTracker(std::string_view frame)
    : frame_(frame), token_end_(frame.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0) {}

void SyntaxTracker::scalar(std::size_t read) { after_value(read); }

void SyntaxTracker::number(std::size_t read) {
  // A number ends with a digit, so a last byte that is none was read past it; so was any byte
  // when the frame goes on. A digit at the very end is taken as the number's own: when it was
  // read past a "0" instead, the parser's next token is that digit, which no grammar state after
  // a value accepts, and the error it gives is classified the same either way.
  const bool read_past = read < frame_.size() || (read > 0 && !is_digit(frame_[read - 1]));
  after_value(read_past ? read - 1 : read);
}

void SyntaxTracker::key(std::size_t read) {
  token_end_ = read;
  next_ = Next::Colon;
}

void SyntaxTracker::open(bool array, std::size_t read) {
  open_arrays_.push_back(array);
  token_end_ = read;
  next_ = array ? Next::Value : Next::Key;
}

void SyntaxTracker::close(std::size_t read) {
  platform::check(!open_arrays_.empty(), "JSON parser closed more than it opened");
  open_arrays_.pop_back();
  after_value(read);
}

void SyntaxTracker::after_value(std::size_t token_end) {
  token_end_ = token_end;
  // After the top-level value the parser reads nothing more; Value stands for that too.
  if (open_arrays_.empty()) {
    next_ = Next::Value;
  } else {
    next_ = open_arrays_.back() ? Next::Element : Next::Member;
  }
}

JsonErrorKind SyntaxTracker::classify(std::size_t position, int exception_id) const {
  if (exception_id == kOutOfRangeId) return JsonErrorKind::NumberOutOfRange;
  Next next = next_;
  std::size_t token_start = skip_whitespace(frame_, token_end_);
  if (token_start < frame_.size()) {
    const char byte = frame_[token_start];
    const bool colon = next == Next::Colon && byte == ':';
    const bool comma = (next == Next::Member || next == Next::Element) && byte == ',';
    if (colon || comma) {
      next = next == Next::Member ? Next::Key : Next::Value;
      token_start = skip_whitespace(frame_, token_start + 1);
    }
  }
  const bool string_token = token_start < frame_.size() && frame_[token_start] == '"';
  if (position > frame_.size()) {
    if (string_token) return JsonErrorKind::EofInString;
    switch (next) {
      case Next::Value:
        return JsonErrorKind::EofInValue;
      case Next::Element:
        return JsonErrorKind::EofInList;
      case Next::Key:
      case Next::Colon:
      case Next::Member:
        return JsonErrorKind::EofInObject;
    }
  }
  // The lexer checks a byte order mark before the first token: this is then the first error.
  if (frame_.starts_with('\xEF') && !frame_.starts_with(kByteOrderMark)) {
    return JsonErrorKind::InvalidByteOrderMark;
  }
  if (token_start < position) {
    const std::string_view token = frame_.substr(token_start, position - token_start);
    if (string_token) {
      const StringEnd end = scan_string(token);
      if (end.at + 1 != token.size()) return JsonErrorKind::InvalidJson;
      if (end.problem) return *end.problem;
    } else if (token.front() == '-' || is_digit(token.front())) {
      switch (read_number(token)) {
        case NumberToken::Whole:
          break;
        case NumberToken::BrokenAtLastByte:
          return JsonErrorKind::InvalidNumber;
        case NumberToken::Other:
          return JsonErrorKind::InvalidJson;
      }
    }
  }
  return misplaced_token(next, position);
}

// A token that does not fit where it stands (a byte that starts no token included).
JsonErrorKind SyntaxTracker::misplaced_token(Next next, std::size_t read) const {
  const bool closes = read > 0 && (frame_[read - 1] == ']' || frame_[read - 1] == '}');
  if (closes && read > 1) {
    const std::size_t before = frame_.find_last_not_of(" \t\n\r", read - 2);
    if (before != std::string_view::npos && frame_[before] == ',') {
      return JsonErrorKind::TrailingComma;
    }
  }
  switch (next) {
    case Next::Value:
      return JsonErrorKind::ExpectedValue;
    case Next::Key:
      return JsonErrorKind::KeyMustBeString;
    case Next::Colon:
      return JsonErrorKind::ExpectedColon;
    case Next::Member:
      return JsonErrorKind::ExpectedCommaOrBrace;
    case Next::Element:
      return JsonErrorKind::ExpectedCommaOrBracket;
  }
  platform::panic("syntax tracker state out of range");
}

}  // namespace ketterlin::elevation
