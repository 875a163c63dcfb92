#include "engine/seen_layer.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <unordered_set>

namespace qarn {
namespace {

constexpr std::size_t kSlotBytes = 16;

std::uint64_t read_u64(const char* p) {
  std::uint64_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

struct DigestHash {
  std::size_t operator()(const FingerprintDigest& d) const { return static_cast<std::size_t>(d.a); }
};

}  // namespace

std::size_t digest_bucket(const FingerprintDigest& d, std::size_t buckets) {
  return buckets <= 1 ? 0 : static_cast<std::size_t>((d.b >> 32) % buckets);
}

std::string encode_layer(std::span<const FingerprintDigest> digests) {
  // At most half full, so a probe ends soon.
  const std::uint64_t capacity = std::bit_ceil(std::max<std::uint64_t>(2 * digests.size(), 2));
  std::vector<FingerprintDigest> slots(capacity);
  for (const FingerprintDigest& d : digests) {
    std::uint64_t i = d.a & (capacity - 1);
    while (!(slots[i] == FingerprintDigest{}) && !(slots[i] == d)) i = (i + 1) & (capacity - 1);
    slots[i] = d;
  }
  std::string out(8 + capacity * kSlotBytes, '\0');
  std::memcpy(out.data(), &capacity, 8);
  for (std::uint64_t i = 0; i < capacity; ++i) {
    std::memcpy(out.data() + 8 + i * kSlotBytes, &slots[i].a, 8);
    std::memcpy(out.data() + 8 + i * kSlotBytes + 8, &slots[i].b, 8);
  }
  return out;
}

bool valid_layer(std::string_view layer) {
  if (layer.size() < 8) return false;
  const std::uint64_t capacity = read_u64(layer.data());
  return capacity != 0 && std::has_single_bit(capacity) &&
         capacity <= (layer.size() - 8) / kSlotBytes && layer.size() == 8 + capacity * kSlotBytes;
}

std::vector<FingerprintDigest> layer_digests(std::string_view layer) {
  const std::uint64_t capacity = read_u64(layer.data());
  std::vector<FingerprintDigest> out;
  for (std::uint64_t i = 0; i < capacity; ++i) {
    const FingerprintDigest d{read_u64(layer.data() + 8 + i * kSlotBytes),
                              read_u64(layer.data() + 8 + i * kSlotBytes + 8)};
    if (!(d == FingerprintDigest{})) out.push_back(d);
  }
  return out;
}

bool layer_contains(std::string_view layer, const FingerprintDigest& d) {
  const std::uint64_t capacity = read_u64(layer.data());
  const char* slots = layer.data() + 8;
  std::uint64_t i = d.a & (capacity - 1);
  // Some slot is empty (the table is at most half full), so the probe ends.
  while (true) {
    const std::uint64_t a = read_u64(slots + i * kSlotBytes);
    const std::uint64_t b = read_u64(slots + i * kSlotBytes + 8);
    if (a == d.a && b == d.b) return true;
    if (a == 0 && b == 0) return false;
    i = (i + 1) & (capacity - 1);
  }
}

BucketAdmission admit_bucket(std::span<const std::string_view> earlier_layers,
                             std::span<const std::vector<FingerprintDigest>> runs) {
  BucketAdmission out;
  std::unordered_set<FingerprintDigest, DigestHash> level;
  std::vector<FingerprintDigest> admitted;
  out.admitted.reserve(runs.size());
  for (const std::vector<FingerprintDigest>& run : runs) {
    std::vector<bool>& flags = out.admitted.emplace_back(run.size(), false);
    for (std::size_t i = 0; i < run.size(); ++i) {
      bool seen = false;
      for (std::string_view layer : earlier_layers) {
        if (layer_contains(layer, run[i])) {
          seen = true;
          break;
        }
      }
      if (seen || !level.insert(run[i]).second) continue;
      flags[i] = true;
      admitted.push_back(run[i]);
    }
  }
  out.layer = encode_layer(admitted);
  return out;
}

}  // namespace qarn
