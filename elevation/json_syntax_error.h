// The kind of a malformed JSON text, from where the JSON library's parser stood when it stopped
// and the bytes it had read, never from the library's message texts. Internal to the protocol
// decoder.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "elevation/protocol.h"

namespace ketterlin::elevation {

// Follows the parser through the SAX events it delivers for one frame: which arrays and objects
// are open, what the grammar allows next, and where the last token delivered ended. Each event
// takes `read`, the number of bytes the parser had taken from the frame when it delivered it.
// Feed it the parser's events only, in order (not replayed ones).
class SyntaxTracker {
 public:
  explicit SyntaxTracker(std::string_view frame);

  void scalar(std::size_t read);  // null, true, false or a string
  // An integer or other number. The lexer reads one byte past a number before it hands it over,
  // unless the frame ends there.
  void number(std::size_t read);
  void key(std::size_t read);
  void open(bool array, std::size_t read);
  void close(std::size_t read);

  // The syntax error the parser reported after the last event: `position` counts the bytes its
  // lexer asked for, one past the end included when it ran out; `exception_id` is the library
  // exception's id (406 for a number beyond the range of a double). InvalidJson when the bytes
  // read do not show what went wrong.
  JsonErrorKind classify(std::size_t position, int exception_id) const;

 private:
  // What the grammar allows after the last event.
  enum class Next : uint8_t {
    Value,    // a value: at the top, after `[` or after `,` in an array (`]` too after `[`)
    Key,      // a key: after `{` (`}` too) or after `,` in an object
    Colon,    // `:` after a key
    Member,   // `,` or `}` after a value in an object
    Element,  // `,` or `]` after a value in an array
  };

  void after_value(std::size_t token_end);
  JsonErrorKind misplaced_token(Next next, std::size_t read) const;

  std::string_view frame_;
  std::vector<bool> open_arrays_;  // one per open array (true) or object (false), outermost first
  Next next_ = Next::Value;
  std::size_t token_end_ = 0;  // one past the last byte of the last token delivered
};

}  // namespace ketterlin::elevation
