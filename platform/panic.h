// Broken internal invariants. A panic stops the thread on which it happens: its text and a line
// feed go to standard error and a ThreadPanic unwinds to the thread's entry point, which ends the
// thread quietly (a scan thread that panics therefore ends without delivering an outcome).
// Panics are for programming errors only; every expected failure is an error value.
#pragma once

#include <string>
#include <string_view>

namespace ketterlin::platform {

// What a panic throws. Only thread entry points and fault barriers catch it.
struct ThreadPanic {
  std::string text;
};

// Writes `text` and "\n" to standard error and throws ThreadPanic{text}.
[[noreturn]] void panic(std::string_view text);

// Panics with `text` unless `condition` holds.
inline void check(bool condition, std::string_view text) {
  if (!condition) panic(text);
}

}  // namespace ketterlin::platform
