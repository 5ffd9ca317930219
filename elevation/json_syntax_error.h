// Short, fixed texts for malformed JSON, derived from what the JSON library's parser reports.
// Internal to the protocol decoder.
#pragma once

#include <string_view>

#include "elevation/protocol.h"

namespace ketterlin::elevation {

// What the library reported about one malformed input.
struct SyntaxErrorReport {
  int exception_id = 0;           // the library exception's id (101 syntax, 406 out of range)
  std::string_view library_text;  // the library exception's what() text
  bool ran_past_end = false;      // the lexer asked for a byte beyond the input
  char last_byte = '\0';          // the last byte the lexer read (the offending one)
  char byte_before_token = '\0';  // last non-whitespace byte before that one's token, or 0
};

// The kind of syntax error, such as EofInValue, ExpectedColon or InvalidEscape; InvalidJson when
// the library's text has an unknown shape.
JsonErrorKind describe_syntax_error(const SyntaxErrorReport& report);

}  // namespace ketterlin::elevation
