#include "host/cli/progress_display.h"

#include "host/cli/format.h"

namespace ketterlin::host {

ProgressDisplay::ProgressDisplay(Mode mode, std::size_t width, std::size_t target_count,
                                 bool unicode, Sink sink, std::function<Clock::time_point()> now)
    : mode_(mode),
      width_(width != 0 ? width : (mode == Mode::Plain ? 120 : 80)),
      target_count_(target_count),
      unicode_(unicode),
      sink_(std::move(sink)),
      now_(std::move(now)) {}

void ProgressDisplay::update(const elevation::DecodedProgress& progress) {
  if (mode_ == Mode::Off) return;
  const Clock::time_point now = now_();
  const bool first = progress.target_index != last_target_;
  const bool final = progress.status == ProgressStatus::Completed ||
                     progress.status == ProgressStatus::Cancelled ||
                     progress.status == ProgressStatus::Failed;
  const auto interval =
      mode_ == Mode::Terminal ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
  if (!first && !final && now - last_shown_ < interval) return;
  last_shown_ = now;
  last_target_ = progress.target_index;
  std::string prefix;
  if (target_count_ > 1) {
    prefix = "[" + std::to_string(progress.target_index + 1) + "/" + std::to_string(target_count_) +
             "] ";
  }
  // The terminal line stays one column short of the width: writing the last column makes some
  // terminals wrap.
  const std::size_t room = width_ - 1 > prefix.size() ? width_ - 1 - prefix.size() : 0;
  const std::string text =
      prefix + progress_line(progress, room, mode_ == Mode::Terminal && unicode_ ? "…" : "...");
  if (mode_ == Mode::Terminal) {
    sink_((line_shown_ ? "\r" : "\x1b[?25l\r") + text + "\x1b[K");
    line_shown_ = true;
  } else {
    sink_(text + "\n");
  }
}

void ProgressDisplay::clear() {
  if (mode_ != Mode::Terminal || !line_shown_) return;
  sink_("\r\x1b[K\x1b[?25h");
  line_shown_ = false;
}

}  // namespace ketterlin::host
