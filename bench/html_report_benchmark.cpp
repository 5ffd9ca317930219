// What the HTML report costs for a drive-sized tree: a synthetic scan (folders of 8 to 24
// entries, one in eight a folder, names of 6 to 24 characters with common extensions, file sizes
// spread over many orders of magnitude) rebuilt as the host rebuilds it, then written as a page.
//
// Printed: the time to write the page, its size in bytes and per entry, and its node count. The
// page is left at PATH, to be timed in a browser, for example (one line):
//   time chromium --headless --no-sandbox --disable-gpu --user-data-dir=$(mktemp -d)
//     --dump-dom "file://PATH" | grep -o 'data-[a-z]*-millis="[0-9]*"'
// (the page notes when its script started, when the data was decoded and when the first view
// was drawn, in milliseconds since the navigation started).
//
// Usage: html_report_benchmark PATH [entry count] [--apparent] [--budget N]
//   (default: 1,000,000 entries, the writer's default node budget)
#include <time.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/exports/html_report.h"

namespace {

using ketterlin::elevation::DecodedNode;
using ketterlin::host::NodeRecordKind;

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Breadth first, as the helper adds a folder's entries together.
ketterlin::host::ResultTree drive_tree(uint64_t count) {
  static constexpr const char* kExtensions[] = {".txt", ".jpg", ".png", ".mp4", ".mp3",  ".pdf",
                                                ".cpp", ".h",   ".js",  ".so",  ".dll",  ".zip",
                                                ".gz",  ".log", ".db",  "",     ".json", ".iso"};
  std::mt19937_64 random(7);
  ketterlin::host::TreeBuilder builder(ketterlin::host::PathStyle::Posix);
  struct Folder {
    uint64_t id;
    std::string path;
  };
  std::deque<Folder> folders{{0, "/drive"}};
  DecodedNode root;
  root.id = 0;
  root.path = "/drive";
  root.kind = NodeRecordKind::Drive;
  if (!builder.add(root)) std::abort();
  uint64_t next_id = 1;
  std::string path;
  while (next_id < count) {
    if (folders.empty()) folders.push_back({0, "/drive"});
    const Folder folder = std::move(folders.front());
    folders.pop_front();
    const uint64_t entries = 8 + random() % 17;
    for (uint64_t k = 0; k < entries && next_id < count; ++k, ++next_id) {
      const bool is_folder = random() % 8 == 0;
      std::string name(6 + random() % 19, 'a');
      for (char& c : name) c = static_cast<char>('a' + random() % 26);
      if (!is_folder) name += kExtensions[random() % std::size(kExtensions)];
      path = folder.path + "/" + name;
      DecodedNode fields;
      fields.id = next_id;
      fields.parent_id = folder.id;
      fields.path = path;
      fields.kind = is_folder ? NodeRecordKind::Folder : NodeRecordKind::File;
      if (!is_folder) {
        // Sizes from a few bytes to gigabytes, most of them small.
        const int magnitude = static_cast<int>(random() % 20) + static_cast<int>(random() % 12);
        fields.logical_bytes = (uint64_t{1} << magnitude) + random() % 1000;
        fields.size_on_disk_bytes = (fields.logical_bytes + 4095) / 4096 * 4096;
      }
      fields.modified_at_epoch_seconds = 1700000000 + next_id;
      if (!builder.add(fields)) std::abort();
      if (is_folder) folders.push_back({next_id, path});
    }
  }
  return std::move(std::move(builder).finish().value());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: html_report_benchmark PATH [entry count] [--apparent] [--budget N]\n");
    return 2;
  }
  uint64_t count = 1'000'000;
  ketterlin::host::HtmlReportOptions options;
  auto number = [](const char* text, auto& value) {
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || value == 0) {
      std::fprintf(stderr, "html_report_benchmark: %s is not a count\n", text);
      return false;
    }
    return true;
  };
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--apparent") == 0) {
      options.apparent = true;
    } else if (std::strcmp(argv[i], "--budget") == 0 && i + 1 < argc) {
      if (!number(argv[++i], options.node_budget)) return 2;
    } else if (!number(argv[i], count)) {
      return 2;
    }
  }
  ketterlin::host::ScanResult result;
  result.root = "/drive";
  result.targets = {"/drive"};
  ketterlin::host::TargetReport report;
  report.state = ketterlin::host::TargetReport::State::Scanned;
  report.tree = drive_tree(count);
  result.reports.push_back(std::move(report));

  const double started = cpu_seconds();
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  ketterlin::host::write_html_report(result, options, out);
  out.close();
  const double seconds = cpu_seconds() - started;
  if (!out) {
    std::fprintf(stderr, "html_report_benchmark: cannot write %s\n", argv[1]);
    return 1;
  }
  std::ifstream written(argv[1], std::ios::binary | std::ios::ate);
  const auto bytes = static_cast<uint64_t>(written.tellg());
  std::printf("entries %llu  page %llu bytes (%.1f MB, %.1f bytes per entry)  written in %.2f s\n",
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(bytes),
              static_cast<double>(bytes) / 1e6,
              static_cast<double>(bytes) / static_cast<double>(count), seconds);
  return 0;
}
