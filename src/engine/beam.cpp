#include "engine/beam.h"

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

}  // namespace qarn
