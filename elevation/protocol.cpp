// The protocol's shared vocabulary: wire words of the enumerations and the error's text.

#include "elevation/protocol.h"
#include "platform/panic.h"

namespace ketterlin::elevation {
namespace {

// True when entry i of `table` holds the value i, so that a value indexes its own word.
template <typename Enum, std::size_t N>
constexpr bool in_value_order(const std::array<WireWord<Enum>, N>& table) {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(table[i].value) != i) return false;
  }
  return true;
}
static_assert(in_value_order(kScanModeWords));
static_assert(in_value_order(kFileSystemKindWords));
static_assert(in_value_order(kProgressStatusWords));
static_assert(in_value_order(kNodeRecordKindWords));

template <typename Enum>
std::string_view word_of(Enum value, std::string_view out_of_range) {
  const auto& table = wire_words(value);
  const auto index = static_cast<std::size_t>(value);
  if (index >= table.size()) platform::panic(out_of_range);
  return table[index].word;
}

}  // namespace

std::string to_string(const JsonError& error) { return error.text; }

std::string_view to_wire(storage::FileSystemKind kind) {
  return word_of(kind, "file system kind out of range");
}
std::string_view to_wire(ElevatedScanMode mode) { return word_of(mode, "scan mode out of range"); }
std::string_view to_wire(ProgressStatus status) {
  return word_of(status, "progress status out of range");
}
std::string_view to_wire(NodeRecordKind kind) { return word_of(kind, "node kind out of range"); }

}  // namespace ketterlin::elevation
