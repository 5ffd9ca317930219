#include "host/browser/browser_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "host/cli/format.h"
#include "host/cli/report.h"
#include "host/exports/exports.h"

namespace ketterlin::host {
namespace {

constexpr std::size_t kSizeColumn = 10;

std::string right_aligned(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

// `text` cut or padded with spaces to exactly `width` columns.
std::string fitted(std::string_view text, std::size_t width) {
  std::string cut = cut_to_width(text, width);
  cut.append(width - std::min(width, text_width(cut)), ' ');
  return cut;
}

std::string percent(uint64_t part, uint64_t whole) {
  const double share =
      whole == 0 ? 0.0 : static_cast<double>(part) * 100.0 / static_cast<double>(whole);
  char text[16];
  std::snprintf(text, sizeof text, "%5.1f%%", std::min(share, 100.0));
  return text;
}

std::string_view sort_name(SortKey key, bool reversed) {
  switch (key) {
    case SortKey::Size:
      return reversed ? "size, smallest first" : "size, largest first";
    case SortKey::Name:
      return reversed ? "name, Z to A" : "name, A to Z";
    case SortKey::Items:
      return reversed ? "items, fewest first" : "items, most first";
    case SortKey::Modified:
      return reversed ? "modified, oldest first" : "modified, newest first";
  }
  return "";
}

std::string_view kind_word(NodeRecordKind kind) {
  switch (kind) {
    case NodeRecordKind::Drive:
      return "drive";
    case NodeRecordKind::Folder:
      return "folder";
    case NodeRecordKind::File:
      return "file";
    case NodeRecordKind::Restricted:
      return "restricted folder (could not be listed)";
    case NodeRecordKind::SymbolicLink:
      return "symbolic link";
    case NodeRecordKind::Junction:
      return "junction";
    case NodeRecordKind::VolumeMountPoint:
      return "mount point";
    case NodeRecordKind::OtherLink:
      return "link";
  }
  return "";
}

std::string utc_time(uint64_t epoch_seconds) {
  using namespace std::chrono;
  // Year 9999 at most, so that the calendar types hold it.
  const auto seconds_since = static_cast<int64_t>(std::min<uint64_t>(epoch_seconds, 253402300799));
  const sys_seconds at{seconds(seconds_since)};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{at - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld:%02ld UTC",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<long>(time.hours().count()),
                static_cast<long>(time.minutes().count()),
                static_cast<long>(time.seconds().count()));
  return text;
}

std::string size_line(std::string_view label, uint64_t bytes) {
  return std::string(label) + human_size(bytes) + " (" + group_digits(bytes) + " bytes)";
}

std::string flags_text(const NodeRecordFlags& flags) {
  std::string text;
  auto word = [&text](bool set, std::string_view name) {
    if (!set) return;
    if (!text.empty()) text += ", ";
    text += name;
  };
  word(flags.cloud_only, "cloud only");
  word(flags.compressed, "compressed");
  word(flags.sparse, "sparse");
  word(flags.deduplicated, "deduplicated");
  return text.empty() ? "none" : text;
}

const std::vector<std::string>& help_lines() {
  static const std::vector<std::string> lines = {
      "Keys",
      "",
      "up, down, PgUp, PgDn, Home, End   move",
      "right, Enter                      open a folder",
      "left, Backspace                   the folder above",
      "s  n  c  m   sort by size, name, items, modified",
      "             (the same key again reverses)",
      "a            size on disk / logical size",
      "i            details of the entry",
      "d            delete the entry (--allow-delete)",
      "q            quit",
      "?            this help",
      "",
      "any key closes this box",
  };
  return lines;
}

}  // namespace

Browser::Browser(BrowserModel& model, BrowserSettings settings)
    : model_(model), settings_(std::move(settings)), shown_place_(model.place()) {}

bool Browser::handle(const Key& key) {
  if (key.kind == Key::Kind::Resize) return true;
  message_.clear();
  message_is_error_ = false;
  switch (dialog_) {
    case Dialog::Help:
    case Dialog::Details:
      dialog_ = Dialog::None;
      return true;
    case Dialog::ConfirmDelete:
      dialog_ = Dialog::None;
      if (key == Key::character('y') || key == Key::character('Y')) {
        confirm_delete();
      } else {
        message_ = "nothing deleted";
      }
      return true;
    case Dialog::None:
      break;
  }
  if (key == Key::character('q')) return false;
  handle_listing_key(key);
  return true;
}

void Browser::handle_listing_key(const Key& key) {
  const auto page = static_cast<std::ptrdiff_t>(page_rows_);
  switch (key.kind) {
    case Key::Kind::Up:
      model_.move_cursor(-1);
      return;
    case Key::Kind::Down:
      model_.move_cursor(1);
      return;
    case Key::Kind::PageUp:
      model_.move_cursor(-page);
      return;
    case Key::Kind::PageDown:
      model_.move_cursor(page);
      return;
    case Key::Kind::Home:
      model_.move_to(0);
      return;
    case Key::Kind::End:
      model_.move_to(model_.rows().size());
      return;
    case Key::Kind::Right:
    case Key::Kind::Enter:
      model_.open_selected();
      return;
    case Key::Kind::Left:
    case Key::Kind::Backspace:
      model_.go_up();
      return;
    case Key::Kind::Character:
      break;
    case Key::Kind::Escape:
    case Key::Kind::Resize:
    case Key::Kind::Signal:
      return;
  }
  switch (key.value) {
    case 'k':
      model_.move_cursor(-1);
      break;
    case 'j':
      model_.move_cursor(1);
      break;
    case 'l':
      model_.open_selected();
      break;
    case 'h':
    case '<':
      model_.go_up();
      break;
    case 's':
      model_.sort(SortKey::Size);
      break;
    case 'n':
      model_.sort(SortKey::Name);
      break;
    case 'c':
      model_.sort(SortKey::Items);
      break;
    case 'm':
      model_.sort(SortKey::Modified);
      break;
    case 'a':
      model_.toggle_apparent();
      break;
    case 'i':
      if (model_.selected() != nullptr) dialog_ = Dialog::Details;
      break;
    case 'd':
      request_delete();
      break;
    case '?':
      dialog_ = Dialog::Help;
      break;
    default:
      message_ = "press ? for the keys";
      break;
  }
}

void Browser::request_delete() {
  const Row* row = model_.selected();
  auto refuse = [this](const BrowseError& error) {
    message_ = to_string(error);
    message_is_error_ = true;
  };
  if (settings_.remover == nullptr)
    return refuse(BrowseError{BrowseError::Kind::SavedDocument, "", {}});
  if (!settings_.allow_delete) return refuse(BrowseError{BrowseError::Kind::DeletionOff, "", {}});
  if (row == nullptr) return refuse(BrowseError{});
  if (auto deletable = model_.check_deletable(*row); !deletable) return refuse(deletable.error());
  dialog_ = Dialog::ConfirmDelete;
}

void Browser::confirm_delete() {
  const Row row = *model_.selected();
  const std::string what = model_.path(row);
  const std::string size = human_size(model_.size(row));
  auto deleted = model_.delete_selected(*settings_.remover);
  if (!deleted) {
    message_ = to_string(deleted.error());
    message_is_error_ = true;
    return;
  }
  message_ = "deleted " + what + " (" + size + ")";
}

std::string Browser::row_text(const Row& row, int columns) const {
  const uint64_t size = model_.size(row);
  const uint64_t whole = model_.place_size();
  std::string text =
      right_aligned(human_size(size), kSizeColumn) + " " + percent(size, whole) + " ";
  if (columns >= 60) text += "[" + share_bar(size, whole, columns >= 120 ? 20 : 10, false) + "] ";
  const std::size_t items_width =
      std::max<std::size_t>(5, group_digits(model_.place_items()).size());
  text += model_.is_folder(row) ? right_aligned(group_digits(model_.items(row)), items_width)
                                : std::string(items_width, ' ');
  text += "  ";
  const std::size_t used = text_width(text) + 1;
  const std::size_t room = static_cast<std::size_t>(columns) > used + 4 ? columns - used : 4;
  return text + shorten_middle(model_.label(row), room);
}

std::vector<std::string> Browser::details_lines() const {
  const Row& row = *model_.selected();
  std::vector<std::string> lines;
  lines.push_back(model_.label(row));
  lines.push_back("");
  if (row.kind == Row::Kind::UnknownSpace) {
    lines.push_back("used space of the volume that the listed files do not explain");
    lines.push_back(size_line("size on disk  ", model_.sizes(row).size_on_disk_bytes));
    return lines;
  }
  lines.push_back("path          " + model_.path(row));
  const BrowseTarget& target = model_.targets()[row.target];
  if (target.tree == nullptr) {
    lines.push_back("kind          target, unavailable (not a folder that could be scanned)");
    return lines;
  }
  const BrowseTree& tree = *target.tree;
  const NodeIndex node = row.kind == Row::Kind::Target ? 0 : row.node;
  lines.push_back("kind          " + std::string(kind_word(tree.kind(node))));
  const Sizes sizes = model_.sizes(row);
  lines.push_back(size_line("size on disk  ", sizes.size_on_disk_bytes));
  lines.push_back(size_line("logical size  ", sizes.logical_bytes));
  if (model_.is_folder(row)) lines.push_back("entries below " + group_digits(model_.items(row)));
  lines.push_back("modified      " + utc_time(tree.modified_at(node)));
  if (const auto identity = tree.identity(node)) {
    lines.push_back("identity      volume " + std::to_string(identity->volume_serial) + ", file " +
                    std::to_string(ncdu_inode(*identity)));
  } else {
    lines.push_back(std::string("identity      ") +
                    (settings_.remover == nullptr ? "not kept in a saved document" : "none"));
  }
  if (tree.link_count(node) > 1) {
    lines.push_back("hard link     " + std::to_string(tree.link_count(node)) + " names, counted " +
                    (tree.counted_elsewhere(node) ? "at another name" : "here"));
  } else {
    lines.push_back("hard link     no");
  }
  if (const auto link = tree.link_target(node))
    lines.push_back("link target   " + printable(*link));
  lines.push_back("flags         " + flags_text(tree.flags(node)));
  lines.push_back("");
  lines.push_back("any key closes this box");
  return lines;
}

std::vector<std::string> Browser::confirm_lines() const {
  const Row& row = *model_.selected();
  const Sizes sizes = model_.sizes(row);
  std::vector<std::string> lines = {"Delete " + model_.path(row) + "?", ""};
  std::string what = std::string(kind_word(model_.kind(row))) + ", " +
                     human_size(sizes.size_on_disk_bytes) + " on disk, " +
                     human_size(sizes.logical_bytes) + " logical";
  if (model_.is_folder(row)) what += ", " + group_digits(model_.items(row)) + " entries below";
  lines.push_back(what);
  lines.push_back("");
  lines.push_back("y: delete (this cannot be undone)   any other key: keep");
  return lines;
}

void Browser::draw_box(Frame& frame, const std::vector<std::string>& lines, int columns,
                       int rows) const {
  std::size_t widest = 0;
  for (const std::string& line : lines) widest = std::max(widest, text_width(line));
  const int width = std::min(columns, static_cast<int>(widest) + 4);
  const int height = std::min(rows, static_cast<int>(lines.size()) + 2);
  if (width < 4 || height < 2) return;
  const int top = (rows - height) / 2;
  const int left = (columns - width) / 2;
  const auto inner = static_cast<std::size_t>(width - 4);
  const std::string border = "+" + std::string(static_cast<std::size_t>(width - 2), '-') + "+";
  frame.runs.push_back({top, left, border, Style::Dialog});
  for (int i = 0; i + 2 < height; ++i) {
    const std::string& line = lines[static_cast<std::size_t>(i)];
    frame.runs.push_back({top + 1 + i, left,
                          "| " + fitted(shorten_middle(line, inner), inner) + " |", Style::Dialog});
  }
  frame.runs.push_back({top + height - 1, left, border, Style::Dialog});
}

std::string Browser::title_text(std::size_t width) const {
  const std::string left = " ketterlin-scan " + settings_.origin;
  const std::string right = std::string(model_.apparent() ? "logical size" : "size on disk") +
                            " | " + std::string(sort_name(model_.sort_key(), model_.reversed())) +
                            " | ?: keys ";
  const std::size_t used = text_width(left) + text_width(right);
  return fitted(left + std::string(width > used ? width - used : 1, ' ') + right, width);
}

std::string Browser::heading_text(std::size_t width) const {
  const std::string place = model_.place().target == Place::kTargets
                                ? std::to_string(model_.targets().size()) + " targets"
                                : model_.place_path();
  const std::string heading = "--- " + shorten_middle(place, width > 10 ? width - 10 : 1) + " ";
  return heading + std::string(width - std::min(width, text_width(heading)), '-');
}

std::string Browser::bottom_text(std::size_t width) const {
  if (!message_.empty()) return fitted(" " + message_, width);
  const Sizes totals = model_.place_sizes();
  std::string text = " on disk " + human_size(totals.size_on_disk_bytes) + "   logical " +
                     human_size(totals.logical_bytes) + "   items " +
                     group_digits(model_.place_items());
  if (settings_.remover == nullptr) text += "   (loaded, read-only)";
  return fitted(text, width);
}

Style Browser::row_style(const Row& row) const {
  if (row.kind == Row::Kind::UnknownSpace ||
      (row.kind == Row::Kind::Target && model_.targets()[row.target].tree == nullptr)) {
    return Style::Dim;
  }
  if (model_.is_folder(row)) return Style::Folder;
  return model_.kind(row) == NodeRecordKind::File ? Style::Normal : Style::Marked;
}

void Browser::scroll_to_cursor(std::size_t page_rows) {
  page_rows_ = page_rows;
  const std::size_t count = model_.rows().size();
  const std::size_t cursor = model_.cursor();
  // A folder entered or left again shows its cursor (the folder come from) mid-screen.
  if (!(shown_place_ == model_.place())) {
    first_row_ = cursor > page_rows / 2 ? cursor - page_rows / 2 : 0;
  }
  shown_place_ = model_.place();
  if (cursor < first_row_) first_row_ = cursor;
  if (cursor >= first_row_ + page_rows) first_row_ = cursor + 1 - page_rows;
  // No empty rows below the last entry while entries above are out of view.
  if (count < first_row_ + page_rows) first_row_ = count > page_rows ? count - page_rows : 0;
}

Frame Browser::render(int columns, int rows) {
  Frame frame;
  const auto width = static_cast<std::size_t>(std::max(columns, 1));
  if (columns < 30 || rows < 5) {
    frame.runs.push_back({0, 0, cut_to_width("terminal too small", width), Style::Normal});
    return frame;
  }
  frame.runs.push_back({0, 0, title_text(width), Style::Title});
  frame.runs.push_back({1, 0, heading_text(width), Style::Normal});
  scroll_to_cursor(static_cast<std::size_t>(rows - 3));
  const std::vector<Row>& listed = model_.rows();
  if (listed.empty()) frame.runs.push_back({2, 0, "   (empty folder)", Style::Dim});
  for (std::size_t i = 0; i < page_rows_ && first_row_ + i < listed.size(); ++i) {
    const Row& row = listed[first_row_ + i];
    const bool selected = first_row_ + i == model_.cursor();
    const std::string text = (selected ? ">" : " ") + row_text(row, columns);
    frame.runs.push_back({static_cast<int>(2 + i), 0, selected ? fitted(text, width) : text,
                          selected ? Style::Selected : row_style(row)});
  }
  frame.runs.push_back(
      {rows - 1, 0, bottom_text(width), message_is_error_ ? Style::Error : Style::Title});
  switch (dialog_) {
    case Dialog::Help:
      draw_box(frame, help_lines(), columns, rows);
      break;
    case Dialog::Details:
      draw_box(frame, details_lines(), columns, rows);
      break;
    case Dialog::ConfirmDelete:
      draw_box(frame, confirm_lines(), columns, rows);
      break;
    case Dialog::None:
      break;
  }
  return frame;
}

}  // namespace ketterlin::host
