// Oracle checks for the fuzz targets. A violated check prints what broke, the input (escaped) and
// any detail on standard error, then aborts: libFuzzer saves the input as a crash, and the corpus
// replay fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace ketterlin::fuzz {

// `bytes` as one printable line: printable ASCII as it is (backslash doubled), anything else as
// \xNN.
inline std::string escaped(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line;
  for (const char byte : bytes) {
    const auto code = static_cast<unsigned char>(byte);
    if (byte == '\\') {
      line += "\\\\";
    } else if (code >= 0x20 && code < 0x7F) {
      line += byte;
    } else {
      line += "\\x";
      line += kHex[code >> 4];
      line += kHex[code & 0xF];
    }
  }
  return line;
}

// Reports a broken oracle and aborts.
[[noreturn]] inline void fail(std::string_view what, std::string_view input,
                              std::string_view detail = {}) {
  std::fprintf(stderr, "oracle violated: %.*s\n  input:  \"%s\"\n", static_cast<int>(what.size()),
               what.data(), escaped(input).c_str());
  if (!detail.empty()) std::fprintf(stderr, "  detail: \"%s\"\n", escaped(detail).c_str());
  std::abort();
}

// Aborts through fail() unless `condition` holds.
inline void check(bool condition, std::string_view what, std::string_view input,
                  std::string_view detail = {}) {
  if (!condition) fail(what, input, detail);
}

// The fuzz input as text.
inline std::string_view as_text(const uint8_t* data, std::size_t size) {
  return size == 0 ? std::string_view()
                   : std::string_view(reinterpret_cast<const char*>(data), size);
}

}  // namespace ketterlin::fuzz
