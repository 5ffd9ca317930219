#include "elevation/json_syntax_error.h"

#include <array>
#include <utility>

namespace ketterlin::elevation {
namespace {

// The library's syntax error texts read "...: syntax error while parsing <context> - <detail>",
// where <detail> is either "unexpected <token>[; expected <token>]" or the lexer's own problem
// followed by "; last read: '<bytes>'[; expected <token>]".
struct LibraryText {
  std::string_view context;
  std::string_view lexer_problem;  // empty when the parser met an unexpected token
};

LibraryText split_library_text(std::string_view text) {
  constexpr std::string_view kContextMarker = "while parsing ";
  constexpr std::string_view kDetailMarker = " - ";
  constexpr std::string_view kUnexpected = "unexpected ";
  LibraryText parts;
  const std::size_t detail_at = text.find(kDetailMarker);
  if (detail_at == std::string_view::npos) return parts;
  const std::size_t context_at = text.rfind(kContextMarker, detail_at);
  if (context_at != std::string_view::npos) {
    const std::size_t start = context_at + kContextMarker.size();
    parts.context = text.substr(start, detail_at - start);
  }
  const std::string_view detail = text.substr(detail_at + kDetailMarker.size());
  if (!detail.starts_with(kUnexpected)) parts.lexer_problem = detail.substr(0, detail.find(';'));
  return parts;
}

// Lexer problems about one token, by the beginning of the library's wording.
constexpr std::array<std::pair<std::string_view, JsonErrorKind>, 8> kLexerProblems{{
    {"invalid string: control character", JsonErrorKind::ControlCharacterInString},
    {"invalid string: ill-formed UTF-8", JsonErrorKind::InvalidUtf8InString},
    {"invalid string: forbidden character after backslash", JsonErrorKind::InvalidEscape},
    {"invalid string: '\\u' must be followed", JsonErrorKind::InvalidEscape},
    {"invalid string: surrogate U+D800..U+DBFF", JsonErrorKind::LoneLeadingSurrogate},
    {"invalid string: surrogate U+DC00..U+DFFF", JsonErrorKind::LoneTrailingSurrogate},
    {"invalid number", JsonErrorKind::InvalidNumber},
    {"invalid BOM", JsonErrorKind::InvalidByteOrderMark},
}};

JsonErrorKind describe_end_of_input(const LibraryText& parts) {
  if (parts.lexer_problem.starts_with("invalid string")) return JsonErrorKind::EofInString;
  if (parts.context.starts_with("object")) return JsonErrorKind::EofInObject;
  if (parts.context == "array") return JsonErrorKind::EofInList;
  return JsonErrorKind::EofInValue;
}

// A token that does not fit where it stands (the lexer's "invalid literal" included: a byte
// that starts no token).
JsonErrorKind describe_misplaced_token(const LibraryText& parts, const SyntaxErrorReport& report) {
  const bool closes = report.last_byte == ']' || report.last_byte == '}';
  if (closes && report.byte_before_token == ',') return JsonErrorKind::TrailingComma;
  if (parts.context == "object key") return JsonErrorKind::KeyMustBeString;
  if (parts.context == "object separator") return JsonErrorKind::ExpectedColon;
  if (parts.context == "object") return JsonErrorKind::ExpectedCommaOrBrace;
  if (parts.context == "array") return JsonErrorKind::ExpectedCommaOrBracket;
  return JsonErrorKind::ExpectedValue;
}

}  // namespace

JsonErrorKind describe_syntax_error(const SyntaxErrorReport& report) {
  constexpr int kOutOfRangeId = 406;
  if (report.exception_id == kOutOfRangeId) return JsonErrorKind::NumberOutOfRange;
  const LibraryText parts = split_library_text(report.library_text);
  if (parts.context.empty()) return JsonErrorKind::InvalidJson;
  if (report.ran_past_end) return describe_end_of_input(parts);
  for (const auto& [prefix, description] : kLexerProblems) {
    if (parts.lexer_problem.starts_with(prefix)) return description;
  }
  return describe_misplaced_token(parts, report);
}

}  // namespace ketterlin::elevation
