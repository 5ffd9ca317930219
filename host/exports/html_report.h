// The scan as a page for the browser: one self-contained HTML file (style, scripts and data
// inline; nothing is fetched when it opens) that draws a squarified treemap of the tree, one
// rectangle per entry, area by size on disk (logical size with `apparent`), coloured by kind,
// with a breadcrumb, zoom into folders, hover details and tables of the largest folders and files.
// The layout is d3-hierarchy's treemap with treemapSquarify, embedded at build time.
//
// The tree travels compactly. The page's data is one JSON object in a
// <script type="application/json"> element:
//   {"program","version","root","separator","measure":"sizeOnDisk"|"logical","elapsedMillis",
//    "entries":N (entries scanned), "shown":N (nodes in the page), "merged":N (entries folded
//    into "(n more)" nodes), "budget":N, "totals":{...}, "unavailable":[PATH...],
//    "categories":[NAME...], "names":[TEXT...], "nodes":PACKED}
// `names` holds every distinct name once. `nodes` lists the page's nodes in preorder (each
// folder's children by size, largest first), each as five packed numbers: child count, index
// into `names`, category (Category below), size by the measure, size by the other measure. A
// packed number is written in base 32, least significant digit first, one character per digit
// from "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef" for the last digit and from
// "ghijklmnopqrstuvwxyz0123456789-_" for the others.
//
// Beyond the node budget, each folder's smallest entries are folded into one "(n more)" node:
// the page keeps the entries that rank highest by size (ties: the helper's order), which always
// includes every kept entry's parent, and as many as fit with the "(n more)" nodes they need.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/session/result_tree.h"
#include "host/session/scan_result.h"

namespace ketterlin::host {

struct HtmlReportOptions {
  bool apparent = false;           // area by logical size instead of size on disk
  uint32_t node_budget = 200'000;  // at most this many nodes in the page (at least 2)
};

// Writes the page. The stream's state tells whether every write succeeded.
void write_html_report(const ScanResult& result, const HtmlReportOptions& options,
                       std::ostream& out);

namespace html {

// What a node is drawn as. File categories come from the name's extension.
enum class Category : uint8_t {
  OtherFile = 0,
  Image,
  Video,
  Audio,
  Archive,
  Document,
  SourceCode,
  Program,    // executables, libraries, object files
  DiskImage,  // disk images and virtual machines
  Data,       // databases, logs, tables
  Folder = 16,
  Drive,
  Restricted,
  Link,  // symbolic links, junctions, mount points, other links
  UnknownSpace,
  Merged,  // "(n more)"
};

// The display names of the categories, indexed by their codes (gaps are empty).
std::vector<std::string_view> category_names();

// The category of a file named `name`, by its extension (the text after the last dot, in any
// letter case; a leading dot starts no extension). Shared-library names with a version after
// ".so" ("libz.so.1.2") count as programs.
Category file_category(std::string_view name);

// Appends `value` packed as the header describes.
void append_packed(std::string& out, uint64_t value);

// Appends `text` as a JSON string that is safe inside an HTML <script> element: ill-formed UTF-8
// becomes U+FFFD; the quotation mark, the backslash and control characters are escaped, and so
// are "<", ">", "&" (no "</script>" or "<!--" can form), U+2028 and U+2029.
void append_script_string(std::string& out, std::string_view text);

// `text` with "&", "<", ">", '"' and "'" as character references, ill-formed UTF-8 as U+FFFD.
std::string escape_html(std::string_view text);

// Distinct names, each given an index the first time it is added.
class NameTable {
 public:
  uint32_t add(std::string_view name);
  const std::vector<const std::string*>& names() const { return names_; }

 private:
  std::unordered_map<std::string, uint32_t> indices_;
  std::vector<const std::string*> names_;  // into indices_' keys, which never move
};

struct PageNode {
  uint32_t child_count = 0;
  uint32_t name = 0;  // index into the NameTable
  Category category = Category::OtherFile;
  uint64_t size = 0;        // by the chosen measure
  uint64_t other_size = 0;  // by the other one
};

struct PageTree {
  std::vector<PageNode> nodes;  // preorder, children largest first
  uint64_t entries = 0;         // entries of the tree (the Unknown Space node included)
  uint64_t merged = 0;          // entries of the tree that no page node shows on its own
};

// The page's nodes for `tree`: all of them when they fit in `budget` (the Unknown Space node,
// when `unknown_space` is set, counting as one), else the largest that fit with their "(n more)"
// nodes. The root is named `root_name`. A budget too small for the root, its "(n more)" node
// and the Unknown Space node counts as that much.
PageTree build_page_tree(const ResultTree& tree, std::optional<uint64_t> unknown_space,
                         bool apparent, uint32_t budget, std::string_view root_name,
                         NameTable& names);

}  // namespace html
}  // namespace ketterlin::host
