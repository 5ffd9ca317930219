// No full-screen browser on Windows yet: the console would need its own screen implementation.
#include "host/browser/terminal_screen.h"

namespace ketterlin::host {

tl::expected<void, TerminalError> TerminalScreen::check() {
  return tl::unexpected(TerminalError{TerminalError::Kind::Unsupported, ""});
}

tl::expected<TerminalScreen, TerminalError> TerminalScreen::open() {
  return tl::unexpected(TerminalError{TerminalError::Kind::Unsupported, ""});
}

TerminalScreen::~TerminalScreen() = default;

ScreenSize TerminalScreen::size() const { return {}; }

void TerminalScreen::draw(const Frame&) {}

Key TerminalScreen::next_key() { return {Key::Kind::Signal, 2}; }

}  // namespace ketterlin::host
