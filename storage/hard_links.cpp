#include "storage/hard_links.h"

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

uint64_t load_u64(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

uint64_t identity_hash(const FileIdentity& identity) {
  const uint64_t low = load_u64(identity.file_id.data());
  const uint64_t high = load_u64(identity.file_id.data() + 8);
  return mix(low ^ mix(high ^ mix(identity.volume_serial)));
}

}  // namespace ketterlin::storage
