#include "engine/beam.h"

#include <algorithm>

#include "engine/child.h"

namespace qarn {

std::vector<ScoredCandidate> select_beam(std::vector<ScoredCandidate> scored,
                                         std::uint64_t beam_width) {
  std::vector<double> scores(scored.size());
  for (std::size_t i = 0; i < scored.size(); ++i) scores[i] = scored[i].score;
  const std::vector<std::size_t> kept = select_beam_positions(
      scores, beam_width, [&](std::size_t i) { return structure_key(scored[i].candidate); });
  std::vector<ScoredCandidate> out;
  out.reserve(kept.size());
  for (std::size_t i : kept) out.push_back(std::move(scored[i]));
  return out;
}

namespace {

bool entry_by_score(const BeamEntry& a, const BeamEntry& b) {
  if (score_less(a.score, b.score)) return true;
  if (score_less(b.score, a.score)) return false;
  if (a.run != b.run) return a.run < b.run;
  return a.position < b.position;
}

bool entry_by_rarity(const BeamEntry& a, const BeamEntry& b) {
  if (a.count != b.count) return a.count < b.count;
  return entry_by_score(a, b);
}

// The best `limit` of `all` under `less`, in that order.
template <class Less>
std::vector<BeamEntry> best_entries(std::vector<BeamEntry> all, std::size_t limit, Less less) {
  limit = std::min(limit, all.size());
  std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(limit), all.end(), less);
  all.resize(limit);
  return all;
}

}  // namespace

std::vector<std::size_t> best_by_score(std::span<const double> scores, std::size_t limit) {
  std::vector<BeamEntry> all(scores.size());
  for (std::size_t i = 0; i < scores.size(); ++i) all[i] = {scores[i], 0, 0, i};
  std::vector<std::size_t> out;
  for (const BeamEntry& e : best_entries(std::move(all), limit, entry_by_score)) {
    out.push_back(e.position);
  }
  return out;
}

std::vector<std::size_t> best_by_rarity(std::span<const double> scores,
                                        std::span<const std::uint32_t> counts,
                                        std::span<const std::size_t> excluded, std::size_t limit) {
  std::vector<BeamEntry> all;
  all.reserve(scores.size() - std::min(scores.size(), excluded.size()));
  std::size_t next_excluded = 0;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (next_excluded < excluded.size() && excluded[next_excluded] == i) {
      ++next_excluded;
      continue;
    }
    all.push_back({scores[i], counts[i], 0, i});
  }
  std::vector<std::size_t> out;
  for (const BeamEntry& e : best_entries(std::move(all), limit, entry_by_rarity)) {
    out.push_back(e.position);
  }
  return out;
}

BeamFirstRound beam_first_round(std::span<const RunBest> runs, std::uint64_t beam_width) {
  BeamFirstRound out;
  std::uint64_t total = 0;
  std::vector<BeamEntry> all;
  for (std::size_t p = 0; p < runs.size(); ++p) {
    total += runs[p].count;
    for (std::size_t i = 0; i < runs[p].entries.size(); ++i) {
      BeamEntry e = runs[p].entries[i];
      e.run = static_cast<std::uint32_t>(p);
      all.push_back(e);
    }
  }
  out.elite_positions.resize(runs.size());
  if (total <= beam_width) {
    const std::size_t n = all.size();
    out.kept = best_entries(std::move(all), n, entry_by_score);
    return out;
  }
  const std::uint64_t elite = beam_elite_size(beam_width);
  out.kept = best_entries(std::move(all), elite, entry_by_score);
  out.complete = false;
  out.rest = beam_width - elite;
  // Keys of the elite: each run's entries are its best by score, so an
  // elite entry of run p is among them; look its key up by position.
  for (const BeamEntry& e : out.kept) {
    const RunBest& run = runs[e.run];
    for (std::size_t i = 0; i < run.entries.size(); ++i) {
      if (run.entries[i].position == e.position) {
        ++out.elite_counts[run.keys[i]];
        break;
      }
    }
    out.elite_positions[e.run].push_back(e.position);
  }
  for (std::vector<std::size_t>& positions : out.elite_positions) {
    std::sort(positions.begin(), positions.end());
  }
  return out;
}

std::vector<BeamEntry> beam_second_round(std::span<const std::vector<BeamEntry>> runs,
                                         std::uint64_t rest) {
  std::vector<BeamEntry> all;
  for (std::size_t p = 0; p < runs.size(); ++p) {
    for (BeamEntry e : runs[p]) {
      e.run = static_cast<std::uint32_t>(p);
      all.push_back(e);
    }
  }
  return best_entries(std::move(all), rest, entry_by_rarity);
}

}  // namespace qarn
