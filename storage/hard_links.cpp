#include "storage/hard_links.h"

#include <bit>
#include <cstring>

namespace ketterlin::storage {
namespace {

// The finaliser of MurmurHash3.
uint64_t mix(uint64_t value) {
  value ^= value >> 33;
  value *= 0xff51afd7ed558ccdULL;
  value ^= value >> 33;
  value *= 0xc4ceb9fe1a85ec53ULL;
  value ^= value >> 33;
  return value;
}

// The eight bytes at `bytes` as a little-endian number, in one load on a little-endian machine.
uint64_t load_u64(const uint8_t* bytes) {
  uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  if constexpr (std::endian::native == std::endian::big) {
    uint64_t reversed = 0;
    for (int i = 0; i < 8; ++i) reversed = (reversed << 8) | ((value >> (8 * i)) & 0xFF);
    value = reversed;
  }
  return value;
}

}  // namespace

uint64_t identity_hash(const FileIdentity& identity) {
  const uint64_t low = load_u64(identity.file_id.data());
  const uint64_t high = load_u64(identity.file_id.data() + 8);
  return mix(low ^ mix(high ^ mix(identity.volume_serial)));
}

}  // namespace ketterlin::storage
