#include "engine/cluster/driver.h"

#include <algorithm>
#include <cstring>

#include "engine/beam.h"
#include "engine/checkpoint.h"
#include "engine/expand.h"
#include "engine/fingerprint.h"
#include "engine/seen_layer.h"

namespace qarn {

namespace {

// The digests by bucket, one layer per bucket.
std::vector<std::string> bucket_layers(std::span<const FingerprintDigest> digests,
                                       std::size_t buckets) {
  buckets = std::max<std::size_t>(buckets, 1);
  std::vector<std::vector<FingerprintDigest>> by_bucket(buckets);
  for (const FingerprintDigest& d : digests) by_bucket[digest_bucket(d, buckets)].push_back(d);
  std::vector<std::string> out;
  for (const auto& bucket : by_bucket) out.push_back(encode_layer(bucket));
  return out;
}

// A level's seen digests as the checkpoint stores them (checkpoint.h).
constexpr std::size_t kDigestBytes = 16;

std::vector<FingerprintDigest> stored_digests(std::string_view bytes) {
  std::vector<FingerprintDigest> out(bytes.size() / kDigestBytes);
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::memcpy(&out[i].a, bytes.data() + i * kDigestBytes, 8);
    std::memcpy(&out[i].b, bytes.data() + i * kDigestBytes + 8, 8);
  }
  return out;
}

}  // namespace

Expected<std::unique_ptr<ClusterDriver>> ClusterDriver::start(const Rows& rows,
                                                              std::span<const double> targets,
                                                              const SearchConfig& config,
                                                              std::string checkpoint) {
  // The driver only expands the levels' bounds and merges: it needs probes
  // and keys, not the formulas' values on the data.
  auto started = LevelLoop::start(rows, targets, config, nullptr, false);
  if (auto* error = std::get_if<SearchError>(&started)) return std::move(*error);
  std::unique_ptr<ClusterDriver> driver(
      new ClusterDriver(std::move(std::get<std::unique_ptr<LevelLoop>>(started))));
  if (checkpoint.empty()) return driver;
  driver->checkpoint_ = std::move(checkpoint);
  driver->data_hash_ = data_digest(rows, targets);
  const Expected<std::uint64_t> resumed =
      resume_cluster_checkpoint(driver->loop_->state(), driver->checkpoint_, driver->data_hash_,
                                config, driver->seen_levels_);
  if (const SearchError* error = std::get_if<SearchError>(&resumed)) return *error;
  driver->resumed_ = std::get<std::uint64_t>(resumed);
  if (driver->resumed_ > 0) {
    driver->loop_->resumed_at(driver->resumed_);
  } else {
    driver->checkpoint_error_ = write_cluster_checkpoint(
        driver->loop_->state(), driver->checkpoint_, driver->data_hash_, config, 1, {});
  }
  return driver;
}

std::optional<std::vector<std::string>> ClusterDriver::seen_layers(std::uint64_t level,
                                                                   std::size_t buckets) const {
  if (level < 2 || level > resumed_) return std::nullopt;
  return bucket_layers(stored_digests(seen_levels_[level - 2]), buckets);
}

Decoded<bool> ClusterDriver::save_checkpoint(std::span<const std::string_view> layers) {
  if (checkpoint_.empty()) return false;
  const std::uint64_t level = loop_->level();
  if (level != seen_levels_.size() + 2) {
    return Decoded<bool>::refused("level " + std::to_string(level) +
                                  " is not the level after the last checkpoint");
  }
  std::string digests;
  for (std::string_view layer : layers) {
    if (!valid_layer(layer)) return Decoded<bool>::refused("a layer that is not one");
    for (const FingerprintDigest& d : layer_digests(layer)) {
      digests.append(reinterpret_cast<const char*>(&d.a), 8);
      digests.append(reinterpret_cast<const char*>(&d.b), 8);
    }
  }
  seen_levels_.push_back(std::move(digests));
  checkpoint_error_ = write_cluster_checkpoint(loop_->state(), checkpoint_, data_hash_,
                                               loop_->config(), level, seen_levels_);
  return checkpoint_error_.empty();
}

std::optional<std::string> ClusterDriver::level_bytes(std::uint64_t level) const {
  const Levels& levels = loop_->state().levels;
  if (level == 0 || level >= levels.size()) return std::nullopt;
  return encode_formulas(levels[level].formulas);
}

std::vector<std::string> ClusterDriver::first_layers(std::size_t buckets) const {
  std::vector<FingerprintDigest> digests;
  for (const ProbeValues& probes : loop_->state().levels[1].probes) {
    const std::optional<Fingerprint> fp = fingerprint_from_values(probes);
    if (fp) digests.push_back(fingerprint_digest(*fp));
  }
  return bucket_layers(digests, buckets);
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> ClusterDriver::expansion_runs(
    std::size_t runs) const {
  const SearchState& s = loop_->state();
  const std::uint64_t level = loop_->level();
  runs = std::max<std::size_t>(runs, 1);
  const std::size_t unary = enabled_operators(*s.registry, 1, loop_->config()).size();
  const std::size_t binary = enabled_operators(*s.registry, 2, loop_->config()).size();
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

Decoded<ClusterDriver::FirstRound> ClusterDriver::first_round(
    std::span<const std::string_view> summaries) {
  std::vector<LevelWinner> winners;
  std::vector<RunBest> bests;
  for (std::string_view bytes : summaries) {
    Decoded<RunSummary> s = decode_summary(bytes);
    if (!s) return Decoded<FirstRound>::refused(s.reason());
    winners.push_back(s->winner);
    bests.push_back(std::move(s->best));
  }
  has_winner_ = merge_winners(winners, winner_);
  first_ = beam_first_round(bests, beam_width_at(loop_->config(), loop_->level()));
  kept_ = first_.kept;
  return FirstRound{first_.complete, first_.rest, first_.elite_positions, first_.elite_counts};
}

Decoded<std::size_t> ClusterDriver::second_round(std::span<const std::string_view> rests) {
  std::vector<std::vector<BeamEntry>> runs;
  for (std::string_view bytes : rests) {
    Decoded<std::vector<BeamEntry>> entries = decode_entries(bytes);
    if (!entries) return Decoded<std::size_t>::refused(entries.reason());
    runs.push_back(std::move(*entries));
  }
  const std::vector<BeamEntry> rest = beam_second_round(runs, first_.rest);
  kept_.insert(kept_.end(), rest.begin(), rest.end());
  return kept_.size();
}

std::vector<std::vector<std::size_t>> ClusterDriver::wanted(std::size_t runs) const {
  std::vector<std::vector<std::size_t>> out(runs);
  for (const BeamEntry& e : kept_) {
    if (e.run < runs) out[e.run].push_back(e.position);
  }
  if (has_winner_ && winner_.run < runs) out[winner_.run].push_back(winner_.position);
  for (std::vector<std::size_t>& w : out) {
    std::sort(w.begin(), w.end());
    w.erase(std::unique(w.begin(), w.end()), w.end());
  }
  return out;
}

Decoded<std::size_t> ClusterDriver::accept(
    std::span<const std::optional<std::string_view>> formulas) {
  using Result = Decoded<std::size_t>;
  SearchState& s = loop_->state();
  const std::vector<std::vector<std::size_t>> want = wanted(formulas.size());
  std::vector<std::vector<Formula>> runs(formulas.size());
  for (std::size_t r = 0; r < formulas.size(); ++r) {
    if (formulas[r]) {
      Decoded<std::vector<Formula>> decoded = decode_formulas(*formulas[r]);
      if (!decoded) return Result::refused(decoded.reason());
      runs[r] = std::move(*decoded);
    }
    if (runs[r].size() != want[r].size()) {
      return Result::refused("run " + std::to_string(r) + " sent " +
                             std::to_string(runs[r].size()) + " formulas, not the " +
                             std::to_string(want[r].size()) + " wanted");
    }
  }
  const auto formula_at = [&](std::size_t run, std::uint64_t position) -> const Formula* {
    if (run >= runs.size()) return nullptr;
    const std::vector<std::size_t>& w = want[run];
    const auto it = std::lower_bound(w.begin(), w.end(), position);
    if (it == w.end() || *it != position) return nullptr;
    return &runs[run][static_cast<std::size_t>(it - w.begin())];
  };
  const Result missing = Result::refused("the formulas of fewer runs than the beam holds");
  Level level;
  for (const BeamEntry& e : kept_) {
    const Formula* f = formula_at(e.run, e.position);
    if (f == nullptr) return missing;
    level.add(*f, *s.registry);
  }
  if (has_winner_) {
    const Formula* f = formula_at(winner_.run, winner_.position);
    if (f == nullptr) return missing;
    record_best(s.best, *f, winner_.loss);
  }
  kept_.clear();
  has_winner_ = false;
  return static_cast<std::size_t>(loop_->close_level(std::move(level), LevelStats{}).retained);
}

}  // namespace qarn
