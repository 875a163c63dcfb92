#include "engine/beam.h"

namespace qarn {

std::string structure_key(const Formula& formula) {
  std::string key;
  for (const Token& t : formula.tokens) {
    if (t.kind != TokenKind::Apply) continue;
    if (!key.empty()) key += '-';
    key += std::to_string(t.index);
  }
  return key;
}

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
