#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/beam.h"
#include "engine/bfs.h"
#include "engine/child.h"
#include "engine/fingerprint_set.h"
#include "engine/level.h"
#include "engine/level_steps.h"
#include "engine/score.h"
#include "engine/search_config.h"
#include "ops/formula.h"

// Compact byte forms of what the steps of a level exchange when they run in
// different processes: the data set, the settings, retained formulas, ranges
// of children, scored ranges and the beam's per-run summaries. Numbers are
// written in the machine's byte order (every process of one search runs the
// same build on the same kind of machine); doubles travel as their bits, so a
// round trip is exact. A decoder returns nothing for bytes that end early, run
// on, or hold an impossible token kind.

namespace qarn {

struct DataSet {
  Rows rows;
  std::vector<double> targets;
};

std::string encode_data(const Rows& rows, std::span<const double> targets);
std::optional<DataSet> decode_data(std::string_view bytes);

std::string encode_config(const SearchConfig& config);
std::optional<SearchConfig> decode_config(std::string_view bytes);

std::string encode_formulas(std::span<const Formula> formulas);
std::optional<std::vector<Formula>> decode_formulas(std::string_view bytes);

std::string encode_children(std::span<const Child> children);
std::optional<std::vector<Child>> decode_children(std::string_view bytes);

std::string encode_scored(const ScoredLevel& scored);
std::optional<ScoredLevel> decode_scored(std::string_view bytes);

// What a scored run tells the driver after scoring: its level winner and its
// best entries by score with their keys.
struct RunSummary {
  LevelWinner winner;
  RunBest best;
};
std::string encode_summary(const RunSummary& summary);
std::optional<RunSummary> decode_summary(std::string_view bytes);

std::string encode_entries(std::span<const BeamEntry> entries);
std::optional<std::vector<BeamEntry>> decode_entries(std::string_view bytes);

// A run of formed children with the bucket of each child's fingerprint.
struct FormedRun {
  std::vector<Child> children;
  std::vector<std::uint8_t> buckets;  // one per child
  std::uint64_t formed = 0;           // children formed, with or without a fingerprint
};
std::string encode_formed(const FormedRun& run);
std::optional<FormedRun> decode_formed(std::string_view bytes);

std::string encode_digests(std::span<const FingerprintDigest> digests);
std::optional<std::vector<FingerprintDigest>> decode_digests(std::string_view bytes);

// Per run, one flag per digest of a bucket.
std::string encode_flags(std::span<const std::vector<bool>> runs);
std::optional<std::vector<std::vector<bool>>> decode_flags(std::string_view bytes);

}  // namespace qarn
