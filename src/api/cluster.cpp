#include "api/cluster.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include <tbb/parallel_for.h>

#include "api/checks.h"
#include "engine/beam.h"
#include "engine/expand.h"
#include "engine/fingerprint.h"
#include "engine/level_steps.h"
#include "engine/progress.h"
#include "engine/seen_layer.h"
#include "engine/wire.h"

namespace qarn {

std::string encode_search_data(const Rows& rows, std::span<const double> targets) {
  return encode_data(rows, targets);
}

std::string encode_search_config(const SearchConfig& config) { return encode_config(config); }

namespace {

struct DigestHash {
  std::size_t operator()(const FingerprintDigest& d) const { return static_cast<std::size_t>(d.a); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Driver

struct ClusterDriver::State {
  SearchConfig config;
  SearchState s;
  std::vector<LevelWinner> winners;  // per run of the level being built
  BeamFirstRound first;
  std::vector<BeamEntry> kept;  // beam of the level being built, in order
  bool has_winner = false;
  WinnerPlace winner;
};

ClusterDriver::ClusterDriver() : state_(std::make_unique<State>()) {}
ClusterDriver::~ClusterDriver() = default;

std::optional<Expected<std::unique_ptr<ClusterDriver>>> ClusterDriver::start(
    std::string_view data_bytes, std::string_view config_bytes) {
  std::optional<DataSet> data = decode_data(data_bytes);
  std::optional<SearchConfig> config = decode_config(config_bytes);
  if (!data || !config) return std::nullopt;
  if (auto error = check_settings(*config)) return *std::move(error);
  if (auto error = check_inputs(data->rows)) return *std::move(error);
  if (data->rows.size() != data->targets.size() || data->rows.empty()) {
    return SearchError::dimension_mismatch(kDimensionMismatchText);
  }
  if (config->max_complexity == 0) return SearchError::no_formula_found(0);
  std::unique_ptr<ClusterDriver> driver(new ClusterDriver());
  State& st = *driver->state_;
  st.config = *config;
  load_search_data(st.s, data->rows, data->targets);
  seed_level(st.s, data->rows[0].size(), st.config);
  return driver;
}

bool ClusterDriver::should_stop() {
  return qarn::should_stop(state_->s.best, state_->config.stop_threshold,
                           state_->config.no_early_stop);
}

std::optional<std::size_t> ClusterDriver::level_size(std::uint64_t level) const {
  if (level == 0 || level >= state_->s.levels.size()) return std::nullopt;
  return state_->s.levels[level].size();
}

std::optional<std::string> ClusterDriver::level_bytes(std::uint64_t level) const {
  if (level == 0 || level >= state_->s.levels.size()) return std::nullopt;
  return encode_formulas(state_->s.levels[level].formulas);
}

std::optional<ClusterDriver::Runs> ClusterDriver::expand(std::uint64_t level, std::size_t runs) {
  if (level != state_->s.levels.size() || runs == 0) return std::nullopt;
  Expansion expansion = expand_level(state_->s, level);
  Runs out;
  out.formed = expansion.formed;
  const std::size_t n = expansion.children.size();
  const std::size_t count = std::min(runs, n);
  for (std::size_t p = 0; p < count; ++p) {
    const std::size_t begin = n * p / count;
    const std::size_t end = n * (p + 1) / count;
    out.lengths.push_back(end - begin);
    out.children.push_back(encode_children(expansion.children.copy(begin, end)));
  }
  return out;
}

std::optional<std::vector<std::pair<std::uint64_t, std::uint64_t>>> ClusterDriver::expansion_ranges(
    std::uint64_t level, std::size_t runs) const {
  const SearchState& s = state_->s;
  if (level != s.levels.size() || runs == 0) return std::nullopt;
  const std::size_t unary = s.registry->operators_with_arity(1).size();
  const std::size_t binary = s.registry->operators_with_arity(2).size();
  const std::uint64_t items = expansion_items(s.levels, level);
  std::vector<std::uint64_t> weight(items);
  std::uint64_t total = 0;
  for (std::uint64_t k = 0; k < items; ++k) {
    weight[k] = item_children(s.levels, level, k, unary, binary);
    total += weight[k];
  }
  // Cut where the running total passes each p / runs of the whole.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  std::uint64_t begin = 0;
  std::uint64_t sum = 0;
  for (std::uint64_t k = 0; k < items; ++k) {
    sum += weight[k];
    const std::size_t p = out.size() + 1;
    if (p < runs && sum * runs >= total * p) {
      out.emplace_back(begin, k + 1);
      begin = k + 1;
    }
  }
  if (begin < items) out.emplace_back(begin, items);
  return out;
}

std::vector<std::string> ClusterDriver::first_layers(std::size_t buckets) const {
  buckets = std::max<std::size_t>(buckets, 1);
  std::vector<std::vector<FingerprintDigest>> digests(buckets);
  for (const ProbeValues& probes : state_->s.levels[1].probes) {
    const std::optional<Fingerprint> fp = fingerprint_from_values(probes);
    if (!fp) continue;
    const FingerprintDigest d = fingerprint_digest(*fp);
    digests[digest_bucket(d, buckets)].push_back(d);
  }
  std::vector<std::string> out;
  for (const auto& bucket : digests) out.push_back(encode_layer(bucket));
  return out;
}

std::optional<ClusterDriver::FirstRound> ClusterDriver::first_round(
    std::span<const std::string_view> summaries) {
  State& st = *state_;
  st.winners.clear();
  std::vector<RunBest> bests;
  for (std::string_view bytes : summaries) {
    std::optional<RunSummary> s = decode_summary(bytes);
    if (!s) return std::nullopt;
    st.winners.push_back(s->winner);
    bests.push_back(std::move(s->best));
  }
  st.has_winner = merge_winners(st.winners, st.winner);
  st.first = beam_first_round(bests, st.config.beam_width);
  st.kept = st.first.kept;
  return FirstRound{st.first.complete, st.first.rest, st.first.elite_positions,
                    st.first.elite_counts};
}

bool ClusterDriver::second_round(std::span<const std::string_view> rests) {
  std::vector<std::vector<BeamEntry>> runs;
  for (std::string_view bytes : rests) {
    std::optional<std::vector<BeamEntry>> entries = decode_entries(bytes);
    if (!entries) return false;
    runs.push_back(std::move(*entries));
  }
  const std::vector<BeamEntry> rest = beam_second_round(runs, state_->first.rest);
  state_->kept.insert(state_->kept.end(), rest.begin(), rest.end());
  return true;
}

std::vector<std::vector<std::size_t>> ClusterDriver::wanted(std::size_t runs) const {
  const State& st = *state_;
  std::vector<std::vector<std::size_t>> out(runs);
  for (const BeamEntry& e : st.kept) {
    if (e.part < runs) out[e.part].push_back(e.position);
  }
  if (st.has_winner && st.winner.part < runs) out[st.winner.part].push_back(st.winner.position);
  for (std::vector<std::size_t>& w : out) {
    std::sort(w.begin(), w.end());
    w.erase(std::unique(w.begin(), w.end()), w.end());
  }
  return out;
}

std::optional<std::size_t> ClusterDriver::accept(
    std::span<const std::optional<std::string_view>> formulas) {
  State& st = *state_;
  const std::vector<std::vector<std::size_t>> want = wanted(formulas.size());
  std::vector<std::vector<Formula>> runs(formulas.size());
  for (std::size_t p = 0; p < formulas.size(); ++p) {
    if (formulas[p]) {
      std::optional<std::vector<Formula>> decoded = decode_formulas(*formulas[p]);
      if (!decoded) return std::nullopt;
      runs[p] = std::move(*decoded);
    }
    if (runs[p].size() != want[p].size()) return std::nullopt;
  }
  const auto formula_at = [&](std::size_t part, std::uint64_t position) -> const Formula* {
    if (part >= runs.size()) return nullptr;
    const std::vector<std::size_t>& w = want[part];
    const auto it = std::lower_bound(w.begin(), w.end(), position);
    if (it == w.end() || *it != position) return nullptr;
    return &runs[part][static_cast<std::size_t>(it - w.begin())];
  };
  Level level;
  for (const BeamEntry& e : st.kept) {
    const Formula* f = formula_at(e.part, e.position);
    if (f == nullptr) return std::nullopt;
    level.add(*f, *st.s.registry);
  }
  if (st.has_winner) {
    const Formula* f = formula_at(st.winner.part, st.winner.position);
    if (f == nullptr) return std::nullopt;
    record_best(st.s.best, *f, st.winner.loss);
  }
  const std::size_t retained = level.size();
  // The driver only expands: it needs probes and keys, not cached columns.
  add_level(st.s, std::move(level), false);
  st.kept.clear();
  st.has_winner = false;
  return retained;
}

Expected<std::vector<SearchResult>> ClusterDriver::front() {
  return extract_front(state_->s.best, state_->s.registry, state_->config, state_->s.rows,
                       state_->s.targets);
}

// ---------------------------------------------------------------------------
// Scorer

struct ClusterScorer::State {
  SearchConfig config;
  SearchState s;
  std::uint64_t loaded = 0;

  // Children of a level read only the levels below it, whatever came after.
  bool serves(std::uint64_t level) const { return level >= 2 && level <= loaded + 1; }

  // A child of `level` whose parents and operator exist.
  bool valid(std::uint64_t level, const Child& c) const {
    const OperatorRegistry& registry = *s.registry;
    if (c.op >= registry.size()) return false;
    if (c.unary()) {
      return registry.entries[c.op].arity == 1 && c.left < s.levels[level - 1].size();
    }
    return registry.entries[c.op].arity == 2 && c.split >= 1 &&
           std::uint64_t{c.split} + 2 <= level && c.left < s.levels[left_level(level, c)].size() &&
           c.right < s.levels[right_level(level, c)].size();
  }

  // A scored run of `level` whose children are valid and whose fitted values
  // are all in its store.
  bool valid(std::uint64_t level, const ScoredLevel& scored) const {
    for (const ScoredChild& item : scored.items) {
      if (!valid(level, item.child)) return false;
      if (item.fitted == ScoredChild::kUnfitted) continue;
      const Formula& a = left_parent(s.levels, level, item.child);
      std::size_t params = a.param_count;
      if (!item.child.unary()) params += right_parent(s.levels, level, item.child).param_count;
      if (item.fitted + params > scored.fitted_values.size()) return false;
    }
    return true;
  }
};

ClusterScorer::ClusterScorer() : state_(std::make_unique<State>()) {}
ClusterScorer::~ClusterScorer() = default;

std::unique_ptr<ClusterScorer> ClusterScorer::create(std::string_view data_bytes,
                                                     std::string_view config_bytes) {
  std::optional<DataSet> data = decode_data(data_bytes);
  std::optional<SearchConfig> config = decode_config(config_bytes);
  if (!data || !config || data->rows.empty() || data->rows.size() != data->targets.size()) {
    return nullptr;
  }
  std::unique_ptr<ClusterScorer> scorer(new ClusterScorer());
  scorer->state_->config = *config;
  load_search_data(scorer->state_->s, data->rows, data->targets);
  return scorer;
}

std::uint64_t ClusterScorer::loaded() const { return state_->loaded; }

bool ClusterScorer::add_level(std::string_view bytes) {
  State& st = *state_;
  std::optional<std::vector<Formula>> formulas = decode_formulas(bytes);
  if (!formulas) return false;
  Level level;
  for (Formula& f : *formulas) level.add(std::move(f), *st.s.registry);
  if (st.loaded == 0) {
    st.s.levels[1] = std::move(level);
    cache_columns(st.s, st.s.levels[1]);
  } else {
    qarn::add_level(st.s, std::move(level), true);
  }
  ++st.loaded;
  return true;
}

std::optional<std::vector<std::string>> ClusterScorer::form(std::uint64_t level,
                                                            std::uint64_t begin, std::uint64_t end,
                                                            std::size_t buckets) const {
  const State& st = *state_;
  // Forming needs every level below `level`, and bucket numbers fit a byte.
  if (level < 2 || level > st.loaded + 1 || buckets == 0 || buckets > 256 || begin > end) {
    return std::nullopt;
  }
  FormedChildren formed = form_children(st.s.levels, level, begin, end, *st.s.registry);
  FormedRun run;
  run.formed = formed.formed;
  std::vector<std::vector<FingerprintDigest>> digests(buckets);
  // Of equal fingerprints within the run only the first can be admitted, so
  // the later ones are dropped here already.
  std::unordered_set<FingerprintDigest, DigestHash> seen_here;
  for (std::size_t i = 0; i < formed.children.size(); ++i) {
    const FingerprintDigest d = fingerprint_digest(formed.fingerprints[i]);
    if (!seen_here.insert(d).second) continue;
    const std::size_t bucket = digest_bucket(d, buckets);
    run.children.push_back(formed.children[i]);
    run.buckets.push_back(static_cast<std::uint8_t>(bucket));
    digests[bucket].push_back(d);
  }
  std::vector<std::string> out;
  out.push_back(encode_formed(run));
  for (const auto& bucket : digests) out.push_back(encode_digests(bucket));
  return out;
}

std::optional<ClusterScorer::Admission> ClusterScorer::admit(
    std::span<const std::string_view> earlier_layers, std::span<const std::string_view> runs) {
  for (std::string_view layer : earlier_layers) {
    if (!valid_layer(layer)) return std::nullopt;
  }
  std::vector<std::vector<FingerprintDigest>> digests;
  for (std::string_view bytes : runs) {
    std::optional<std::vector<FingerprintDigest>> run = decode_digests(bytes);
    if (!run) return std::nullopt;
    digests.push_back(std::move(*run));
  }
  BucketAdmission admission = admit_bucket(earlier_layers, digests);
  Admission out;
  out.layer = std::move(admission.layer);
  for (const std::vector<bool>& flags : admission.admitted) {
    out.admitted.push_back(
        static_cast<std::uint64_t>(std::count(flags.begin(), flags.end(), true)));
  }
  out.flags = encode_flags(admission.admitted);
  return out;
}

std::optional<std::string> ClusterScorer::score_admitted(
    std::uint64_t level, std::string_view formed, std::size_t run,
    std::span<const std::string_view> flags) const {
  const State& st = *state_;
  std::optional<FormedRun> children = decode_formed(formed);
  if (!children || !st.serves(level)) return std::nullopt;
  // This run's flags of every bucket, read in the run's order.
  std::vector<std::vector<bool>> bucket_flags;
  for (std::string_view bytes : flags) {
    std::optional<std::vector<std::vector<bool>>> all = decode_flags(bytes);
    if (!all || run >= all->size()) return std::nullopt;
    bucket_flags.push_back(std::move((*all)[run]));
  }
  std::vector<std::size_t> next(bucket_flags.size(), 0);
  std::vector<Child> admitted;
  for (std::size_t i = 0; i < children->children.size(); ++i) {
    const std::size_t b = children->buckets[i];
    if (b >= bucket_flags.size() || next[b] >= bucket_flags[b].size()) return std::nullopt;
    if (bucket_flags[b][next[b]++]) admitted.push_back(children->children[i]);
  }
  for (std::size_t b = 0; b < next.size(); ++b) {
    if (next[b] != bucket_flags[b].size()) return std::nullopt;
  }
  for (const Child& c : admitted) {
    if (!st.valid(level, c)) return std::nullopt;
  }
  return encode_scored(score_range(st.s, level, std::move(admitted), st.config));
}

std::optional<std::string> ClusterScorer::score(std::uint64_t level,
                                                std::string_view children) const {
  const State& st = *state_;
  std::optional<std::vector<Child>> run = decode_children(children);
  if (!run || !st.serves(level)) return std::nullopt;
  for (const Child& c : *run) {
    if (!st.valid(level, c)) return std::nullopt;
  }
  return encode_scored(score_range(st.s, level, std::move(*run), st.config));
}

std::optional<std::string> ClusterScorer::summary(std::uint64_t level,
                                                  std::string_view bytes) const {
  const State& st = *state_;
  std::optional<ScoredLevel> scored = decode_scored(bytes);
  if (!scored || !st.serves(level) || !st.valid(level, *scored)) return std::nullopt;
  RunSummary summary;
  summary.winner = level_winner(*scored, level, st.config);
  const std::vector<double> scores = scored->scores();
  summary.best = run_best(scores, st.config.beam_width, [&](std::size_t i) {
    return scored_key(st.s, level, scored->items[i].child);
  });
  return encode_summary(summary);
}

std::optional<std::string> ClusterScorer::rest(
    std::uint64_t level, std::string_view bytes, std::span<const std::size_t> elite,
    const std::unordered_map<std::string, std::uint32_t>& elite_counts, std::uint64_t rest) const {
  const State& st = *state_;
  std::optional<ScoredLevel> scored = decode_scored(bytes);
  if (!scored || !st.serves(level) || !st.valid(level, *scored) ||
      !std::is_sorted(elite.begin(), elite.end())) {
    return std::nullopt;
  }
  const std::vector<double> scores = scored->scores();
  const std::vector<BeamEntry> entries =
      run_rest(scores, elite, elite_counts, rest,
               [&](std::size_t i) { return scored_key(st.s, level, scored->items[i].child); });
  return encode_entries(entries);
}

std::optional<std::string> ClusterScorer::formulas(std::uint64_t level, std::string_view bytes,
                                                   std::span<const std::size_t> positions) const {
  const State& st = *state_;
  std::optional<ScoredLevel> scored = decode_scored(bytes);
  if (!scored || !st.serves(level) || !st.valid(level, *scored)) return std::nullopt;
  std::vector<Formula> out;
  for (std::size_t i : positions) {
    if (i >= scored->items.size()) return std::nullopt;
    out.push_back(scored_formula(st.s, level, *scored, scored->items[i]));
  }
  return encode_formulas(out);
}

// ---------------------------------------------------------------------------
// Console

std::string exploration_started_line(std::size_t seeded) { return started_text(seeded); }

std::string level_finished_line(std::uint64_t level, std::chrono::nanoseconds elapsed,
                                std::size_t retained) {
  return level_done_text(level, elapsed, retained);
}

std::string scoring_progress_line(std::uint64_t level, std::uint64_t pct, std::uint64_t done,
                                  std::uint64_t total, double elapsed, double remaining) {
  return progress_text(level, pct, done, total, elapsed, remaining);
}

void write_console(std::string_view text) { write_stdout(text); }

}  // namespace qarn
