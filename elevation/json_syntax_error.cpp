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
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kLexerProblems{{
    {"invalid string: control character", "control character in string"},
    {"invalid string: ill-formed UTF-8", "invalid UTF-8 in string"},
    {"invalid string: forbidden character after backslash", "invalid escape"},
    {"invalid string: '\\u' must be followed", "invalid escape"},
    {"invalid string: surrogate U+D800..U+DBFF", "lone leading surrogate in hex escape"},
    {"invalid string: surrogate U+DC00..U+DFFF", "lone trailing surrogate in hex escape"},
    {"invalid number", "invalid number"},
    {"invalid BOM", "invalid byte order mark"},
}};

std::string_view describe_end_of_input(const LibraryText& parts) {
  if (parts.lexer_problem.starts_with("invalid string")) return "EOF while parsing a string";
  if (parts.context.starts_with("object")) return "EOF while parsing an object";
  if (parts.context == "array") return "EOF while parsing a list";
  return "EOF while parsing a value";
}

// A token that does not fit where it stands (the lexer's "invalid literal" included: a byte
// that starts no token).
std::string_view describe_misplaced_token(const LibraryText& parts,
                                          const SyntaxErrorReport& report) {
  const bool closes = report.last_byte == ']' || report.last_byte == '}';
  if (closes && report.byte_before_token == ',') return "trailing comma";
  if (parts.context == "object key") return "key must be a string";
  if (parts.context == "object separator") return "expected `:`";
  if (parts.context == "object") return "expected `,` or `}`";
  if (parts.context == "array") return "expected `,` or `]`";
  return "expected value";
}

}  // namespace

std::string_view describe_syntax_error(const SyntaxErrorReport& report) {
  constexpr int kOutOfRangeId = 406;
  if (report.exception_id == kOutOfRangeId) return "number out of range";
  const LibraryText parts = split_library_text(report.library_text);
  if (parts.context.empty()) return "invalid JSON";
  if (report.ran_past_end) return describe_end_of_input(parts);
  for (const auto& [prefix, description] : kLexerProblems) {
    if (parts.lexer_problem.starts_with(prefix)) return description;
  }
  return describe_misplaced_token(parts, report);
}

}  // namespace ketterlin::elevation
