// The live progress line on standard error: redrawn in place on a terminal (carriage return,
// the line, clear to the end of the line; the cursor hidden from the first line until clear())
// at most every 100 ms; a plain line at most once a
// second when standard error is a file or a pipe; nothing when switched off. For several targets
// the line starts with "[i/n] ".
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "elevation/message_decoder.h"

namespace ketterlin::host {

using elevation::ProgressStatus;

class ProgressDisplay {
 public:
  enum class Mode : uint8_t { Off, Terminal, Plain };
  using Clock = std::chrono::steady_clock;
  using Sink = std::function<void(std::string_view)>;

  // `width` is the terminal's width; 0 (no terminal, or its width unknown) means 80 columns in
  // Terminal mode and 120 in Plain mode (a file, a pipe, or a dumb terminal of that width).
  // `unicode`: a terminal path is shortened with "…" rather than "...".
  ProgressDisplay(Mode mode, std::size_t width, std::size_t target_count, bool unicode, Sink sink,
                  std::function<Clock::time_point()> now = Clock::now);

  // Shows `progress` unless a line was shown too recently; a target's first and final
  // ("completed", "cancelled", "failed") events are always shown.
  void update(const elevation::DecodedProgress& progress);

  // Removes the terminal line and shows the cursor again, so that other text can follow
  // (nothing in the other modes, or when no line was shown).
  void clear();

 private:
  Mode mode_;
  std::size_t width_;
  std::size_t target_count_;
  bool unicode_;
  Sink sink_;
  std::function<Clock::time_point()> now_;
  Clock::time_point last_shown_{};
  uint64_t last_target_ = UINT64_MAX;
  bool line_shown_ = false;
};

}  // namespace ketterlin::host
