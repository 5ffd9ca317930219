// The browser's screen and keys: what each key does to the model (browser_model.h) and how the
// model is drawn into a frame of a given size (terminal_screen.h draws it). No terminal here.
//
// The screen: a title bar (what is shown, the size kind and the order), the folder's path, one
// row per entry (cursor mark, size, share of the folder, share bar, entries below, name with
// the report's marks), and a bottom bar with the folder's totals or the last message. Help,
// details and the delete confirmation are boxes drawn over the listing.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/browser/browser_model.h"
#include "host/browser/entry_remover.h"
#include "host/browser/terminal_screen.h"

namespace ketterlin::host {

struct BrowserSettings {
  bool allow_delete = false;
  // Deletes real files; nullptr when the trees were loaded from a saved document (deleting is
  // then refused). Must outlive the browser.
  EntryRemover* remover = nullptr;
  std::string origin;  // what the title bar says after the program's name: "scan", "FILE"
};

class Browser {
 public:
  Browser(BrowserModel& model, BrowserSettings settings);

  // Applies one key. Returns false once the user has asked to quit.
  bool handle(const Key& key);

  // The screen at this size (at least 1 x 1). Keeps the cursor's row in view.
  Frame render(int columns, int rows);

  // The message on the bottom bar, if any (for tests).
  const std::string& message() const { return message_; }

 private:
  enum class Dialog : uint8_t { None, Help, Details, ConfirmDelete };

  void handle_listing_key(const Key& key);
  void request_delete();
  void confirm_delete();
  std::string title_text(std::size_t width) const;
  std::string heading_text(std::size_t width) const;
  std::string bottom_text(std::size_t width) const;
  std::string row_text(const Row& row, int columns) const;
  Style row_style(const Row& row) const;
  // Moves the rows in view so that the cursor's is among them.
  void scroll_to_cursor(std::size_t page_rows);
  std::vector<std::string> details_lines() const;
  std::vector<std::string> confirm_lines() const;
  void draw_box(Frame& frame, const std::vector<std::string>& lines, int columns, int rows) const;

  BrowserModel& model_;
  BrowserSettings settings_;
  Dialog dialog_ = Dialog::None;
  std::string message_;
  bool message_is_error_ = false;
  std::size_t first_row_ = 0;  // the first row in view
  std::size_t page_rows_ = 1;  // rows in view at the last render
  Place shown_place_;          // the place of the last render
};

}  // namespace ketterlin::host
