// Helpers shared by the tree model's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_string.h"
#include "platform/panic.h"
#include "storage/model.h"

namespace ketterlin::storage::test_support {

using platform::OsString;
using platform::OsStringView;

inline constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

inline OsString os(std::string_view text) { return platform::from_utf8(text); }

inline FileIdentity identity(uint64_t number, uint64_t volume_serial = 7) {
  FileIdentity result;
  for (int i = 0; i < 8; ++i) result.file_id[i] = static_cast<uint8_t>(number >> (8 * i));
  result.file_id[15] = 0xAB;  // the high half matters too
  result.volume_serial = volume_serial;
  return result;
}

inline NodeEntry entry_of(OsStringView name, NodeKind kind,
                          std::optional<OsStringView> link_target = std::nullopt) {
  NodeEntry entry;
  entry.name = name;
  entry.kind = kind;
  entry.link_target = link_target;
  return entry;
}

inline NodeEntry folder(OsStringView name) { return entry_of(name, NodeKind::Folder); }

inline NodeEntry file(OsStringView name, NodeSizes sizes,
                      std::optional<FileIdentity> file_identity = std::nullopt,
                      NodeFlags flags = {}) {
  NodeEntry entry = entry_of(name, NodeKind::File);
  entry.flags = flags;
  entry.own_size = sizes;
  entry.identity = file_identity;
  return entry;
}

inline NodeId added(tl::expected<NodeId, TreeError> result) {
  EXPECT_TRUE(result.has_value()) << to_string(result.error());
  return result.value_or(0);
}

inline FinishedTree finished(ScanTree tree, const RiskPolicy& policy = {},
                             std::optional<ElevatedVolume> volume = std::nullopt) {
  auto result = std::move(tree).finish(policy, volume);
  if (!result) throw std::runtime_error("finish failed: " + to_string(result.error()));
  return std::move(*result);
}

inline void expect_panic(const std::function<void()>& action, std::string_view text) {
  try {
    action();
    ADD_FAILURE() << "no panic; expected \"" << text << "\"";
  } catch (const platform::ThreadPanic& panic) {
    EXPECT_EQ(panic.text, text);
  }
}

inline std::vector<NodeId> children_of(const NodeTable& table, NodeId id) {
  std::vector<NodeId> result;
  for (NodeId child : table.children(id)) result.push_back(child);
  return result;
}

}  // namespace ketterlin::storage::test_support
