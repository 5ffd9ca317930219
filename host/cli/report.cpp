#include "host/cli/report.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "host/cli/format.h"
#include "platform/os_string.h"
#include "storage/display_path.h"

namespace ketterlin::host {
namespace {

constexpr std::size_t kSizeColumn = 10;

// The bar's cells: 20, or fewer on a narrow terminal, so that names keep room.
std::size_t bar_width(std::size_t width) {
  if (width == 0 || width > 100) return 20;
  if (width > 80) return 15;
  if (width > 60) return 10;
  return 5;
}

// `parts` joined with ", " after `indent`, a new line (indented once more) started wherever the
// next part would reach `width` - 1 columns; a part longer than a line is cut in the middle.
// Width 0: one line.
std::string wrapped(std::string_view indent, const std::vector<std::string>& parts,
                    std::size_t width, bool unicode) {
  std::string out(indent);
  std::size_t used = text_width(indent);
  const std::size_t limit = width == 0 ? SIZE_MAX : width - 1;
  const std::string continued = std::string(indent) + "  ";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string piece = parts[i] + (i + 1 < parts.size() ? "," : "");
    const std::size_t separator = i == 0 ? 0 : 1;
    if (i > 0 && used + separator + text_width(piece) > limit) {
      out += "\n" + continued;
      used = text_width(continued);
    } else if (i > 0) {
      out += " ";
      used += 1;
    }
    const std::size_t room = limit > used ? limit - used : 1;
    const std::string shown =
        text_width(piece) > room ? shorten_middle(piece, room, unicode ? "…" : "...") : piece;
    out += shown;
    used += text_width(shown);
  }
  return out + "\n";
}

// One line of a folder's listing: a node, the Unknown Space of a volume, or the sum of the
// entries left out.
struct Entry {
  enum class Kind : uint8_t { Node, UnknownSpace, More };
  Kind kind = Kind::Node;
  NodeIndex node = kNoNode;
  uint64_t size = 0;
  uint64_t count = 0;  // entries summed in a More line
};

struct Style {
  const ReportOptions& options;
  std::string paint(std::string_view text, std::string_view code) const {
    if (!options.color || code.empty()) return std::string(text);
    return "\x1b[" + std::string(code) + "m" + std::string(text) + "\x1b[0m";
  }
};

uint64_t ranked_size(const ResultTree& tree, NodeIndex node, bool apparent) {
  const Sizes totals = tree.totals(node);
  return apparent ? totals.logical_bytes : totals.size_on_disk_bytes;
}

std::vector<Entry> listing(const ResultTree& tree, NodeIndex node,
                           std::optional<uint64_t> unknown_space, const ReportOptions& options) {
  std::vector<Entry> entries;
  for (const NodeIndex child : tree.children(node)) {
    entries.push_back({Entry::Kind::Node, child, ranked_size(tree, child, options.apparent), 0});
  }
  if (unknown_space && !options.apparent) {
    entries.push_back({Entry::Kind::UnknownSpace, kNoNode, *unknown_space, 0});
  }
  auto larger = [&tree](const Entry& a, const Entry& b) {
    if (a.size != b.size) return a.size > b.size;
    if (a.kind != b.kind) return a.kind < b.kind;
    return tree.name(a.node) < tree.name(b.node);
  };
  const std::size_t shown = std::min<std::size_t>(options.top, entries.size());
  std::partial_sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(shown),
                    entries.end(), larger);
  if (shown < entries.size()) {
    Entry more{Entry::Kind::More, kNoNode, 0, entries.size() - shown};
    for (std::size_t i = shown; i < entries.size(); ++i) more.size += entries[i].size;
    entries.resize(shown);
    entries.push_back(more);
  }
  return entries;
}

std::string share(uint64_t part, uint64_t whole) {
  const uint64_t percent =
      whole == 0 ? 0 : static_cast<uint64_t>(static_cast<long double>(part) * 100 / whole + 0.5L);
  std::string text = std::to_string(percent) + "%";
  return std::string(text.size() < 4 ? 4 - text.size() : 0, ' ') + text;
}

std::string right_aligned(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

// The colour of an entry of `kind`.
std::string_view kind_colour(NodeRecordKind kind) {
  switch (kind) {
    case NodeRecordKind::Drive:
    case NodeRecordKind::Folder:
      return "1;34";
    case NodeRecordKind::File:
      return "";
    case NodeRecordKind::Restricted:
      return "31";
    case NodeRecordKind::SymbolicLink:
    case NodeRecordKind::Junction:
    case NodeRecordKind::VolumeMountPoint:
    case NodeRecordKind::OtherLink:
      return "36";
  }
  return "";
}

// The entry's name with what kind of thing it is, and its colour.
std::pair<std::string, std::string> label(const ResultTree& tree, const Entry& entry) {
  if (entry.kind == Entry::Kind::UnknownSpace) return {"Unknown Space", "2"};
  if (entry.kind == Entry::Kind::More) {
    return {
        "(" + group_digits(entry.count) + " more " + (entry.count == 1 ? "entry" : "entries") + ")",
        "2"};
  }
  const NodeIndex node = entry.node;
  std::string text =
      entry_label(node == 0 ? display_root(tree.name(0)) : printable(tree.name(node)),
                  tree.kind(node), tree.link_target(node), tree.link_count(node),
                  tree.counted_elsewhere(node), tree.unmeasured(node));
  return {std::move(text),
          tree.unmeasured(node) ? std::string("31") : std::string(kind_colour(tree.kind(node)))};
}

class TreeWriter {
 public:
  TreeWriter(const ResultTree& tree, std::optional<uint64_t> unknown_space,
             const ReportOptions& options, std::string& out)
      : tree_(tree), unknown_space_(unknown_space), options_(options), style_{options}, out_(out) {}

  void write() {
    const uint64_t root_size = ranked_size(tree_, 0, options_.apparent) +
                               (options_.apparent ? 0 : unknown_space_.value_or(0));
    line(Entry{Entry::Kind::Node, 0, root_size, 0}, root_size, "");
    if (options_.depth == 0) return;
    // Depth-first with an explicit stack: trees can be far deeper than the call stack allows.
    struct Frame {
      std::vector<Entry> entries;
      std::size_t next = 0;
      uint64_t parent_size = 0;
      std::string prefix;
    };
    std::vector<Frame> stack;
    stack.push_back({listing(tree_, 0, unknown_space_, options_), 0, root_size, ""});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.entries.size()) {
        stack.pop_back();
        continue;
      }
      const Entry entry = frame.entries[frame.next++];
      const bool last = frame.next == frame.entries.size();
      line(entry, frame.parent_size, frame.prefix + branch(last));
      if (entry.kind == Entry::Kind::Node && tree_.is_container(entry.node) &&
          stack.size() < options_.depth) {
        std::string prefix = frame.prefix + continuation(last);
        stack.push_back(
            {listing(tree_, entry.node, std::nullopt, options_), 0, entry.size, std::move(prefix)});
      }
    }
  }

 private:
  std::string branch(bool last) const {
    if (options_.unicode) return last ? "└── " : "├── ";
    return last ? "`-- " : "|-- ";
  }
  std::string continuation(bool last) const {
    if (last) return "    ";
    return options_.unicode ? "│   " : "|   ";
  }

  void line(const Entry& entry, uint64_t parent_size, const std::string& prefix) {
    auto [name, colour] = label(tree_, entry);
    const std::string columns = right_aligned(human_size(entry.size), kSizeColumn) + " " +
                                share(entry.size, parent_size) + " ";
    const std::size_t cells = bar_width(options_.width);
    if (options_.width > 0) {
      // Below the width: writing the last column makes some terminals wrap.
      const std::size_t used = text_width(columns) + cells + 2 + text_width(prefix) + 1;
      const std::size_t room = options_.width > used + 3 ? options_.width - used : 3;
      name = shorten_middle(name, room, options_.unicode ? "…" : "...");
    }
    out_ += columns +
            style_.paint(share_bar(entry.size, parent_size, cells, options_.unicode), "32") + "  " +
            prefix + style_.paint(name, colour) + "\n";
  }

  const ResultTree& tree_;
  std::optional<uint64_t> unknown_space_;
  const ReportOptions& options_;
  Style style_;
  std::string& out_;
};

void write_totals(const ScanResult& result, std::size_t index, const ReportOptions& options,
                  std::string& out) {
  const TargetReport& report = result.reports[index];
  const ResultTree& tree = *report.tree;
  const Sizes totals = tree.totals(0);
  const TreeCounts& counts = tree.counts();
  std::vector<std::string> sizes = {"size on disk " + human_size(totals.size_on_disk_bytes),
                                    "logical size " + human_size(totals.logical_bytes),
                                    "folders' and links' own blocks not counted"};
  if (report.file_system) {
    std::string name(elevation::to_wire(*report.file_system));
    const bool named =
        index < result.file_system_names.size() && result.file_system_names[index].has_value();
    if (*report.file_system == storage::FileSystemKind::Other && named) {
      name = printable(*result.file_system_names[index]);
    }
    sizes.push_back("file system " + name);
  }
  out += wrapped("  ", sizes, options.width, options.unicode);
  std::vector<std::string> numbers = {
      count_of(counts.files, "file", "files"), count_of(counts.folders, "folder", "folders"),
      count_of(counts.links, "link", "links"), group_digits(counts.restricted) + " restricted"};
  if (counts.unmeasured > 0) numbers.push_back(group_digits(counts.unmeasured) + " not measured");
  if (counts.hard_link_groups > 0) {
    numbers.push_back(count_of(counts.hard_link_groups, "hard-linked file", "hard-linked files") +
                      " counted once");
  }
  out += wrapped("  ", numbers, options.width, options.unicode);
  if (const auto unknown = unknown_space_bytes(result, index)) {
    const bool measured =
        index < result.folder_bytes.size() && result.folder_bytes[index].has_value();
    const std::string folders =
        measured ? "folders' own blocks " + human_size(*result.folder_bytes[index]) + " of it"
                 : "folders' own blocks";
    out += wrapped("  ",
                   {"Unknown Space " + human_size(*unknown) + " (used on the volume " +
                        human_size(result.volume->used_bytes),
                    "not explained by the listed files: " + folders, "file-system metadata",
                    "what this user cannot read)"},
                   options.width, options.unicode);
  }
}

}  // namespace

std::string share_bar(uint64_t part, uint64_t whole, std::size_t cells, bool unicode) {
  if (cells == 0) return "";
  // Eighths of a cell, so that the Unicode bar can end in a partial block.
  const uint64_t eighths =
      whole == 0 ? 0 : static_cast<uint64_t>(static_cast<long double>(part) * cells * 8 / whole);
  const uint64_t full = std::min<uint64_t>(eighths / 8, cells);
  std::string text;
  if (!unicode) {
    text.append(full, '#');
    text.append(cells - full, '.');
    return text;
  }
  static constexpr const char* kPartial[] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉"};
  for (uint64_t i = 0; i < full; ++i) text += "█";
  std::size_t drawn = full;
  if (full < cells && eighths % 8 != 0) {
    text += kPartial[eighths % 8];
    ++drawn;
  }
  for (; drawn < cells; ++drawn) text += "░";
  return text;
}

std::string entry_label(std::string display_name, NodeRecordKind kind,
                        std::optional<std::string_view> link_target, uint32_t link_count,
                        bool counted_elsewhere, bool unmeasured) {
  const std::string target = printable(link_target.value_or(""));
  switch (kind) {
    case NodeRecordKind::Drive:
    case NodeRecordKind::Folder:
      return display_name;
    case NodeRecordKind::File:
      if (unmeasured) return display_name + " [!] not measured";
      if (link_count > 1) {
        display_name += " [hard link, " + std::to_string(link_count) + " names" +
                        (counted_elsewhere ? ", counted elsewhere]" : "]");
      }
      return display_name;
    case NodeRecordKind::Restricted:
      return display_name + " [restricted]";
    case NodeRecordKind::SymbolicLink:
      return display_name + " -> " + target;
    case NodeRecordKind::Junction:
      return display_name + " [junction] -> " + target;
    case NodeRecordKind::VolumeMountPoint:
      return display_name + " [mount point]" + (target.empty() ? "" : " -> " + target);
    case NodeRecordKind::OtherLink:
      return display_name + " [link]" + (target.empty() ? "" : " -> " + target);
  }
  return display_name;
}

std::string display_root(std::string_view root_path) {
  return printable(platform::to_utf8_lossy(storage::display_path(platform::from_utf8(root_path))));
}

std::string render_report(const ScanResult& result, const ReportOptions& options) {
  std::string out;
  const bool full_root = result.mode == elevation::ElevatedScanMode::FullRoot;
  const std::string_view ellipsis = options.unicode ? "…" : "...";
  const std::size_t limit = options.width == 0 ? SIZE_MAX : options.width - 1;
  const std::string took = " in " + human_duration(result.elapsed_millis);
  const std::string action =
      full_root ? "Scanned "
                : "Topped up " + count_of(result.targets.size(), "target", "targets") + " below ";
  const std::size_t fixed = text_width(action) + took.size();
  out += action +
         shorten_middle(display_root(result.root), limit > fixed ? limit - fixed : 3, ellipsis) +
         took + "\n";
  bool hint = false;
  for (std::size_t index = 0; index < result.reports.size(); ++index) {
    const TargetReport& report = result.reports[index];
    const std::string target = index < result.targets.size() ? result.targets[index] : "";
    out += "\n";
    if (!report.tree) {
      const bool known = index < result.target_problems.size() && result.target_problems[index];
      const std::string why =
          known ? ": unavailable, " + *result.target_problems[index] : ": unavailable";
      out += shorten_middle(display_root(target), limit > why.size() ? limit - why.size() : 3,
                            ellipsis) +
             why + "\n";
      continue;
    }
    out += shorten_middle(display_root(report.tree->name(0)), limit, ellipsis) + "\n";
    write_totals(result, index, options, out);
    out += "\n";
    TreeWriter(*report.tree, unknown_space_bytes(result, index), options, out).write();
    const TreeCounts& counts = report.tree->counts();
    hint = hint || counts.restricted > 0 || counts.unmeasured > 0;
  }
  if (hint && options.elevate_hint) {
    out += "\n";
    std::string line;
    // Word by word, so that a narrow terminal breaks it between words.
    for (const std::string_view word :
         {"run", "with", "--elevate", "to", "measure", "what", "this", "user", "cannot", "read"}) {
      if (!line.empty() && line.size() + 1 + word.size() > limit) {
        out += line + "\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + std::string(word);
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace ketterlin::host
