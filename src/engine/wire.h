#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/beam.h"
#include "engine/child.h"
#include "engine/fingerprint_set.h"
#include "engine/level_steps.h"
#include "engine/score.h"
#include "engine/search_config.h"
#include "ops/data_columns.h"
#include "ops/formula.h"

// Compact byte forms of what the steps of a level exchange when they run in
// different processes: the data set, the settings, retained formulas, formed
// and scored runs and the beam's per-run summaries. Each message is declared
// once, as one field list (wire.cpp) that drives both its encoding and its
// decoding, and starts with a tag (which message it is) and the format
// version. Numbers are written in the machine's byte order (every process of
// one search runs the same build on the same kind of machine); doubles travel
// as their bits, so a round trip is exact. A decoder refuses, with the reason,
// bytes of another message or format version, and bytes that end early, run
// on, or hold an impossible value.

namespace qarn {

// Which message a byte string holds: its first byte.
enum class WireTag : std::uint8_t {
  DataSet = 1,
  Settings = 2,
  Formulas = 3,
  ScoredRun = 4,
  RunSummary = 5,
  BeamEntries = 6,
  FormedRun = 7,
  Digests = 8,
  Flags = 9,
};

// The format of every message: its second byte. Raised whenever a field list
// changes.
inline constexpr std::uint8_t kWireVersion = 1;

// A decoded message, or why the bytes were refused.
template <class T>
class Decoded {
 public:
  Decoded(T value) : value_(std::move(value)) {}  // NOLINT: a value converts implicitly
  static Decoded refused(std::string reason) {
    Decoded d;
    d.reason_ = std::move(reason);
    return d;
  }

  explicit operator bool() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  // Why the bytes were refused (empty for a value).
  const std::string& reason() const { return reason_; }

 private:
  Decoded() = default;
  std::optional<T> value_;
  std::string reason_;
};

struct DataSet {
  Rows rows;
  std::vector<double> targets;
};

std::string encode_data(const Rows& rows, std::span<const double> targets);
Decoded<DataSet> decode_data(std::string_view bytes);

std::string encode_config(const SearchConfig& config);
Decoded<SearchConfig> decode_config(std::string_view bytes);

std::string encode_formulas(std::span<const Formula> formulas);
Decoded<std::vector<Formula>> decode_formulas(std::string_view bytes);

std::string encode_scored(const ScoredLevel& scored);
Decoded<ScoredLevel> decode_scored(std::string_view bytes);

// What a scored run tells the driver after scoring: its level winner and its
// best entries by score with their keys.
struct RunSummary {
  LevelWinner winner;
  RunBest best;
};
std::string encode_summary(const RunSummary& summary);
Decoded<RunSummary> decode_summary(std::string_view bytes);

std::string encode_entries(std::span<const BeamEntry> entries);
Decoded<std::vector<BeamEntry>> decode_entries(std::string_view bytes);

// A run of formed children with the bucket of each child's fingerprint.
struct FormedRun {
  std::vector<Child> children;
  std::vector<std::uint8_t> buckets;  // one per child
  std::uint64_t formed = 0;           // children formed, with or without a fingerprint
};
std::string encode_formed(const FormedRun& run);
Decoded<FormedRun> decode_formed(std::string_view bytes);

std::string encode_digests(std::span<const FingerprintDigest> digests);
Decoded<std::vector<FingerprintDigest>> decode_digests(std::string_view bytes);

// Per run, one flag per digest of a bucket.
std::string encode_flags(std::span<const std::vector<bool>> runs);
Decoded<std::vector<std::vector<bool>>> decode_flags(std::string_view bytes);

}  // namespace qarn
