#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fingerprint_set.h"

// The set of seen fingerprints split by level and by hash bucket, for a
// search whose deduplication runs in several processes. A layer holds the
// digests first seen at one level in one bucket as a frozen open-addressing
// table inside a byte string: it is looked up where it lies, never rebuilt,
// and never changes once made, so the step that makes it is a pure function
// of its inputs.

namespace qarn {

// The bucket (0 .. buckets - 1) a digest belongs to. Uses digest bits that a
// layer's home slot does not.
std::size_t digest_bucket(const FingerprintDigest& d, std::size_t buckets);

std::string encode_layer(std::span<const FingerprintDigest> digests);

// A byte string that is a layer (power-of-two capacity, right size).
bool valid_layer(std::string_view layer);

// The digests a valid layer holds, in slot order.
std::vector<FingerprintDigest> layer_digests(std::string_view layer);

// Membership in a valid layer.
bool layer_contains(std::string_view layer, const FingerprintDigest& d);

// Admission of one bucket's digests of a level, given per run of children in
// loop order: a digest is admitted when no earlier layer holds it and no
// earlier digest of the level equals it, so of equal fingerprints the first
// in loop order survives and one seen at an earlier level always wins.
struct BucketAdmission {
  std::string layer;                        // the admitted digests
  std::vector<std::vector<bool>> admitted;  // per run, per digest
};
BucketAdmission admit_bucket(std::span<const std::string_view> earlier_layers,
                             std::span<const std::vector<FingerprintDigest>> runs);

}  // namespace qarn
