#include "host/exports/html_report.h"

#include <algorithm>
#include <array>
#include <numeric>

#include "host/cli/format.h"
#include "host/cli/report.h"
#include "host/exports/html_assets.h"
#include "platform/unicode.h"

namespace ketterlin::host::html {
namespace {

struct ExtensionCategory {
  std::string_view extension;
  Category category;
};

// Sorted by extension for binary search.
constexpr auto kExtensions = [] {
  using C = Category;
  auto table = std::to_array<ExtensionCategory>({
      {"3gp", C::Video},       {"7z", C::Archive},       {"a", C::Program},
      {"aac", C::Audio},       {"accdb", C::Data},       {"aiff", C::Audio},
      {"apk", C::Archive},     {"arw", C::Image},        {"asm", C::SourceCode},
      {"avi", C::Video},       {"avif", C::Image},       {"bat", C::SourceCode},
      {"bin", C::Program},     {"bmp", C::Image},        {"bz2", C::Archive},
      {"c", C::SourceCode},    {"cab", C::Archive},      {"cc", C::SourceCode},
      {"class", C::Program},   {"cmake", C::SourceCode}, {"com", C::Program},
      {"cpp", C::SourceCode},  {"cr2", C::Image},        {"cs", C::SourceCode},
      {"css", C::SourceCode},  {"csv", C::Data},         {"cxx", C::SourceCode},
      {"dat", C::Data},        {"db", C::Data},          {"deb", C::Archive},
      {"dll", C::Program},     {"dmg", C::DiskImage},    {"dng", C::Image},
      {"doc", C::Document},    {"docx", C::Document},    {"dylib", C::Program},
      {"elf", C::Program},     {"epub", C::Document},    {"exe", C::Program},
      {"flac", C::Audio},      {"flv", C::Video},        {"gif", C::Image},
      {"go", C::SourceCode},   {"gz", C::Archive},       {"h", C::SourceCode},
      {"hdf5", C::Data},       {"heic", C::Image},       {"heif", C::Image},
      {"hh", C::SourceCode},   {"hpp", C::SourceCode},   {"htm", C::Document},
      {"html", C::Document},   {"hxx", C::SourceCode},   {"ico", C::Image},
      {"img", C::DiskImage},   {"inc", C::SourceCode},   {"ipp", C::SourceCode},
      {"iso", C::DiskImage},   {"jar", C::Archive},      {"java", C::SourceCode},
      {"jpeg", C::Image},      {"jpg", C::Image},        {"js", C::SourceCode},
      {"json", C::Data},       {"jsonl", C::Data},       {"key", C::Document},
      {"kt", C::SourceCode},   {"ldb", C::Data},         {"lib", C::Program},
      {"log", C::Data},        {"lua", C::SourceCode},   {"lz", C::Archive},
      {"lz4", C::Archive},     {"lzma", C::Archive},     {"m", C::SourceCode},
      {"m4a", C::Audio},       {"m4v", C::Video},        {"md", C::Document},
      {"mdb", C::Data},        {"mid", C::Audio},        {"mkv", C::Video},
      {"mm", C::SourceCode},   {"mov", C::Video},        {"mp3", C::Audio},
      {"mp4", C::Video},       {"mpeg", C::Video},       {"mpg", C::Video},
      {"msi", C::Program},     {"nef", C::Image},        {"npy", C::Data},
      {"o", C::Program},       {"obj", C::Program},      {"odp", C::Document},
      {"ods", C::Document},    {"odt", C::Document},     {"ogg", C::Audio},
      {"opus", C::Audio},      {"ova", C::DiskImage},    {"parquet", C::Data},
      {"pdb", C::Program},     {"pdf", C::Document},     {"php", C::SourceCode},
      {"pl", C::SourceCode},   {"png", C::Image},        {"ppt", C::Document},
      {"pptx", C::Document},   {"ps1", C::SourceCode},   {"psd", C::Image},
      {"pst", C::Data},        {"py", C::SourceCode},    {"pyc", C::Program},
      {"qcow2", C::DiskImage}, {"rar", C::Archive},      {"rb", C::SourceCode},
      {"rpm", C::Archive},     {"rs", C::SourceCode},    {"rtf", C::Document},
      {"s", C::SourceCode},    {"sh", C::SourceCode},    {"so", C::Program},
      {"sql", C::Data},        {"sqlite", C::Data},      {"sqlite3", C::Data},
      {"svg", C::Image},       {"swift", C::SourceCode}, {"sys", C::Program},
      {"tar", C::Archive},     {"tcc", C::SourceCode},   {"tex", C::Document},
      {"tgz", C::Archive},     {"tif", C::Image},        {"tiff", C::Image},
      {"ts", C::SourceCode},   {"txt", C::Document},     {"vdi", C::DiskImage},
      {"vhd", C::DiskImage},   {"vhdx", C::DiskImage},   {"vmdk", C::DiskImage},
      {"wasm", C::Program},    {"wav", C::Audio},        {"webm", C::Video},
      {"webp", C::Image},      {"wim", C::DiskImage},    {"wma", C::Audio},
      {"wmv", C::Video},       {"xls", C::Document},     {"xlsx", C::Document},
      {"xml", C::Data},        {"xz", C::Archive},       {"yaml", C::Data},
      {"yml", C::Data},        {"zip", C::Archive},      {"zst", C::Archive},
  });
  std::sort(table.begin(), table.end(),
            [](const auto& a, const auto& b) { return a.extension < b.extension; });
  return table;
}();

constexpr std::size_t kLongestExtension = 8;

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::optional<Category> extension_category(std::string_view extension) {
  if (extension.empty() || extension.size() > kLongestExtension) return std::nullopt;
  std::array<char, kLongestExtension> buffer{};
  std::transform(extension.begin(), extension.end(), buffer.begin(), ascii_lower);
  const std::string_view lower(buffer.data(), extension.size());
  const auto found = std::lower_bound(
      kExtensions.begin(), kExtensions.end(), lower,
      [](const ExtensionCategory& entry, std::string_view key) { return entry.extension < key; });
  if (found == kExtensions.end() || found->extension != lower) return std::nullopt;
  return found->category;
}

// True for "libz.so.1" and "libz.so.1.2.13": ".so" followed by dotted numbers to the end.
bool is_versioned_shared_library(std::string_view name) {
  const std::size_t so = name.find(".so.");
  if (so == std::string_view::npos || so == 0) return false;
  const std::string_view version = name.substr(so + 4);
  return !version.empty() && version.back() != '.' &&
         version.find_first_not_of("0123456789.") == std::string_view::npos;
}

Category node_category(const ResultTree& tree, NodeIndex node) {
  switch (tree.kind(node)) {
    case NodeRecordKind::Drive:
      return Category::Drive;
    case NodeRecordKind::Folder:
      return Category::Folder;
    case NodeRecordKind::Restricted:
      return Category::Restricted;
    case NodeRecordKind::SymbolicLink:
    case NodeRecordKind::Junction:
    case NodeRecordKind::VolumeMountPoint:
    case NodeRecordKind::OtherLink:
      return Category::Link;
    case NodeRecordKind::File:
      return file_category(tree.name(node));
  }
  return Category::OtherFile;
}

std::string merged_name(uint64_t count) {
  return "(" + group_digits(count) + " more " + (count == 1 ? "entry" : "entries") + ")";
}

}  // namespace

std::vector<std::string_view> category_names() {
  std::vector<std::string_view> names(static_cast<std::size_t>(Category::Merged) + 1);
  auto set = [&](Category category, std::string_view name) {
    names[static_cast<std::size_t>(category)] = name;
  };
  set(Category::OtherFile, "Other files");
  set(Category::Image, "Images");
  set(Category::Video, "Video");
  set(Category::Audio, "Audio");
  set(Category::Archive, "Archives and packages");
  set(Category::Document, "Documents and text");
  set(Category::SourceCode, "Source code");
  set(Category::Program, "Programs and libraries");
  set(Category::DiskImage, "Disk images");
  set(Category::Data, "Data and logs");
  set(Category::Folder, "Folder");
  set(Category::Drive, "Drive");
  set(Category::Restricted, "Restricted folder");
  set(Category::Link, "Link");
  set(Category::UnknownSpace, "Unknown Space");
  set(Category::Merged, "Smaller entries");
  return names;
}

Category file_category(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) {
    if (const auto category = extension_category(name.substr(dot + 1))) return *category;
  }
  if (is_versioned_shared_library(name)) return Category::Program;
  return Category::OtherFile;
}

void append_packed(std::string& out, uint64_t value) {
  static constexpr std::string_view kLast = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef";
  static constexpr std::string_view kMore = "ghijklmnopqrstuvwxyz0123456789-_";
  while (value >= 32) {
    out.push_back(kMore[value & 31]);
    value >>= 5;
  }
  out.push_back(kLast[value]);
}

void append_script_string(std::string& out, std::string_view text) {
  std::string repaired;
  if (!platform::is_valid_utf8(text)) {
    repaired = platform::utf8_lossy(text);
    text = repaired;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  auto escape = [&](unsigned code) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(code >> shift) & 15]);
  };
  out.push_back('"');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '"' || byte == '\\') {
      out.push_back('\\');
      out.push_back(text[i]);
    } else if (byte < 0x20 || byte == '<' || byte == '>' || byte == '&') {
      escape(byte);
    } else if (byte == 0xE2 && i + 2 < text.size() && text[i + 1] == '\x80' &&
               (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      escape(text[i + 2] == '\xA8' ? 0x2028 : 0x2029);  // line and paragraph separators
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  out.push_back('"');
}

std::string escape_html(std::string_view text) {
  const std::string repaired = platform::utf8_lossy(text);
  std::string out;
  out.reserve(repaired.size());
  for (const char c : repaired) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

uint32_t NameTable::add(std::string_view name) {
  const auto [position, inserted] =
      indices_.try_emplace(std::string(name), static_cast<uint32_t>(names_.size()));
  if (inserted) names_.push_back(&position->first);
  return position->second;
}

namespace {

// Which entries of a tree over the budget stay: the highest by (size, earlier index first), as
// many as fit together with one "(n more)" node per kept folder that loses a child. A parent is
// never smaller than its child and comes before it, so the kept set holds every kept node's
// parent.
std::vector<uint8_t> choose_kept(const ResultTree& tree, const std::vector<uint64_t>& sizes,
                                 uint64_t budget) {
  const NodeIndex count = tree.size();
  std::vector<uint8_t> kept(count, 0);
  std::vector<NodeIndex> order(count);
  std::iota(order.begin(), order.end(), NodeIndex{0});
  std::sort(order.begin(), order.end(), [&](NodeIndex a, NodeIndex b) {
    return sizes[a] != sizes[b] ? sizes[a] > sizes[b] : a < b;
  });
  std::vector<uint32_t> missing(count, 0);  // children of a kept node not kept (yet)
  uint64_t used = 0;
  for (const NodeIndex node : order) {
    const NodeIndex parent = tree.parent(node);
    if (parent != kNoNode && !kept[parent]) continue;  // only when the totals break their rule
    const auto children = static_cast<uint32_t>(tree.children(node).size());
    uint64_t cost = 1 + (children > 0 ? 1 : 0);
    if (parent != kNoNode && missing[parent] == 1) --cost;  // its parent's "(n more)" goes
    if (used + cost > budget && node != 0) break;
    used += cost;
    kept[node] = 1;
    missing[node] = children;
    if (parent != kNoNode) --missing[parent];
  }
  return kept;
}

}  // namespace

namespace {

// Lists the kept nodes of a tree as page nodes in preorder, each node's page children (its kept
// children, its "(n more)" node and, for the root, the Unknown Space) largest first.
class PreorderLister {
 public:
  PreorderLister(const ResultTree& tree, const std::vector<uint64_t>& sizes,
                 const std::vector<uint8_t>& kept, bool apparent,
                 std::optional<uint64_t> unknown_space, std::string_view root_name,
                 NameTable& names)
      : tree_(tree),
        sizes_(sizes),
        kept_(kept),
        apparent_(apparent),
        unknown_space_(unknown_space),
        root_name_(root_name),
        names_(names) {}

  std::vector<PageNode> list() {
    std::vector<PageNode> nodes;
    std::vector<Item> pending{tree_item(0)};
    std::vector<Item> children;
    while (!pending.empty()) {
      Item item = std::move(pending.back());
      pending.pop_back();
      if (item.node != kNoNode) {
        page_children(item.node, children);
        item.page.child_count = static_cast<uint32_t>(children.size());
        pending.insert(pending.end(), children.rbegin(), children.rend());
      }
      nodes.push_back(item.page);
    }
    return nodes;
  }

 private:
  struct Item {
    NodeIndex node = kNoNode;  // kNoNode: a page node that is no tree node
    PageNode page;
  };

  // The other measure's size.
  uint64_t other(const Sizes& sizes) const {
    return apparent_ ? sizes.size_on_disk_bytes : sizes.logical_bytes;
  }

  // The Unknown Space holds on-disk bytes only.
  Sizes unknown() const { return {0, unknown_space_.value_or(0)}; }

  Item tree_item(NodeIndex node) {
    Item item{node, {}};
    item.page.name = names_.add(node == 0 ? root_name_ : tree_.name(node));
    item.page.category = node_category(tree_, node);
    item.page.size = sizes_[node];
    item.page.other_size = other(tree_.totals(node));
    if (node == 0) {
      item.page.size += apparent_ ? 0 : unknown().size_on_disk_bytes;
      item.page.other_size += other(unknown());
    }
    return item;
  }

  void page_children(NodeIndex node, std::vector<Item>& children) {
    children.clear();
    Item more{kNoNode, {}};
    uint64_t more_count = 0;
    for (const NodeIndex child : tree_.children(node)) {
      if (kept_[child]) {
        children.push_back(tree_item(child));
        continue;
      }
      ++more_count;
      more.page.size += sizes_[child];
      more.page.other_size += other(tree_.totals(child));
    }
    if (more_count > 0) {
      more.page.category = Category::Merged;
      more.page.name = names_.add(merged_name(more_count));
      children.push_back(more);
    }
    if (node == 0 && unknown_space_) {
      Item space{kNoNode, {}};
      space.page = {0, names_.add("Unknown Space"), Category::UnknownSpace,
                    apparent_ ? 0 : *unknown_space_, other(unknown())};
      children.push_back(space);
    }
    std::stable_sort(children.begin(), children.end(),
                     [](const Item& a, const Item& b) { return a.page.size > b.page.size; });
  }

  const ResultTree& tree_;
  const std::vector<uint64_t>& sizes_;
  const std::vector<uint8_t>& kept_;
  bool apparent_;
  std::optional<uint64_t> unknown_space_;
  std::string_view root_name_;
  NameTable& names_;
};

}  // namespace

PageTree build_page_tree(const ResultTree& tree, std::optional<uint64_t> unknown_space,
                         bool apparent, uint32_t budget, std::string_view root_name,
                         NameTable& names) {
  const NodeIndex count = tree.size();
  std::vector<uint64_t> sizes(count);
  for (NodeIndex node = 0; node < count; ++node) {
    const Sizes totals = tree.totals(node);
    sizes[node] = apparent ? totals.logical_bytes : totals.size_on_disk_bytes;
  }
  const uint64_t extra = unknown_space ? 1 : 0;  // the Unknown Space node
  PageTree page;
  page.entries = count + extra;
  const uint64_t room = std::max<uint64_t>(budget, 2 + extra);
  std::vector<uint8_t> kept;
  if (page.entries <= room) {
    kept.assign(count, 1);
  } else {
    kept = choose_kept(tree, sizes, room - extra);
  }
  page.nodes = PreorderLister(tree, sizes, kept, apparent, unknown_space, root_name, names).list();
  page.merged = static_cast<uint64_t>(std::count(kept.begin(), kept.end(), uint8_t{0}));
  return page;
}

}  // namespace ketterlin::host::html

namespace ketterlin::host {
namespace {

using html::append_packed;
using html::append_script_string;
using html::Category;

constexpr std::string_view kProgram = "ketterlin-scan";
constexpr std::string_view kVersion = "0.1.0";

// Text gathered in a buffer and handed to the stream in large pieces.
class PageOut {
 public:
  explicit PageOut(std::ostream& out) : out_(out) {}
  ~PageOut() { flush(); }
  std::string& buffer() { return buffer_; }
  PageOut& raw(std::string_view text) {
    buffer_.append(text);
    return maybe_flush();
  }
  PageOut& number(uint64_t value) { return raw(std::to_string(value)); }
  PageOut& string(std::string_view text) {
    append_script_string(buffer_, text);
    return maybe_flush();
  }
  PageOut& key(std::string_view name, bool first = false) {
    if (!first) buffer_.push_back(',');
    return string(name).raw(":");
  }
  PageOut& maybe_flush() {
    if (buffer_.size() >= (1 << 16)) flush();
    return *this;
  }
  void flush() {
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
  }

 private:
  std::ostream& out_;
  std::string buffer_;
};

// `name` of a scanned target below the request's root ("a/b" for "/r/a/b" below "/r").
std::string_view name_below_root(std::string_view root, std::string_view path) {
  if (!path.starts_with(root) || path.size() == root.size()) return path;
  std::string_view rest = path.substr(root.size());
  while (!rest.empty() && (rest.front() == '/' || rest.front() == '\\')) rest.remove_prefix(1);
  return rest.empty() ? path : rest;
}

struct PageData {
  html::NameTable names;
  std::vector<html::PageNode> nodes;
  uint64_t entries = 0;
  uint64_t merged = 0;
  TreeCounts counts;
  Sizes totals;
  std::optional<uint64_t> unknown_space;
  std::vector<std::string_view> unavailable;
  char separator = '/';
};

// One target's tree becomes the page's tree; several hang below one folder named after the
// request's root, each with an even share of the budget.
PageData collect(const ScanResult& result, const HtmlReportOptions& options) {
  PageData data;
  std::vector<std::size_t> scanned;
  for (std::size_t index = 0; index < result.reports.size(); ++index) {
    if (result.reports[index].tree) {
      scanned.push_back(index);
    } else {
      data.unavailable.push_back(index < result.targets.size()
                                     ? std::string_view(result.targets[index])
                                     : std::string_view());
    }
  }
  const bool one_tree = scanned.size() == 1;
  html::PageNode top{static_cast<uint32_t>(scanned.size()), 0, Category::Folder, 0, 0};
  if (!one_tree) {
    top.name = data.names.add(display_root(result.root));
    data.nodes.push_back(top);
  }
  // The folder above several targets takes one node of the budget.
  const uint32_t total = std::max<uint32_t>(options.node_budget, 2);
  const uint32_t budget = one_tree
                              ? total
                              : static_cast<uint32_t>(std::max<std::size_t>(
                                    2, (total - 1) / std::max<std::size_t>(1, scanned.size())));
  for (const std::size_t index : scanned) {
    const ResultTree& tree = *result.reports[index].tree;
    const std::optional<uint64_t> unknown = unknown_space_bytes(result, index);
    const std::string root_name = one_tree
                                      ? display_root(tree.name(0))
                                      : std::string(name_below_root(result.root, tree.name(0)));
    html::PageTree page =
        html::build_page_tree(tree, unknown, options.apparent, budget, root_name, data.names);
    data.entries += page.entries;
    data.merged += page.merged;
    top.size += page.nodes[0].size;
    top.other_size += page.nodes[0].other_size;
    data.nodes.insert(data.nodes.end(), page.nodes.begin(), page.nodes.end());
    const TreeCounts& counts = tree.counts();
    data.counts.files += counts.files;
    data.counts.folders += counts.folders;
    data.counts.links += counts.links;
    data.counts.restricted += counts.restricted;
    data.counts.hard_link_groups += counts.hard_link_groups;
    data.totals.logical_bytes += tree.totals(0).logical_bytes;
    data.totals.size_on_disk_bytes += tree.totals(0).size_on_disk_bytes;
    if (unknown) data.unknown_space = data.unknown_space.value_or(0) + *unknown;
    if (tree.path_style() == PathStyle::Windows) data.separator = '\\';
  }
  if (!one_tree) {
    // The folder that holds several targets: its sizes are theirs together.
    data.nodes[0].size = top.size;
    data.nodes[0].other_size = top.other_size;
  }
  return data;
}

void write_data(PageOut& out, const ScanResult& result, const HtmlReportOptions& options,
                const PageData& data) {
  out.raw("{").key("program", true).string(kProgram).key("version").string(kVersion);
  out.key("root").string(display_root(result.root));
  out.key("separator").string(std::string_view(&data.separator, 1));
  out.key("measure").string(options.apparent ? "logical" : "sizeOnDisk");
  out.key("elapsedMillis").number(result.elapsed_millis);
  out.key("entries").number(data.entries).key("shown").number(data.nodes.size());
  out.key("merged").number(data.merged).key("budget").number(options.node_budget);
  out.key("totals").raw("{").key("sizeOnDiskBytes", true).number(data.totals.size_on_disk_bytes);
  out.key("logicalBytes").number(data.totals.logical_bytes);
  out.key("files").number(data.counts.files).key("folders").number(data.counts.folders);
  out.key("links").number(data.counts.links).key("restricted").number(data.counts.restricted);
  out.key("hardLinkGroups").number(data.counts.hard_link_groups).key("unknownSpaceBytes");
  if (data.unknown_space) {
    out.number(*data.unknown_space);
  } else {
    out.raw("null");
  }
  out.raw("}").key("unavailable").raw("[");
  for (std::size_t i = 0; i < data.unavailable.size(); ++i) {
    out.raw(i > 0 ? "," : "").string(data.unavailable[i]);
  }
  out.raw("]").key("categories").raw("[");
  const auto categories = html::category_names();
  for (std::size_t i = 0; i < categories.size(); ++i) {
    out.raw(i > 0 ? "," : "").string(categories[i]);
  }
  out.raw("]").key("names").raw("[");
  const auto& names = data.names.names();
  for (std::size_t i = 0; i < names.size(); ++i) out.raw(i > 0 ? "," : "").string(*names[i]);
  out.raw("]").key("nodes").raw("\"");
  for (const html::PageNode& node : data.nodes) {
    std::string& buffer = out.buffer();
    append_packed(buffer, node.child_count);
    append_packed(buffer, node.name);
    append_packed(buffer, static_cast<uint64_t>(node.category));
    append_packed(buffer, node.size);
    append_packed(buffer, node.other_size);
    out.maybe_flush();
  }
  out.raw("\"}");
}

}  // namespace

void write_html_report(const ScanResult& result, const HtmlReportOptions& options,
                       std::ostream& out) {
  const PageData data = collect(result, options);
  PageOut page(out);
  // The template's markers, each replaced by its part.
  std::string_view rest = html::kPageTemplate;
  for (;;) {
    const std::size_t start = rest.find('@');
    const std::size_t end = start == std::string_view::npos ? start : rest.find('@', start + 1);
    if (end == std::string_view::npos) break;
    page.raw(rest.substr(0, start));
    const std::string_view marker = rest.substr(start + 1, end - start - 1);
    if (marker == "TITLE") {
      page.raw(html::escape_html(display_root(result.root) + " - ketterlin-scan"));
    } else if (marker == "STYLE") {
      page.raw(html::kPageStyle);
    } else if (marker == "DATA") {
      write_data(page, result, options, data);
    } else if (marker == "LAYOUT_LIBRARY") {
      page.raw(html::kLayoutLibrary);
    } else if (marker == "SCRIPT") {
      page.raw(html::kPageScript);
    } else {
      // Not a marker: the "@" is text, and the next one may open a marker.
      page.raw("@");
      rest.remove_prefix(start + 1);
      continue;
    }
    rest.remove_prefix(end + 1);
  }
  page.raw(rest);
}

}  // namespace ketterlin::host
