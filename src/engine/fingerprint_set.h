#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fingerprint.h"

namespace qarn {

// The 128-bit digest under which the set stores a fingerprint: two
// independent, well-mixed 64-bit hashes of its ten integers, never {0, 0}.
struct FingerprintDigest {
  std::uint64_t a = 0;
  std::uint64_t b = 0;

  friend bool operator==(const FingerprintDigest&, const FingerprintDigest&) = default;
};

FingerprintDigest fingerprint_digest(const Fingerprint& fp);

// The search's set of seen fingerprints, shared by all worker threads and all
// levels of one search. Nothing is ever removed.
//
// It stores a digest of each fingerprint rather than the 80-byte fingerprint
// itself, so that tens of millions of entries fit in about 8 bytes / load
// factor per entry. Of the 128-bit `FingerprintDigest` a table slot keeps the
// first hash, and 12 bits of the second pick the shard, so two different
// fingerprints are taken as equal only when 76 digest bits collide: for the
// 2^25 entries of a large search that happens with a chance of about 2^-27.
// That risk is accepted; the memory it saves (a third of the set) bounds how
// deep a search fits.
//
// Layout: `shard_count` flat open-addressing tables (linear probing over
// 8-byte slots), each behind its own mutex. A table grows by half when its
// load would pass 0.8, so it stays between about 0.53 and 0.8 full.
class FingerprintSet {
 public:
  // As many shards as the digest bits it sets aside for them.
  static constexpr std::size_t kDefaultShards = 4096;
  // Bytes of one table slot.
  static constexpr std::size_t kSlotBytes = 8;

  explicit FingerprintSet(std::size_t shard_count = kDefaultShards);
  ~FingerprintSet();

  FingerprintSet(const FingerprintSet&) = delete;
  FingerprintSet& operator=(const FingerprintSet&) = delete;

  // Atomic insert-if-absent; returns true when the fingerprint WAS already
  // present. Of concurrent inserts of equal fingerprints exactly one returns
  // false.
  bool insert(const Fingerprint& fp);

  // Thread-safe membership test. Used by tests only: the search asks through
  // insert, and "fingerprint set" holds the two together.
  bool contains(const Fingerprint& fp) const;

  // Number of distinct fingerprints inserted.
  std::size_t size() const;

  // Bytes held by the tables and shard headers (for the benchmark).
  std::size_t memory_bytes() const;

  // The tables as bytes, slot by slot, and the same tables back from such
  // bytes (a checkpoint between levels). load returns false, leaving the set
  // empty, for bytes of another shard count or of an impossible table. Call
  // neither while an insert runs.
  std::string save() const;
  bool load(std::string_view bytes);

 private:
  struct Shard;

  Shard& shard_for(std::uint64_t h0) const;

  std::unique_ptr<Shard[]> shards_;
  std::size_t shard_count_ = 0;
  std::uint64_t shard_mask_ = 0;  // shard_count_ - 1 (shard_count_ is a power of two)
};

}  // namespace qarn
