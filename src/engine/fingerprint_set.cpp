#include "engine/fingerprint_set.h"

#include <bit>
#include <new>
#include <utility>

namespace qarn {

namespace {

// One table slot: the 128-bit digest of a fingerprint. {0, 0} marks an empty
// slot; a digest that happens to be {0, 0} is stored as {0, 1} instead (it
// then shares that slot value with a real {0, 1} digest, one more 2^-128
// event).
struct Slot {
  std::uint64_t a = 0;  // first hash; its low bits pick the home slot
  std::uint64_t b = 0;  // second hash; its low bits pick the shard
};

constexpr std::size_t kInitialCapacity = 64;  // slots per shard, a power of two

// Finalizers of MurmurHash3 and of SplitMix64 (Stafford's variant 13): two
// different full-avalanche bijections, so the two hash chains below behave
// as independent hash functions of the same input.
constexpr std::uint64_t mix_a(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

constexpr std::uint64_t mix_b(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

// Each part passes through a full mix before the next one enters, so every
// bit of every part reaches every bit of both hashes. Distinct seeds and
// per-step constants keep the two chains unrelated.
Slot digest(const Fingerprint& fp) {
  std::uint64_t a = 0x243f6a8885a308d3ULL;  // digits of pi
  std::uint64_t b = 0x9e3779b97f4a7c15ULL;  // golden ratio
  for (const std::int64_t part : fp.parts) {
    const auto x = static_cast<std::uint64_t>(part);
    a = mix_a(a ^ x);
    b = mix_b(b + x * 0xd6e8feb86659fd93ULL);
  }
  if (a == 0 && b == 0) b = 1;
  return {a, b};
}

}  // namespace

FingerprintDigest fingerprint_digest(const Fingerprint& fp) {
  const Slot d = digest(fp);
  return {d.a, d.b};
}

// Cache-line aligned so that neighbouring shards' locks do not share a line.
struct alignas(64) FingerprintSet::Shard {
  std::mutex mutex;
  std::vector<Slot> slots;  // capacity is a power of two; empty until first insert
  std::size_t count = 0;    // occupied slots

  // Slot holding `d`, or the empty slot where it belongs. The table is never
  // full (load stays below 0.7), so the probe ends.
  std::size_t find(const Slot& d) const {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = static_cast<std::size_t>(d.a) & mask;
    while (true) {
      const Slot& s = slots[i];
      if (s.a == d.a && s.b == d.b) return i;
      if (s.a == 0 && s.b == 0) return i;
      i = (i + 1) & mask;
    }
  }

  void grow() {
    std::vector<Slot> old = std::exchange(
        slots, std::vector<Slot>(slots.empty() ? kInitialCapacity : slots.size() * 2));
    for (const Slot& s : old) {
      if (s.a != 0 || s.b != 0) slots[find(s)] = s;
    }
  }
};

FingerprintSet::FingerprintSet(std::size_t shard_count) {
  shard_count_ = std::bit_ceil(shard_count == 0 ? std::size_t{1} : shard_count);
  shard_mask_ = shard_count_ - 1;
  shards_ = std::make_unique<Shard[]>(shard_count_);
}

FingerprintSet::~FingerprintSet() = default;

FingerprintSet::Shard& FingerprintSet::shard_for(std::uint64_t h) const {
  return shards_[h & shard_mask_];
}

bool FingerprintSet::insert(const Fingerprint& fp) {
  const Slot d = digest(fp);
  Shard& shard = shard_for(d.b);
  std::lock_guard lock(shard.mutex);
  // Grow before looking: after this the table has room for one more entry at
  // a load of at most 0.7, and the slot found stays valid.
  if (10 * (shard.count + 1) > 7 * shard.slots.size()) shard.grow();
  Slot& s = shard.slots[shard.find(d)];
  if (s.a == d.a && s.b == d.b) return true;
  s = d;
  ++shard.count;
  return false;
}

bool FingerprintSet::contains(const Fingerprint& fp) const {
  const Slot d = digest(fp);
  Shard& shard = shard_for(d.b);
  std::lock_guard lock(shard.mutex);
  if (shard.slots.empty()) return false;
  const Slot& s = shard.slots[shard.find(d)];
  return s.a == d.a && s.b == d.b;
}

std::size_t FingerprintSet::size() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < shard_count_; ++i) {
    std::lock_guard lock(shards_[i].mutex);
    total += shards_[i].count;
  }
  return total;
}

std::size_t FingerprintSet::memory_bytes() const {
  std::size_t total = sizeof(FingerprintSet) + shard_count_ * sizeof(Shard);
  for (std::size_t i = 0; i < shard_count_; ++i) {
    std::lock_guard lock(shards_[i].mutex);
    total += shards_[i].slots.capacity() * sizeof(Slot);
  }
  return total;
}

}  // namespace qarn
