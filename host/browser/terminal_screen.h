// The full-screen terminal the browser draws on: what a frame is (runs of styled text at
// positions), the keys it reads, and the screen itself. terminal_screen_posix.cpp implements it
// with curses; terminal_screen_win32.cpp refuses.
//
// The screen owns the terminal from open() to its destruction: the destructor restores it
// (endwin, the signal handlers as they were), on every way out. SIGINT, SIGTERM and SIGHUP do
// not end the process while the screen is open: next_key() reports them as a key, so that the
// caller unwinds, the screen is restored and the process exits with 128 + the signal's number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace ketterlin::host {

enum class Style : uint8_t {
  Normal,
  Title,     // the top and bottom bars
  Selected,  // the row under the cursor
  Folder,
  Marked,  // links, mount points, restricted folders
  Dim,     // the Unknown Space, unavailable targets, hints
  Error,   // a failure on the bottom bar
  Dialog,  // a box drawn over the listing
};

// Text that starts at (row, column) and fits the screen's width; later runs are drawn over
// earlier ones.
struct Run {
  int row = 0;
  int column = 0;
  std::string text;  // UTF-8, printable
  Style style = Style::Normal;
};

struct Frame {
  std::vector<Run> runs;
};

struct Key {
  enum class Kind : uint8_t {
    Character,  // `value` is the character (ASCII)
    Up,
    Down,
    Left,
    Right,
    Enter,
    Backspace,
    Home,
    End,
    PageUp,
    PageDown,
    Escape,
    Resize,  // the terminal changed size
    Signal,  // `value` is the signal's number
  };
  Kind kind = Kind::Character;
  uint32_t value = 0;

  static Key character(char c) { return {Kind::Character, static_cast<unsigned char>(c)}; }
  friend bool operator==(const Key&, const Key&) = default;
};

struct TerminalError {
  enum class Kind : uint8_t {
    NoTerminal,   // standard input or output is not a terminal
    StartFailed,  // curses could not start on this terminal; `detail` is TERM
    Unsupported,  // no full-screen terminal support on this system
  };
  Kind kind = Kind::NoTerminal;
  std::string detail;
};

std::string to_string(const TerminalError& error);

struct ScreenSize {
  int columns = 80;
  int rows = 24;
};

class TerminalScreen {
 public:
  // Whether a screen could open here: standard input and output are terminals.
  [[nodiscard]] static tl::expected<void, TerminalError> check();
  [[nodiscard]] static tl::expected<TerminalScreen, TerminalError> open();

  TerminalScreen(TerminalScreen&& other) noexcept : open_(other.open_) { other.open_ = false; }
  TerminalScreen& operator=(TerminalScreen&&) = delete;
  ~TerminalScreen();

  ScreenSize size() const;
  void draw(const Frame& frame);
  // Waits for the next key, a change of size or one of the signals above.
  Key next_key();

 private:
  TerminalScreen() = default;
  bool open_ = false;
};

}  // namespace ketterlin::host
