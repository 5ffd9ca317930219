// The helper's messages as the host reads them: one decoded value per line, its texts as UTF-8
// views that stay valid until the next line is decoded.
//
// Decoding has two paths. The fast path reads the exact compact form the helper writes (keys in
// their fixed order, no whitespace) without building anything; a line it does not recognise in
// every detail goes to the general path, which parses it with nlohmann::json and accepts any key
// order, whitespace and unknown keys. The general path alone decides what is malformed, so both
// accept exactly the same lines and give the same values. Node lines, nearly every line of a run,
// can also be read by the fast path alone straight into a reused DecodedNodeMessage, even before
// the line has been split off the bytes that hold it (decode_compact_node, decode_compact_node_at).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <tl/expected.hpp>

#include "elevation/protocol.h"

namespace ketterlin::elevation {

// The helper's messages as the host reads them: every text a UTF-8 view.
using DecodedProgress = BasicTargetProgress<std::string_view>;
using DecodedNode = BasicNodeRecord<std::string_view>;
using DecodedEventMessage = BasicEventMessage<std::string_view>;
using DecodedNodeMessage = BasicNodeMessage<std::string_view>;
using DecodedMessage = BasicHelperMessage<std::string_view>;

// What a path's lone surrogate escapes (written by a helper asked for lossless paths) stand for.
enum class LoneSurrogates : uint8_t {
  Bytes,  // a POSIX helper's: \udc80 to \udcff are the bytes 0x80 to 0xFF of a name that is not
          // UTF-8; any other lone surrogate becomes its WTF-8 form
  Units,  // a Windows helper's: each is an unpaired UTF-16 unit, kept in its WTF-8 form (three
          // bytes, ED A0 80 to ED BF BF), as the host's UTF-8 text holds such names
};

// Decodes helper lines. Reuses its buffers from line to line: after warm-up, decoding a line in
// the helper's compact form allocates nothing. Not thread-safe.
class MessageDecoder {
 public:
  explicit MessageDecoder(LoneSurrogates lone_surrogates = LoneSurrogates::Bytes)
      : lone_surrogates_(lone_surrogates) {}

  // Decodes one line (without its line feed; a final carriage return is whitespace). The views
  // in the result point into `line` or into this decoder and stay valid until the next call.
  // Strings are UTF-8, except where a lone surrogate escape stood (see LoneSurrogates). Fails
  // with a short description of the problem (JSON syntax, a missing or mistyped key, an unknown
  // "type" or enumeration word, a number outside 0..2^64-1, invalid UTF-8).
  [[nodiscard]] tl::expected<DecodedMessage, std::string> decode(std::string_view line);

  // The same, through the general path only (for tests and benchmarks).
  [[nodiscard]] tl::expected<DecodedMessage, std::string> decode_general(std::string_view line);

  // The fast path for a node line alone, straight into `event` (every field is set, the views as
  // for decode): true when `line` is a node line in the helper's compact form. False says nothing
  // about the line (`event` is then unspecified): decode() reads it.
  [[nodiscard]] bool decode_compact_node(std::string_view line, DecodedNodeMessage& event);

  // The same for the line at the front of `bytes`, which need not have been split off: its
  // length (line feed not included) when it is a node line in the compact form and its line
  // feed follows within `bytes`; what comes after the line feed plays no part.
  [[nodiscard]] std::optional<std::size_t> decode_compact_node_at(std::string_view bytes,
                                                                  DecodedNodeMessage& event);

  // Lines the fast path did not take since construction.
  uint64_t general_path_lines() const { return general_path_lines_; }

 private:
  LoneSurrogates lone_surrogates_;
  std::string path_text_;
  std::string second_text_;  // a link target or a failure text
  std::string hidden_line_;  // the line given to the JSON library, lone surrogates hidden
  uint64_t general_path_lines_ = 0;
};

}  // namespace ketterlin::elevation
