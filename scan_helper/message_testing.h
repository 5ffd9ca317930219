// Reading the helper's messages in tests: each line parsed as JSON, an outline of a run that
// names every message by its type and target, and the checks every streamed tree must pass.
// Test-only code.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace ketterlin::helper::testing {

using Json = nlohmann::json;

// Whether a whole line of `received` starting at or after `line_start` contains `needle`;
// `line_start` moves to the start of the first line not yet complete.
inline bool line_arrived(std::string_view received, std::size_t& line_start,
                         std::string_view needle) {
  for (;;) {
    const std::size_t line_feed = received.find('\n', line_start);
    if (line_feed == std::string_view::npos) return false;
    const std::string_view line = received.substr(line_start, line_feed - line_start);
    line_start = line_feed + 1;
    if (line.find(needle) != std::string_view::npos) return true;
  }
}

// Every line of `received` (split at line feeds; a last piece without one counts too) parsed as
// JSON. A line that does not parse adds a test failure and is left out.
inline std::vector<Json> parse_messages(std::string_view received) {
  std::vector<Json> messages;
  while (!received.empty()) {
    const std::size_t end = received.find('\n');
    const std::string_view line = received.substr(0, end);
    Json message = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (message.is_discarded()) {
      ADD_FAILURE() << "not a JSON line: " << line;
    } else {
      messages.push_back(std::move(message));
    }
    if (end == std::string_view::npos) break;
    received.remove_prefix(end + 1);
  }
  return messages;
}

// The target a message is about, or -1 for "complete" and "failure".
inline int64_t target_of(const Json& message) {
  const std::string type = message.value("type", "");
  if (type == "event") return message["event"]["targetIndex"].get<int64_t>();
  if (message.contains("targetIndex")) return message["targetIndex"].get<int64_t>();
  return -1;
}

// One word per message, "<type> <targetIndex>" (progress events as "progress <targetIndex>", and
// "complete" and "failure" alone), with runs of the same word folded into one: the order of a run
// as the message-order rules state it, whatever the number of progress and node messages.
inline std::vector<std::string> outline(const std::vector<Json>& messages) {
  std::vector<std::string> words;
  for (const Json& message : messages) {
    std::string word = message.value("type", "?");
    if (word == "event") word = message["event"].value("type", "?");
    const int64_t target = target_of(message);
    if (target >= 0) word += " " + std::to_string(target);
    if (words.empty() || words.back() != word) words.push_back(word);
  }
  return words;
}

// The "event" objects (TargetProgress records) of target `index`, in order.
inline std::vector<Json> progress_of(const std::vector<Json>& messages, int64_t index) {
  std::vector<Json> events;
  for (const Json& message : messages) {
    if (message.value("type", "") == "event" && target_of(message) == index) {
      events.push_back(message["event"]);
    }
  }
  return events;
}

// The "status" word of each progress event of target `index`.
inline std::vector<std::string> statuses_of(const std::vector<Json>& messages, int64_t index) {
  std::vector<std::string> statuses;
  for (const Json& event : progress_of(messages, index)) {
    statuses.push_back(event["status"].get<std::string>());
  }
  return statuses;
}

// The NodeRecord objects of target `index`, in the order received.
inline std::vector<Json> nodes_of(const std::vector<Json>& messages, int64_t index) {
  std::vector<Json> nodes;
  for (const Json& message : messages) {
    if (message.value("type", "") == "node" && target_of(message) == index) {
      nodes.push_back(message["node"]);
    }
  }
  return nodes;
}

// The messages of type `type`.
inline std::vector<Json> messages_of_type(const std::vector<Json>& messages,
                                          std::string_view type) {
  std::vector<Json> found;
  for (const Json& message : messages) {
    if (message.value("type", "") == type) found.push_back(message);
  }
  return found;
}

// Checks what every streamed tree must satisfy: the root first, id 0 without a parent; ids
// strictly increasing; every parent sent before its child, and the child's path its parent's
// path with one more name.
inline void expect_parents_before_children(const std::vector<Json>& nodes) {
  ASSERT_FALSE(nodes.empty()) << "a tree has at least its root";
  EXPECT_EQ(nodes.front()["id"], 0);
  EXPECT_TRUE(nodes.front()["parentId"].is_null());
  std::set<uint64_t> seen;
  std::vector<std::string> path_of_id;
  int64_t previous_id = -1;
  for (const Json& node : nodes) {
    const uint64_t id = node["id"].get<uint64_t>();
    EXPECT_GT(static_cast<int64_t>(id), previous_id) << "ids in increasing order";
    previous_id = static_cast<int64_t>(id);
    if (path_of_id.size() <= id) path_of_id.resize(id + 1);
    path_of_id[id] = node["path"].get<std::string>();
    if (id != 0) {
      ASSERT_FALSE(node["parentId"].is_null()) << node.dump();
      const uint64_t parent = node["parentId"].get<uint64_t>();
      ASSERT_TRUE(seen.contains(parent)) << "parent not sent before " << node.dump();
      const std::string& parent_path = path_of_id[parent];
      const std::string path = node["path"].get<std::string>();
      ASSERT_TRUE(path.starts_with(parent_path)) << path << " below " << parent_path;
      std::string_view name = std::string_view(path).substr(parent_path.size());
      const bool parent_ends_with_separator =
          !parent_path.empty() && (parent_path.back() == '/' || parent_path.back() == '\\');
      if (!parent_ends_with_separator) {
        const bool separated = name.starts_with('/') || name.starts_with('\\');
        EXPECT_TRUE(separated) << path << " is not below " << parent_path;
        if (separated) name.remove_prefix(1);
      }
      EXPECT_TRUE(!name.empty() && name.find('/') == std::string_view::npos)
          << path << " is not one name below " << parent_path;
    }
    seen.insert(id);
  }
}

}  // namespace ketterlin::helper::testing
