#include "engine/level_steps.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include <tbb/parallel_for.h>

#include "engine/optimizer.h"
#include "ops/batch_evaluate.h"

namespace qarn {
namespace {

// Retained formulas keep their values on the data set, so that their
// children's losses and fits do not evaluate them again. These bound the
// memory those columns may take in one search: parameter-free formulas' values
// serve every pass of a child, the others' only its first iteration.
constexpr std::size_t kColumnBudgetBytes = std::size_t{512} << 20;
constexpr std::size_t kStartColumnBudgetBytes = std::size_t{128} << 20;

Formula parameter_leaf() { return Formula{{Token::parameter(0, Complex{0.1, 0.0})}, "C", 1, 0, 1}; }

Formula variable_leaf(std::size_t i) {
  return Formula{{Token::variable(static_cast<std::uint8_t>(i))},
                 "v_{" + std::to_string(i) + "}",
                 1,
                 static_cast<std::uint8_t>(i + 1),
                 0};
}

}  // namespace

void cache_columns(SearchState& s, Level& level) {
  const std::size_t rows = s.data.rows();
  const std::size_t per_column = rows * (sizeof(Complex) + 1);
  level.columns.resize(level.size());
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < level.size(); ++i) {
    const std::optional<std::size_t> m = fit_start_entries(level.formulas[i].tokens);
    bool has_parameter = false;
    for (const Token& t : level.formulas[i].tokens) has_parameter |= t.kind == TokenKind::Parameter;
    Level::Column& c = level.columns[i];
    if (!has_parameter) {
      if (s.column_bytes + per_column > kColumnBudgetBytes) continue;
      s.column_bytes += per_column;
      c.fixed = true;
    } else {
      if (!m) continue;
      const std::size_t bytes = per_column * (1 + *m);
      if (s.start_column_bytes + bytes > kStartColumnBudgetBytes) continue;
      s.start_column_bytes += bytes;
      c.raised = *m;
    }
    chosen.push_back(i);
  }
  tbb::parallel_for(std::size_t{0}, chosen.size(), [&](std::size_t k) {
    Level::Column& c = level.columns[chosen[k]];
    c.values.resize((1 + c.raised) * rows);
    c.ok.resize(c.values.size());
    operand_columns(level.formulas[chosen[k]].tokens, c.raised, s.data, *s.registry,
                    c.values.data(), c.ok.data());
  });
}

void load_search_data(SearchState& s, const Rows& rows, std::span<const double> targets) {
  s.registry = make_builtin_registry();
  // The first row decides which variables are seeded, and no formula reads
  // any other: the search keeps only those columns, however long some later
  // row is (the column store would be as wide as the widest row it holds).
  const std::size_t variables = rows.empty() ? 0 : std::min(rows[0].size(), kMaxSeededVariables);
  s.data = DataColumns(rows, variables);
  s.targets.assign(targets.begin(), targets.end());
  s.levels.resize(2);
}

void seed_level(SearchState& s, std::size_t variables, const SearchConfig& config) {
  std::vector<Formula> seeds;
  seeds.push_back(parameter_leaf());
  for (std::size_t i = 0; i < std::min(variables, kMaxSeededVariables); ++i) {
    seeds.push_back(variable_leaf(i));
  }
  Optimizer optimizer;
  for (Formula& seed : seeds) {
    const std::optional<Fingerprint> fp = fingerprint(seed, *s.registry);
    if (!fp || s.seen.insert(*fp)) continue;
    double loss = 0.0;
    if (config.full_fit && config.fit_constants && seed.param_count != 0) {
      // Under the full fit the parameter leaf is fitted like every other
      // candidate, and kept with its fitted value.
      loss = optimizer
                 .score(seed.tokens, s.data, s.targets, *s.registry, config.alpha, config.l1_ratio,
                        kFullScoreIterations, {}, nullptr, {.full_fit = true})
                 .loss;
    } else {
      loss = optimizer.loss(seed.tokens, s.data, s.targets, *s.registry, config.alpha,
                            config.l1_ratio);
    }
    if (std::isfinite(loss)) record_best(s.best, seed, loss);
    s.levels[1].add(std::move(seed), *s.registry);
  }
}

Expansion expand_level(SearchState& s, std::uint64_t level, const SearchConfig& config,
                       SearchControl* control) {
  Expansion out;
  const std::vector<std::size_t> unary = enabled_operators(*s.registry, 1, config);
  expand_unary(s.levels, level, unary, *s.registry, s.seen, out, control);
  const std::vector<std::size_t> binary = enabled_operators(*s.registry, 2, config);
  for (std::uint64_t j = 1; j + 2 <= level; ++j) {
    expand_binary(s.levels, level, j, binary, *s.registry, s.seen, out, control);
  }
  return out;
}

Expansion expand_level(SearchState& s, std::uint64_t level, SearchControl* control) {
  return expand_level(s, level, SearchConfig{}, control);
}

void add_level(SearchState& s, Level level, bool cache) {
  if (cache) cache_columns(s, level);
  s.levels.push_back(std::move(level));
}

LevelWinner level_winner(std::span<const double> scores, std::uint64_t level,
                         const SearchConfig& config) {
  const double factor = score_factor(config, level);
  LevelWinner w;
  w.count = scores.size();
  for (std::size_t i = 0; i < scores.size(); ++i) {
    const double loss = scores[i] / factor;
    if (std::isnan(loss)) {
      if (i == 0) w.first_is_nan = true;
      continue;
    }
    if (!w.has_number || w.loss > loss) {
      w.has_number = true;
      w.position = i;
      w.loss = loss;
    }
  }
  return w;
}

LevelWinner level_winner(const ScoredLevel& scored, std::uint64_t level,
                         const SearchConfig& config) {
  return level_winner(scored.scores(), level, config);
}

bool merge_winners(std::span<const LevelWinner> runs, WinnerPlace& out) {
  // The first entry of the whole run decides whether NaN keeps the place.
  std::size_t first = 0;
  while (first < runs.size() && runs[first].count == 0) ++first;
  if (first == runs.size()) return false;
  if (runs[first].first_is_nan) {
    out = {first, 0, std::nan("")};
    return true;
  }
  bool found = false;
  for (std::size_t p = first; p < runs.size(); ++p) {
    if (!runs[p].has_number) continue;
    if (!found || out.loss > runs[p].loss) {
      out = {p, runs[p].position, runs[p].loss};
      found = true;
    }
  }
  return found;
}

Formula scored_formula(const SearchState& s, std::uint64_t level, const ScoredLevel& scored,
                       const ScoredChild& item) {
  Formula f = materialize(s.levels, level, item.child, *s.registry);
  if (item.fitted != ScoredChild::kUnfitted)
    store_parameters(f, &scored.fitted_values[item.fitted]);
  return f;
}

std::string scored_key(const SearchState& s, std::uint64_t level, const Child& c) {
  const std::string& a = s.levels[left_level(level, c)].keys[c.left];
  const std::string* b = c.unary() ? nullptr : &s.levels[right_level(level, c)].keys[c.right];
  return child_key(a, b, c.op);
}

ScoredLevel score_run(const SearchState& s, std::uint64_t level, std::vector<Child> children,
                      const SearchConfig& config) {
  return score_candidates(children, s.levels, level, s.data, s.targets, *s.registry, config);
}

}  // namespace qarn
