// The screen on curses (ncursesw, for UTF-8 names). One screen at a time: curses keeps its state
// in globals, and so do the signal handlers.
#include <curses.h>
#include <langinfo.h>
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

#include "host/browser/terminal_screen.h"

namespace ketterlin::host {
namespace {

volatile sig_atomic_t g_signal = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];
SCREEN* g_screen = nullptr;

extern "C" void remember_signal(int number) { g_signal = number; }

void restore_signals() {
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &g_previous[i], nullptr);
  }
}

enum Pair : short { kFolderPair = 1, kMarkedPair, kErrorPair };

attr_t attributes(Style style) {
  const bool colour = has_colors();
  switch (style) {
    case Style::Normal:
      return A_NORMAL;
    case Style::Title:
    case Style::Selected:
      return A_REVERSE;
    case Style::Folder:
      return A_BOLD | (colour ? COLOR_PAIR(kFolderPair) : 0);
    case Style::Marked:
      return colour ? COLOR_PAIR(kMarkedPair) : A_NORMAL;
    case Style::Dim:
      return A_DIM;
    case Style::Error:
      return A_REVERSE | A_BOLD | (colour ? COLOR_PAIR(kErrorPair) : 0);
    case Style::Dialog:
      return A_NORMAL;
  }
  return A_NORMAL;
}

}  // namespace

tl::expected<void, TerminalError> TerminalScreen::check() {
  if (isatty(STDIN_FILENO) != 1 || isatty(STDOUT_FILENO) != 1) {
    return tl::unexpected(TerminalError{TerminalError::Kind::NoTerminal, ""});
  }
  return {};
}

tl::expected<TerminalScreen, TerminalError> TerminalScreen::open() {
  if (auto checked = check(); !checked) return tl::unexpected(checked.error());
  // Names are UTF-8; curses counts their columns only under a UTF-8 locale.
  std::setlocale(LC_ALL, "");
  if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
  // Installed before curses starts, so that curses leaves these signals to us.
  g_signal = 0;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    struct sigaction action {};
    action.sa_handler = remember_signal;
    sigemptyset(&action.sa_mask);
    sigaction(kSignals[i], &action, &g_previous[i]);
  }
  // newterm, unlike initscr, returns on a terminal it does not know instead of exiting.
  g_screen = newterm(nullptr, stdout, stdin);
  if (g_screen == nullptr) {
    restore_signals();
    const char* term = std::getenv("TERM");
    return tl::unexpected(
        TerminalError{TerminalError::Kind::StartFailed, term == nullptr ? "" : term});
  }
  set_term(g_screen);
  cbreak();  // keys one by one; ^C still sends SIGINT
  noecho();
  keypad(stdscr, TRUE);
  nonl();
  curs_set(0);
  set_escdelay(25);
  // Short waits, so that a signal caught between two keys is seen soon.
  timeout(200);
  if (has_colors()) {
    start_color();
    use_default_colors();
    init_pair(kFolderPair, COLOR_BLUE, -1);
    init_pair(kMarkedPair, COLOR_CYAN, -1);
    init_pair(kErrorPair, COLOR_RED, -1);
  }
  TerminalScreen screen;
  screen.open_ = true;
  return screen;
}

TerminalScreen::~TerminalScreen() {
  if (!open_) return;
  endwin();
  delscreen(g_screen);
  g_screen = nullptr;
  restore_signals();
}

ScreenSize TerminalScreen::size() const {
  int rows = 0;
  int columns = 0;
  getmaxyx(stdscr, rows, columns);
  return {columns, rows};
}

void TerminalScreen::draw(const Frame& frame) {
  erase();
  for (const Run& run : frame.runs) {
    attrset(attributes(run.style));
    // The bottom-right cell makes curses report an error after drawing it; nothing is lost.
    mvaddstr(run.row, run.column, run.text.c_str());
  }
  attrset(A_NORMAL);
  refresh();
}

Key TerminalScreen::next_key() {
  for (;;) {
    if (g_signal != 0) return {Key::Kind::Signal, static_cast<uint32_t>(g_signal)};
    const int code = getch();
    switch (code) {
      case ERR:
        continue;
      case KEY_UP:
        return {Key::Kind::Up};
      case KEY_DOWN:
        return {Key::Kind::Down};
      case KEY_LEFT:
        return {Key::Kind::Left};
      case KEY_RIGHT:
        return {Key::Kind::Right};
      case KEY_ENTER:
      case '\n':
      case '\r':
        return {Key::Kind::Enter};
      case KEY_BACKSPACE:
      case 127:
      case 8:
        return {Key::Kind::Backspace};
      case KEY_HOME:
        return {Key::Kind::Home};
      case KEY_END:
        return {Key::Kind::End};
      case KEY_PPAGE:
        return {Key::Kind::PageUp};
      case KEY_NPAGE:
        return {Key::Kind::PageDown};
      case KEY_RESIZE:
        // Leaving and entering the screen again sets the terminal up for its new size (the
        // scrolling region among others); tmux otherwise lets later boxes leak into the
        // terminal's own screen.
        endwin();
        refresh();
        return {Key::Kind::Resize};
      case 27:
        return {Key::Kind::Escape};
      default:
        if (code > 0 && code < 128) return Key::character(static_cast<char>(code));
        continue;
    }
  }
}

}  // namespace ketterlin::host
