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

// Entries a beam of `beam_width` takes by score alone when it has more
// candidates than its width (the elite); the rest of the width goes to rare
// structure keys.
inline std::uint64_t beam_elite_size(std::uint64_t beam_width) {
  return static_cast<std::uint64_t>(static_cast<double>(beam_width) * 0.8);
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
  const std::uint64_t elite = beam_elite_size(beam_width);
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

// The beam over a level whose scored children lie in consecutive runs
// held apart. Positions are within a run; a run's entries come
// before the next run's, so (run, position) orders entries as the whole
// level's input order does. Selecting in two rounds gives exactly
// select_beam_positions over the joined runs:
//   1. each run sends its best beam_width entries by score with their keys;
//      the merge of those holds every entry when the level has at most
//      beam_width, and otherwise the elite and its key counts;
//   2. each run sends its best `rest` non-elite entries by (count of the
//      entry's key among the elite, score); their merge completes the beam.

// Positions of the best `limit` entries of one run by score, in that order.
std::vector<std::size_t> best_by_score(std::span<const double> scores, std::size_t limit);

// Positions of the best `limit` entries of one run that are not in `excluded`
// (ascending positions), by (counts[i], score), in that order.
std::vector<std::size_t> best_by_rarity(std::span<const double> scores,
                                        std::span<const std::uint32_t> counts,
                                        std::span<const std::size_t> excluded, std::size_t limit);

struct BeamEntry {
  double score = 0.0;
  std::uint32_t count = 0;     // elite count of the entry's key (second round)
  std::uint32_t run = 0;       // run holding the entry
  std::uint64_t position = 0;  // position in that run
};

// A run's best entries by score with their structure keys, as round 1 sends them.
struct RunBest {
  std::uint64_t count = 0;         // scored entries in the run
  std::vector<BeamEntry> entries;  // best by score, in that order (run is ignored)
  std::vector<std::string> keys;   // key of each entry
};

struct BeamFirstRound {
  std::vector<BeamEntry> kept;  // entries kept so far, in beam order
  bool complete = true;         // no second round needed
  std::uint64_t rest = 0;       // entries the second round adds
  std::unordered_map<std::string, std::uint32_t> elite_counts;
  std::vector<std::vector<std::size_t>> elite_positions;  // per run, ascending
};

BeamFirstRound beam_first_round(std::span<const RunBest> runs, std::uint64_t beam_width);

// The beam's remaining entries from each run's best `rest` by (count, score).
std::vector<BeamEntry> beam_second_round(std::span<const std::vector<BeamEntry>> runs,
                                         std::uint64_t rest);

// Round 1 for one run: its size and its best `beam_width` entries by score,
// with their keys.
template <class KeyOf>
RunBest run_best(std::span<const double> scores, std::uint64_t beam_width, KeyOf&& key_of) {
  RunBest out;
  out.count = scores.size();
  const auto limit = static_cast<std::size_t>(std::min<std::uint64_t>(beam_width, scores.size()));
  for (std::size_t i : best_by_score(scores, limit)) {
    out.entries.push_back({scores[i], 0, 0, i});
    out.keys.push_back(key_of(i));
  }
  return out;
}

// Round 2 for one run: its best `rest` entries outside `elite` (ascending
// positions of the run's elite entries) by (elite count of the key, score).
template <class KeyOf>
std::vector<BeamEntry> run_rest(std::span<const double> scores, std::span<const std::size_t> elite,
                                const std::unordered_map<std::string, std::uint32_t>& elite_counts,
                                std::uint64_t rest, KeyOf&& key_of) {
  const std::size_t n = scores.size();
  std::vector<std::uint32_t> counts(n, 0);
  if (!elite_counts.empty()) {
    tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) {
      const auto found = elite_counts.find(key_of(i));
      counts[i] = found == elite_counts.end() ? 0 : found->second;
    });
  }
  std::vector<BeamEntry> out;
  for (std::size_t i : best_by_rarity(scores, counts, elite, static_cast<std::size_t>(rest))) {
    out.push_back({scores[i], counts[i], 0, i});
  }
  return out;
}

// select_beam_positions over `scores`, computed in two rounds over runs of
// `run_length` entries, so that its memory follows the beam width and the run
// length instead of the number of entries.
template <class KeyOf>
std::vector<std::size_t> select_beam_in_runs(std::span<const double> scores,
                                             std::uint64_t beam_width, std::size_t run_length,
                                             KeyOf&& key_of) {
  run_length = std::max<std::size_t>(run_length, 1);
  const std::size_t runs = (scores.size() + run_length - 1) / run_length;
  const auto run_scores = [&](std::size_t p) {
    const std::size_t begin = p * run_length;
    return scores.subspan(begin, std::min(run_length, scores.size() - begin));
  };
  std::vector<RunBest> bests(runs);
  tbb::parallel_for(std::size_t{0}, runs, [&](std::size_t p) {
    bests[p] = run_best(run_scores(p), beam_width,
                        [&](std::size_t i) { return key_of(p * run_length + i); });
  });
  const BeamFirstRound first = beam_first_round(bests, beam_width);
  bests.clear();
  std::vector<BeamEntry> kept = first.kept;
  if (!first.complete) {
    std::vector<std::vector<BeamEntry>> rests(runs);
    tbb::parallel_for(std::size_t{0}, runs, [&](std::size_t p) {
      rests[p] = run_rest(run_scores(p), first.elite_positions[p], first.elite_counts, first.rest,
                          [&](std::size_t i) { return key_of(p * run_length + i); });
    });
    const std::vector<BeamEntry> rest = beam_second_round(rests, first.rest);
    kept.insert(kept.end(), rest.begin(), rest.end());
  }
  std::vector<std::size_t> out;
  out.reserve(kept.size());
  for (const BeamEntry& e : kept) out.push_back(e.run * run_length + e.position);
  return out;
}

// A candidate with its score.
struct ScoredCandidate {
  Formula candidate;
  double score = 0.0;
};

// The beam of one level over full candidate records, keyed by structure_key.
// Reference form, used by tests only: the driver calls select_beam_in_runs
// over child records keyed by child_key, and "structure keys join operator
// indices in token order" holds child_key to structure_key.
std::vector<ScoredCandidate> select_beam(std::vector<ScoredCandidate> scored,
                                         std::uint64_t beam_width);

}  // namespace qarn
