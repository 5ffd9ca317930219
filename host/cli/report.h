// The result as people read it: per target, the totals, then the largest folders and files as an
// indented tree with human sizes, each entry's share of its parent and a bar, in the manner of
// du -h and dust. Entries the helper could not measure carry "[!]" and are counted in the
// totals; sizes leave out folders' and links' own blocks, which the helper does not measure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/session/scan_result.h"

namespace ketterlin::host {

struct ReportOptions {
  unsigned depth = 2;     // levels shown below each target's root (0: the root line only)
  unsigned top = 10;      // largest entries shown per folder; the rest are summed in one line
  bool apparent = false;  // rank and show logical sizes instead of sizes on disk
  bool color = false;     // ANSI colours
  bool unicode = false;   // box-drawing tree and block bars instead of plain ASCII
  // The terminal's width: every line stays below it, names and the header cut to fit and, at 80
  // columns and below, the bars narrower. 0 leaves lines whole.
  std::size_t width = 0;
  // When anything was restricted or not measured, end with a hint to run with --elevate (off
  // when the helper already ran elevated).
  bool elevate_hint = true;
};

// The whole report, one line feed after every line.
std::string render_report(const ScanResult& result, const ReportOptions& options);

// A bar of `cells` cells filled in proportion to part / whole (empty when whole is 0): '#' and
// '.' in ASCII, full, partial and light blocks in Unicode.
std::string share_bar(uint64_t part, uint64_t whole, std::size_t cells, bool unicode);

// How a listing names an entry: `display_name` (already printable) followed by what kind of
// thing it is: " [restricted]", " -> TARGET" (symbolic link), " [junction] -> TARGET",
// " [mount point]" and " [link]" (each with " -> TARGET" when known), and for a file of a
// hard-link group " [hard link, N names]" or " [hard link, N names, counted elsewhere]", for a
// file whose metadata could not be read " [!] not measured". Folders and drives get no mark.
std::string entry_label(std::string display_name, NodeRecordKind kind,
                        std::optional<std::string_view> link_target, uint32_t link_count,
                        bool counted_elsewhere, bool unmeasured = false);

// How the root of a tree is shown: on Windows the familiar form of a verbatim path when that
// form designates the same folder (C:\Data for \\?\C:\Data), else the path as it stands;
// printable (format.h).
std::string display_root(std::string_view root_path);

}  // namespace ketterlin::host
