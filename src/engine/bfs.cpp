#include "engine/bfs.h"

#include <cmath>
#include <new>
#include <optional>

#include "engine/beam.h"
#include "engine/best.h"
#include "engine/level_steps.h"
#include "engine/memory_estimate.h"
#include "engine/score.h"

namespace qarn {
namespace {

// Runs of this many scored candidates are searched for the beam one at a
// time: the selection then needs memory for the beam and one run, not for
// the whole level.
constexpr std::size_t kBeamRunLength = std::size_t{1} << 16;

// A level's candidates that got a finite loss, in input order, with their
// scores and, under the affine option, the scores of their affine losses.
struct ScoredCandidates {
  Candidates children;
  std::vector<double> scores;
  std::vector<double> affine_scores;  // empty unless config.affine_rank

  // What the beam ranks by.
  const std::vector<double>& beam_scores() const {
    return affine_scores.empty() ? scores : affine_scores;
  }
};

// Keeps, in place and in order, the candidates whose loss is finite, and
// turns each loss (and affine loss) into its score.
ScoredCandidates keep_finite(Candidates candidates, std::vector<double> losses,
                             std::vector<double> affine, const SearchConfig& config,
                             std::uint64_t level) {
  const double factor = score_factor(config, level);
  const bool with_affine = !affine.empty();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < losses.size(); ++i) {
    if (!std::isfinite(losses[i])) continue;
    candidates[kept] = candidates[i];
    losses[kept] = losses[i] * factor;
    if (with_affine) affine[kept] = affine[i] * factor;
    ++kept;
  }
  candidates.truncate(kept);
  losses.resize(kept);
  if (with_affine) affine.resize(kept);
  return {std::move(candidates), std::move(losses), std::move(affine)};
}

std::vector<Formula> formulas_at(const SearchState& s, std::uint64_t level,
                                 const ScoredCandidates& scored,
                                 std::span<const std::size_t> positions,
                                 const SearchConfig& config) {
  std::vector<Child> children;
  children.reserve(positions.size());
  for (std::size_t i : positions) children.push_back(scored.children[i]);
  return scored_formulas(children, s.levels, level, s.data, s.targets, *s.registry, config);
}

// Records the level's lowest loss. Every candidate of the level has the same
// complexity and no earlier level can have recorded it, so recording the
// first lowest loss once leaves the same entry as recording every candidate
// in turn.
void record_level_best(SearchState& s, std::uint64_t level, const ScoredCandidates& scored,
                       const SearchConfig& config) {
  const LevelWinner whole = level_winner(scored.scores, level, config);
  WinnerPlace place;
  if (!merge_winners({&whole, 1}, place)) return;
  const std::size_t position = place.position;
  record_best(s.best, formulas_at(s, level, scored, {&position, 1}, config).front(), place.loss);
}

Level retain_beam(const SearchState& s, std::uint64_t level, const ScoredCandidates& scored,
                  const SearchConfig& config) {
  const auto key_of = [&](std::size_t i) { return scored_key(s, level, scored.children[i]); };
  const std::vector<std::size_t> positions = select_beam_in_runs(
      scored.beam_scores(), beam_width_at(config, level), kBeamRunLength, key_of);
  Level kept;
  for (Formula& f : formulas_at(s, level, scored, positions, config)) {
    kept.add(std::move(f), *s.registry);
  }
  return kept;
}

// Builds the open level of `loop` in this process; empty when `control`
// expired before the level was complete, in which case the level is dropped:
// nothing of it is recorded or retained.
std::optional<LevelStats> build_level(LevelLoop& loop, SearchControl* control) {
  SearchState& s = loop.state();
  const SearchConfig& config = loop.config();
  const std::uint64_t level = loop.level();
  LevelStats stats;

  // Expand and admit.
  Expansion expansion = expand_level(s, level, config, control);
  stats.formed = expansion.formed;
  stats.admitted = expansion.children.size();
  if (control != nullptr && control->expired()) return std::nullopt;

  // Score.
  ProgressState& progress = loop.start_scoring(stats.admitted);
  std::vector<double> affine;
  std::vector<double> losses =
      candidate_losses(expansion.children, s.levels, level, progress, s.data, s.targets,
                       *s.registry, config, control, config.affine_rank ? &affine : nullptr);
  loop.end_scoring();
  // Every candidate counted in the control was scored; a piece skipped after
  // expiry leaves the count short.
  if (control != nullptr && control->scored.load(std::memory_order_relaxed) != stats.admitted) {
    return std::nullopt;
  }

  // Select and record. The level's candidates are released before the kept
  // formulas' columns are stored.
  Level kept;
  {
    const ScoredCandidates scored = keep_finite(std::move(expansion.children), std::move(losses),
                                                std::move(affine), config, level);
    stats.scored = scored.scores.size();
    record_level_best(s, level, scored, config);
    kept = retain_beam(s, level, scored, config);
  }
  return loop.close_level(std::move(kept), stats);
}

}  // namespace

Expected<std::vector<SearchResult>> run_search(const Rows& rows, std::span<const double> targets,
                                               const SearchConfig& config) {
  return run_search(rows, targets, config, nullptr);
}

Expected<std::vector<SearchResult>> run_search(const Rows& rows, std::span<const double> targets,
                                               const SearchConfig& config,
                                               std::vector<LevelStats>* stats) {
  return run_search(rows, targets, config, stats, nullptr);
}

Expected<std::vector<SearchResult>> run_search(const Rows& rows, std::span<const double> targets,
                                               const SearchConfig& config,
                                               std::vector<LevelStats>* stats,
                                               SearchControl* control) {
  auto started = LevelLoop::start(rows, targets, config, control, true);
  if (auto* error = std::get_if<SearchError>(&started)) return std::move(*error);
  LevelLoop& loop = *std::get<std::unique_ptr<LevelLoop>>(started);
  while (const std::optional<std::uint64_t> level = loop.next_level()) {
    std::optional<LevelStats> built;
    if (control == nullptr) {
      built = build_level(loop, control);
    } else if (level_fits_memory(loop.state(), *level, config, loop.admit_ratio(), *control)) {
      // With a control, running out of memory drops the level like a stop.
      try {
        built = build_level(loop, control);
      } catch (const std::bad_alloc&) {
        control->mark_memory_stopped();
      }
    }
    if (!built) {
      loop.drop_level();
      break;
    }
    if (stats != nullptr) stats->push_back(*built);
  }
  return loop.front();
}

}  // namespace qarn
