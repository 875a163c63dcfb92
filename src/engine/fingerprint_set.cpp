#include "engine/fingerprint_set.h"

#include <bit>
#include <cstring>
#include <new>
#include <utility>

namespace qarn {

namespace {

// One table slot: the first 64-bit hash of a digest. Zero marks an empty
// slot; a hash of zero is stored as 1 instead (it then shares that slot value
// with a real digest, one more 2^-64 event).
using Slot = std::uint64_t;
static_assert(sizeof(Slot) == FingerprintSet::kSlotBytes);

inline bool empty(Slot s) { return s == 0; }

constexpr std::size_t kInitialCapacity = 64;  // slots per shard at the first insert
// A table grows to 3/2 of its size when one more entry would load it beyond
// 4/5; the probe loop relies on the table never being full.
constexpr std::size_t kLoadNumerator = 4;
constexpr std::size_t kLoadDenominator = 5;

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
FingerprintDigest digest(const Fingerprint& fp) {
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

// The slot a digest is stored as (its first hash); the second hash, which
// the slot does not keep, picks the shard.
Slot slot_of(const FingerprintDigest& d) { return d.a == 0 ? Slot{1} : d.a; }

// Home slot of a first hash in a table of `capacity` slots: the high half of
// the 128-bit product, which spreads the hash over any table size.
inline std::size_t home(std::uint64_t a, std::size_t capacity) {
  return static_cast<std::size_t>((static_cast<unsigned __int128>(a) * capacity) >> 64);
}

}  // namespace

FingerprintDigest fingerprint_digest(const Fingerprint& fp) { return digest(fp); }

// Cache-line aligned so that neighbouring shards' locks do not share a line.
struct alignas(64) FingerprintSet::Shard {
  std::mutex mutex;
  std::vector<Slot> slots;  // empty until first insert
  std::size_t count = 0;    // occupied slots

  // Slot holding `d`, or the empty slot where it belongs. The table is never
  // full (its load stays at most 0.8), so the probe ends.
  std::size_t find(Slot d) const {
    const std::size_t capacity = slots.size();
    std::size_t i = home(d, capacity);
    while (true) {
      const Slot s = slots[i];
      if (s == d || empty(s)) return i;
      if (++i == capacity) i = 0;
    }
  }

  void grow() {
    const std::size_t capacity = slots.empty() ? kInitialCapacity : slots.size() + slots.size() / 2;
    std::vector<Slot> old = std::exchange(slots, std::vector<Slot>(capacity));
    for (const Slot s : old) {
      if (!empty(s)) slots[find(s)] = s;
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
  const FingerprintDigest d = digest(fp);
  const Slot slot = slot_of(d);
  Shard& shard = shard_for(d.b);
  std::lock_guard lock(shard.mutex);
  // Grow before looking: after this the table has room for one more entry at
  // a load of at most 0.8, and the slot found stays valid.
  if (kLoadDenominator * (shard.count + 1) > kLoadNumerator * shard.slots.size()) shard.grow();
  Slot& s = shard.slots[shard.find(slot)];
  if (s == slot) return true;
  s = slot;
  ++shard.count;
  return false;
}

bool FingerprintSet::contains(const Fingerprint& fp) const {
  const FingerprintDigest d = digest(fp);
  const Slot slot = slot_of(d);
  Shard& shard = shard_for(d.b);
  std::lock_guard lock(shard.mutex);
  if (shard.slots.empty()) return false;
  return shard.slots[shard.find(slot)] == slot;
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

std::string FingerprintSet::save() const {
  std::string out;
  const auto put = [&out](std::uint64_t v) { out.append(reinterpret_cast<const char*>(&v), 8); };
  put(shard_count_);
  for (std::size_t i = 0; i < shard_count_; ++i) {
    Shard& shard = shards_[i];
    const std::lock_guard lock(shard.mutex);
    put(shard.slots.size());
    put(shard.count);
    // A shard no insert reached has no table (and no data pointer).
    if (!shard.slots.empty()) {
      out.append(reinterpret_cast<const char*>(shard.slots.data()),
                 shard.slots.size() * sizeof(Slot));
    }
  }
  return out;
}

bool FingerprintSet::load(std::string_view bytes) {
  std::size_t at = 0;
  const auto get = [&](std::uint64_t& v) {
    if (bytes.size() - at < 8) return false;
    std::memcpy(&v, bytes.data() + at, 8);
    at += 8;
    return true;
  };
  std::uint64_t shards = 0;
  bool ok = get(shards) && shards == shard_count_;
  for (std::size_t i = 0; ok && i < shard_count_; ++i) {
    Shard& shard = shards_[i];
    const std::lock_guard lock(shard.mutex);
    std::uint64_t capacity = 0;
    std::uint64_t count = 0;
    ok = get(capacity) && get(count) && capacity <= (bytes.size() - at) / sizeof(Slot) &&
         kLoadDenominator * count <= kLoadNumerator * capacity;
    if (!ok) break;
    shard.slots.resize(capacity);
    if (capacity > 0) std::memcpy(shard.slots.data(), bytes.data() + at, capacity * sizeof(Slot));
    at += capacity * sizeof(Slot);
    std::size_t occupied = 0;
    for (const Slot slot : shard.slots) occupied += empty(slot) ? 0 : 1;
    shard.count = count;
    ok = occupied == count;
  }
  ok = ok && at == bytes.size();
  if (!ok) {
    for (std::size_t i = 0; i < shard_count_; ++i) {
      const std::lock_guard lock(shards_[i].mutex);
      shards_[i].slots = {};
      shards_[i].count = 0;
    }
  }
  return ok;
}

}  // namespace qarn
