// Small trees and scan results for the report and export tests.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "host/session/result_tree.h"
#include "host/session/scan_result.h"

namespace ketterlin::host::testing {

inline elevation::DecodedNode node(uint64_t id, std::optional<uint64_t> parent,
                                   std::string_view path, NodeRecordKind kind, uint64_t logical = 0,
                                   uint64_t on_disk = 0,
                                   std::optional<uint64_t> inode = std::nullopt) {
  elevation::DecodedNode fields;
  fields.id = id;
  fields.parent_id = parent;
  fields.path = path;
  fields.kind = kind;
  fields.logical_bytes = logical;
  fields.size_on_disk_bytes = on_disk;
  fields.modified_at_epoch_seconds = 1700000000 + id;
  if (inode) {
    NodeRecordIdentity identity;
    identity.volume_serial = 2049;
    for (int i = 0; i < 8; ++i) identity.file_id[i] = static_cast<uint8_t>(*inode >> (8 * i));
    fields.identity = identity;
  }
  return fields;
}

inline ResultTree build_tree(const std::vector<elevation::DecodedNode>& nodes) {
  TreeBuilder builder(PathStyle::Posix);
  for (const elevation::DecodedNode& fields : nodes) {
    if (!builder.add(fields)) return ResultTree();
  }
  return std::move(std::move(builder).finish().value());
}

// /v (a volume root, drive) holding:
//   docs/ (report.pdf 3000/4096, notes.txt 10/4096, hard link "same" to big.bin)
//   media/ (big.bin 1 MiB/1 MiB, inode 77)
//   secret (restricted), link -> docs, top.txt 100/4096
inline std::vector<elevation::DecodedNode> sample_nodes() {
  using Kind = NodeRecordKind;
  elevation::DecodedNode link = node(9, 0, "/v/link", Kind::SymbolicLink);
  link.link_target = "docs";
  return {
      node(0, std::nullopt, "/v", Kind::Drive),
      node(1, 0, "/v/docs", Kind::Folder),
      node(2, 0, "/v/media", Kind::Folder),
      node(3, 1, "/v/docs/report.pdf", Kind::File, 3000, 4096, 11),
      node(4, 1, "/v/docs/notes.txt", Kind::File, 10, 4096, 12),
      node(5, 2, "/v/media/big.bin", Kind::File, 1 << 20, 1 << 20, 77),
      node(6, 1, "/v/docs/same", Kind::File, 1 << 20, 1 << 20, 77),
      node(7, 0, "/v/secret", Kind::Restricted),
      node(8, 0, "/v/top.txt", Kind::File, 100, 4096, 13),
      link,
  };
}

// A full-root scan of the sample with `used_bytes` used on its volume.
inline ScanResult sample_result(uint64_t used_bytes) {
  ScanResult result;
  result.mode = elevation::ElevatedScanMode::FullRoot;
  result.root = "/v";
  result.targets = {"/v"};
  result.volume = storage::ElevatedVolume{used_bytes, storage::FileSystemKind::Other};
  TargetReport report;
  report.state = TargetReport::State::Scanned;
  report.file_system = storage::FileSystemKind::Other;
  report.tree = build_tree(sample_nodes());
  result.reports.push_back(std::move(report));
  result.elapsed_millis = 1500;
  return result;
}

}  // namespace ketterlin::host::testing
