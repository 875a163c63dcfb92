#include "engine/bfs.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <string>

#include <tbb/parallel_for.h>

#include "engine/beam.h"
#include "engine/best.h"
#include "engine/duration.h"
#include "engine/expand.h"
#include "engine/fingerprint_set.h"
#include "engine/level.h"
#include "engine/optimizer.h"
#include "engine/progress.h"
#include "engine/score.h"
#include "ops/batch_evaluate.h"

namespace qarn {
namespace {

using Clock = std::chrono::steady_clock;

Formula parameter_leaf() { return Formula{{Token::parameter(0, Complex{0.1, 0.0})}, "C", 1, 0, 1}; }

Formula variable_leaf(std::size_t i) {
  return Formula{{Token::variable(static_cast<std::uint8_t>(i))},
                 "v_{" + std::to_string(i) + "}",
                 1,
                 static_cast<std::uint8_t>(i + 1),
                 0};
}

// Parameter-free retained formulas keep their values on the data set, so that
// their children's losses and fits do not evaluate them again; this bounds
// the memory those columns may take in one search.
constexpr std::size_t kColumnBudgetBytes = std::size_t{512} << 20;

// Everything one search works on; released when the search returns.
struct SearchState {
  std::shared_ptr<const OperatorRegistry> registry;
  std::vector<std::vector<Complex>> rows;
  DataColumns data;
  std::vector<double> targets;
  FingerprintSet seen;
  BestByComplexity best;
  Levels levels;
  std::size_t column_bytes = 0;  // memory held by cached columns
};

// Caches the values of the level's parameter-free formulas while the budget
// allows.
void cache_columns(SearchState& s, Level& level) {
  const std::size_t rows = s.data.rows();
  const std::size_t per_column = rows * (sizeof(Complex) + 1);
  level.columns.resize(level.size());
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < level.size(); ++i) {
    bool has_parameter = false;
    for (const Token& t : level.formulas[i].tokens) has_parameter |= t.kind == TokenKind::Parameter;
    if (has_parameter || s.column_bytes + per_column > kColumnBudgetBytes) continue;
    s.column_bytes += per_column;
    chosen.push_back(i);
  }
  tbb::parallel_for(std::size_t{0}, chosen.size(), [&](std::size_t k) {
    Level::Column& c = level.columns[chosen[k]];
    c.values.resize(rows);
    c.ok.resize(rows);
    BatchEvaluator evaluator;
    for (std::size_t begin = 0; begin < rows; begin += BatchEvaluator::kBlock) {
      const std::size_t count = std::min(BatchEvaluator::kBlock, rows - begin);
      evaluator.run(level.formulas[chosen[k]].tokens, s.data, begin, count, {}, *s.registry,
                    c.values.data() + begin, c.ok.data() + begin);
    }
  });
}

// Level 1: the parameter leaf, then one leaf for each of the first
// `variables` input variables. Seeds are deduplicated like everything else but
// not fitted; a seed without a finite loss is still kept for expansion.
void seed_level(SearchState& s, std::size_t variables, const SearchConfig& config) {
  std::vector<Formula> seeds;
  seeds.push_back(parameter_leaf());
  for (std::size_t i = 0; i < variables; ++i) {
    seeds.push_back(variable_leaf(i));
  }
  Optimizer optimizer;
  for (Formula& seed : seeds) {
    const std::optional<Fingerprint> fp = fingerprint(seed, *s.registry);
    if (!fp || s.seen.insert(*fp)) continue;
    const double loss =
        optimizer.loss(seed.tokens, s.data, s.targets, *s.registry, config.alpha, config.l1_ratio);
    if (std::isfinite(loss)) record_best(s.best, seed, loss);
    s.levels[1].add(std::move(seed), *s.registry);
  }
}

Formula build(const SearchState& s, std::uint64_t level, const ScoredLevel& scored,
              const ScoredChild& item) {
  Formula f = materialize(s.levels, level, item.child, *s.registry);
  if (item.fitted != ScoredChild::kUnfitted)
    store_parameters(f, &scored.fitted_values[item.fitted]);
  return f;
}

// Records the level's lowest loss. Every candidate of the level has the same
// complexity and no earlier level can have recorded it, so recording the
// first lowest loss once leaves the same entry as recording every candidate
// in turn.
void record_level_best(SearchState& s, std::uint64_t level, const ScoredLevel& scored,
                       const SearchConfig& config) {
  const double factor = score_factor(config, level);
  const ScoredChild* winner = nullptr;
  double winner_loss = 0.0;
  for (const ScoredChild& item : scored.items) {
    const double loss = item.score / factor;
    if (winner == nullptr || winner_loss > loss) {
      winner = &item;
      winner_loss = loss;
    }
  }
  if (winner != nullptr) record_best(s.best, build(s, level, scored, *winner), winner_loss);
}

Level retain_beam(const SearchState& s, std::uint64_t level, const ScoredLevel& scored,
                  const SearchConfig& config) {
  std::vector<double> scores(scored.items.size());
  for (std::size_t i = 0; i < scores.size(); ++i) scores[i] = scored.items[i].score;
  const auto key_of = [&](std::size_t i) {
    const Child& c = scored.items[i].child;
    const std::string& a = s.levels[left_level(level, c)].keys[c.left];
    const std::string* b = c.unary() ? nullptr : &s.levels[right_level(level, c)].keys[c.right];
    return child_key(a, b, c.op);
  };
  Level kept;
  for (std::size_t i : select_beam_positions(scores, config.beam_width, key_of)) {
    kept.add(build(s, level, scored, scored.items[i]), *s.registry);
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

  const std::vector<std::size_t> unary = s.registry->operators_with_arity(1);
  Expansion unary_children = expand_unary(s.levels, level, unary, *s.registry, s.seen, control);
  stats.formed += unary_children.formed;
  std::vector<Child> candidates = std::move(unary_children.children);
  const std::vector<std::size_t> binary = s.registry->operators_with_arity(2);
  for (std::uint64_t j = 1; j + 2 <= level; ++j) {
    const Expansion formed =
        expand_binary(s.levels, level, j, binary, *s.registry, s.seen, control);
    stats.formed += formed.formed;
    candidates.insert(candidates.end(), formed.children.begin(), formed.children.end());
  }
  stats.admitted = candidates.size();
  if (control != nullptr) {
    if (control->expired()) return std::nullopt;
    control->total.store(candidates.size(), std::memory_order_relaxed);
    control->phase.store(SearchPhase::Scoring, std::memory_order_relaxed);
  }

  ProgressState progress;
  progress.total = candidates.size();
  progress.level = level;
  progress.start = Clock::now();
  const ScoredLevel scored = score_candidates(std::move(candidates), s.levels, level, progress,
                                              s.data, s.targets, *s.registry, config, control);
  if (progress.total > 0) write_stdout("\n");
  // Every candidate counted in the control was scored; a piece skipped after
  // expiry leaves the count short.
  if (control != nullptr && control->scored.load(std::memory_order_relaxed) != progress.total) {
    return std::nullopt;
  }
  stats.scored = scored.items.size();

  record_level_best(s, level, scored, config);
  s.levels.push_back(retain_beam(s, level, scored, config));
  cache_columns(s, s.levels[level]);

  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0);
  write_stdout("[QARN-SR]   -> Level " + std::to_string(level) + " processed in " +
               format_duration(elapsed) + ". Retaining top " +
               std::to_string(s.levels[level].size()) + " candidates.\n");
  stats.retained = s.levels[level].size();
  stats.retained_digest = digest(s.levels[level]);
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
  s.registry = make_builtin_registry();
  // The first row decides which variables are seeded, and no formula reads
  // any other: the search keeps only those columns, however long some later
  // row is (the column store would be as wide as the widest row it holds).
  const std::size_t variables = std::min(rows[0].size(), kMaxSeededVariables);
  s.rows.reserve(rows.size());
  for (const std::vector<double>& row : rows) {
    const std::size_t kept = std::min(row.size(), variables);
    std::vector<Complex>& out = s.rows.emplace_back(kept);
    for (std::size_t i = 0; i < kept; ++i) out[i] = Complex{row[i], 0.0};
  }
  s.data = DataColumns(s.rows);
  s.targets.assign(targets.begin(), targets.end());
  s.levels.resize(2);

  if (control != nullptr) control->level.store(1, std::memory_order_relaxed);
  seed_level(s, variables, config);
  if (control != nullptr) control->completed_levels.store(1, std::memory_order_relaxed);
  if (!should_stop(s.best, config.stop_threshold, config.no_early_stop)) {
    write_stdout("[QARN-SR] Started search space exploration. Level 1 seeded with " +
                 std::to_string(s.levels[1].size()) + " primary nodes.\n");
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
