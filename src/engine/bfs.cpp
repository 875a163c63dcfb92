#include "engine/bfs.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <string>

#include "engine/beam.h"
#include "engine/best.h"
#include "engine/level_steps.h"
#include "engine/progress.h"
#include "engine/score.h"

namespace qarn {
namespace {

using Clock = std::chrono::steady_clock;

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
  const std::vector<std::size_t> positions =
      select_beam_in_runs(scored.beam_scores(), config.beam_width, kBeamRunLength, key_of);
  Level kept;
  for (Formula& f : formulas_at(s, level, scored, positions, config)) {
    kept.add(std::move(f), *s.registry);
  }
  return kept;
}

// Order-sensitive hash of a retained level (texts and parameter bits), so that
// runs can be compared without keeping every formula.
std::uint64_t digest(const Level& level) {
  std::uint64_t h = 1469598103934665603ull;
  const auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 1099511628211ull; };
  for (const Formula& f : level.formulas) {
    mix(std::hash<std::string>{}(f.text));
    for (const Token& t : f.tokens) {
      if (t.kind == TokenKind::Parameter) mix(std::bit_cast<std::uint64_t>(t.value.re));
    }
  }
  return h;
}

// Builds one level; empty when `control` expired before the level was
// complete, in which case the level is dropped: nothing of it is recorded or
// retained.
std::optional<LevelStats> build_level(SearchState& s, std::uint64_t level,
                                      const SearchConfig& config, SearchControl* control) {
  const Clock::time_point t0 = Clock::now();
  LevelStats stats;
  stats.level = level;
  if (control != nullptr) {
    control->total.store(0, std::memory_order_relaxed);
    control->scored.store(0, std::memory_order_relaxed);
    control->level.store(level, std::memory_order_relaxed);
    control->phase.store(SearchPhase::Expanding, std::memory_order_relaxed);
  }

  Expansion expansion = expand_level(s, level, config, control);
  stats.formed = expansion.formed;
  stats.admitted = expansion.children.size();
  if (control != nullptr) {
    if (control->expired()) return std::nullopt;
    control->total.store(stats.admitted, std::memory_order_relaxed);
    control->phase.store(SearchPhase::Scoring, std::memory_order_relaxed);
  }

  ProgressState progress;
  progress.total = stats.admitted;
  progress.level = level;
  progress.start = Clock::now();
  std::vector<double> affine;
  std::vector<double> losses =
      score_losses(expansion.children, s.levels, level, progress, s.data, s.targets, *s.registry,
                   config, control, config.affine_rank ? &affine : nullptr);
  if (progress.total > 0) write_stdout("\n");
  // Every candidate counted in the control was scored; a piece skipped after
  // expiry leaves the count short.
  if (control != nullptr && control->scored.load(std::memory_order_relaxed) != progress.total) {
    return std::nullopt;
  }
  Level kept;
  {
    // The level's candidates are released before the kept formulas' columns
    // are stored.
    const ScoredCandidates scored = keep_finite(std::move(expansion.children), std::move(losses),
                                                std::move(affine), config, level);
    stats.scored = scored.scores.size();
    record_level_best(s, level, scored, config);
    kept = retain_beam(s, level, scored, config);
  }
  // The last level has no children, so its values on the data are not stored.
  add_level(s, std::move(kept), level < config.max_complexity);

  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0);
  write_stdout(level_done_text(level, elapsed, s.levels[level].size()));
  stats.retained = s.levels[level].size();
  stats.retained_digest = digest(s.levels[level]);
  stats.seen_bytes = s.seen.memory_bytes();
  stats.seconds = std::chrono::duration<double>(elapsed).count();
  return stats;
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
  if (rows.size() != targets.size() || rows.empty()) {
    return SearchError::dimension_mismatch(kDimensionMismatchText);
  }
  // Level 1 is the lowest level there is; with nothing to build, nothing is found.
  if (config.max_complexity == 0) return SearchError::no_formula_found(0);

  SearchState s;
  load_search_data(s, rows, targets);

  if (control != nullptr) control->level.store(1, std::memory_order_relaxed);
  seed_level(s, rows[0].size(), config);
  cache_columns(s, s.levels[1]);
  if (control != nullptr) control->completed_levels.store(1, std::memory_order_relaxed);
  if (!should_stop(s.best, config.stop_threshold, config.no_early_stop)) {
    write_stdout(started_text(s.levels[1].size()));
    for (std::uint64_t level = 2; level <= config.max_complexity; ++level) {
      const std::optional<LevelStats> built = build_level(s, level, config, control);
      if (!built) {
        control->mark_cut_short();
        write_stdout("[QARN-SR] Search stopped during level " + std::to_string(level) +
                     "; returning the front of levels 1 to " + std::to_string(level - 1) + ".\n");
        break;
      }
      if (stats != nullptr) stats->push_back(*built);
      if (control != nullptr) control->completed_levels.store(level, std::memory_order_relaxed);
      if (should_stop(s.best, config.stop_threshold, config.no_early_stop)) break;
    }
  }
  auto front = extract_front(s.best, s.registry, config, s.rows, s.targets);
  if (control != nullptr) control->phase.store(SearchPhase::Finished, std::memory_order_relaxed);
  return front;
}

}  // namespace qarn
