#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <tbb/parallel_for.h>

#include "ops/formula.h"

namespace qarn {

// Ascending score order with NaN after every number, so that sorting stays a
// strict weak order whatever the scores.
inline bool score_less(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

// Positions (into `scores`) of the entries a level keeps, in kept order: the
// best 80 % of `beam_width` by score, then the rest favouring structure keys
// that are rare among those best ones. Equal scores keep input order, which
// makes the beam independent of scheduling. key_of(i) gives the structure
// key of entry i and must be safe to call from worker threads.
template <class KeyOf>
std::vector<std::size_t> select_beam_positions(std::span<const double> scores,
                                               std::uint64_t beam_width, KeyOf&& key_of) {
  const std::size_t n = scores.size();
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto by_score = [&](std::size_t a, std::size_t b) {
    if (score_less(scores[a], scores[b])) return true;
    if (score_less(scores[b], scores[a])) return false;
    return a < b;
  };
  if (n <= beam_width) {
    std::sort(order.begin(), order.end(), by_score);
    return order;
  }
  const auto elite = static_cast<std::uint64_t>(static_cast<double>(beam_width) * 0.8);
  const std::uint64_t rest_taken = beam_width - elite;
  const auto elite_end = order.begin() + static_cast<std::ptrdiff_t>(elite);
  std::nth_element(order.begin(), elite_end, order.end(), by_score);
  std::sort(order.begin(), elite_end, by_score);

  std::unordered_map<std::string, std::uint32_t> elite_counts;
  for (auto it = order.begin(); it != elite_end; ++it) ++elite_counts[key_of(*it)];

  // Rest: by elite count of its key, then score, then input order (the
  // stable re-sort of a score-sorted list); only the first rest_taken matter.
  std::vector<std::uint32_t> counts(n, 0);
  if (!elite_counts.empty()) {
    tbb::parallel_for(std::size_t{elite}, n, [&](std::size_t i) {
      const auto found = elite_counts.find(key_of(order[i]));
      counts[order[i]] = found == elite_counts.end() ? 0 : found->second;
    });
  }
  const auto by_rarity = [&](std::size_t a, std::size_t b) {
    if (counts[a] != counts[b]) return counts[a] < counts[b];
    return by_score(a, b);
  };
  std::partial_sort(elite_end, elite_end + static_cast<std::ptrdiff_t>(rest_taken), order.end(),
                    by_rarity);
  order.resize(beam_width);
  return order;
}

// A candidate with its score.
struct ScoredCandidate {
  Formula candidate;
  double score = 0.0;
};

// The beam of one level over full candidate records, keyed by structure_key.
// Reference form, used by tests only: the driver calls select_beam_positions
// over child records keyed by child_key, and "structure keys join operator
// indices in token order" holds child_key to structure_key.
std::vector<ScoredCandidate> select_beam(std::vector<ScoredCandidate> scored,
                                         std::uint64_t beam_width);

}  // namespace qarn
