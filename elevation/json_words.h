// Eight bytes of JSON text at a time: the word tests that the encoder and the decoder share to
// skip the plain runs of long strings. Internal to the protocol.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ketterlin::elevation::json_words {

inline constexpr uint64_t kEveryByte = 0x0101010101010101ULL;
inline constexpr uint64_t kLowBits = 0x7F7F7F7F7F7F7F7FULL;
inline constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// The high bit of each byte of `word` that is below `limit` (1 to 0x80), no other bit. Exact in
// every byte (no carry crosses into the next one), so it serves either byte order.
inline uint64_t bytes_below(uint64_t word, uint8_t limit) {
  return ~(((word & kLowBits) + kEveryByte * (0x80 - limit)) | word) & kHighBits;
}

// The index of the first byte in memory among those whose high bit `flags` holds (not 0).
inline std::size_t first_flagged(uint64_t flags) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(flags)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(flags)) / 8;
  }
}

// The eight bytes at `text`, in memory order.
inline uint64_t load(const char* text) {
  uint64_t word = 0;
  std::memcpy(&word, text, sizeof word);
  return word;
}

// The bytes of `word` that end a string's plain text: the high bit of each quotation mark,
// backslash and control character.
inline uint64_t string_stops(uint64_t word) {
  return bytes_below(word ^ (kEveryByte * '"'), 1) | bytes_below(word ^ (kEveryByte * '\\'), 1) |
         bytes_below(word, 0x20);
}

// The length of the front of `text` (`size` bytes) that a JSON string holds as it is and that is
// ASCII: up to the first quotation mark, backslash, control character or byte above 0x7F.
// Sixteen bytes at a time with the compiler's portable vectors (GCC and Clang), which become the
// machine's own 16-byte instructions; then eight, then one.
inline std::size_t ascii_run(const char* text, std::size_t size) {
  using Block = signed char __attribute__((vector_size(16)));
  std::size_t at = 0;
  for (; size - at >= 16; at += 16) {
    Block block;
    std::memcpy(&block, text + at, sizeof block);
    // Signed, a byte above 0x7F is below zero: one comparison finds it and the controls.
    const Block stops = (block == '"') | (block == '\\') | (block < 0x20);
    uint64_t halves[2];
    std::memcpy(halves, &stops, sizeof halves);
    if ((halves[0] | halves[1]) != 0) {
      return at + (halves[0] != 0 ? first_flagged(halves[0] & kHighBits)
                                  : 8 + first_flagged(halves[1] & kHighBits));
    }
  }
  for (; size - at >= 8; at += 8) {
    const uint64_t word = load(text + at);
    if (const uint64_t stops = string_stops(word) | (word & kHighBits); stops != 0) {
      return at + first_flagged(stops);
    }
  }
  for (; at < size; ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '"' || byte == '\\' || byte < 0x20 || byte > 0x7F) break;
  }
  return at;
}

}  // namespace ketterlin::elevation::json_words
