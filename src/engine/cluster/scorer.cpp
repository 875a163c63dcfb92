#include "engine/cluster/scorer.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "engine/beam.h"
#include "engine/expand.h"
#include "engine/fingerprint.h"
#include "engine/seen_layer.h"

namespace qarn {
namespace {

struct DigestHash {
  std::size_t operator()(const FingerprintDigest& d) const { return static_cast<std::size_t>(d.a); }
};

const char* const kInvalidChildren = "a run holds children this scorer's levels do not have";

}  // namespace

Decoded<std::unique_ptr<ClusterScorer>> ClusterScorer::create(std::string_view data_bytes,
                                                              std::string_view config_bytes) {
  using Result = Decoded<std::unique_ptr<ClusterScorer>>;
  Decoded<DataSet> data = decode_data(data_bytes);
  if (!data) return Result::refused(data.reason());
  Decoded<SearchConfig> config = decode_config(config_bytes);
  if (!config) return Result::refused(config.reason());
  if (data->rows.empty() || data->rows.size() != data->targets.size()) {
    return Result::refused(kDimensionMismatchText);
  }
  std::unique_ptr<ClusterScorer> scorer(new ClusterScorer());
  scorer->config_ = *config;
  load_search_data(scorer->s_, data->rows, data->targets);
  return scorer;
}

std::string ClusterScorer::unserved(std::uint64_t level) const {
  if (level >= 2 && level <= loaded_ + 1) return {};
  return "level " + std::to_string(level) + " cannot be served with levels 1 to " +
         std::to_string(loaded_) + " loaded";
}

bool ClusterScorer::valid(std::uint64_t level, const Child& c) const {
  const OperatorRegistry& registry = *s_.registry;
  if (c.op >= registry.size()) return false;
  if (c.unary()) {
    return registry.entries[c.op].arity == 1 && c.left < s_.levels[level - 1].size();
  }
  return registry.entries[c.op].arity == 2 && c.split >= 1 && std::uint64_t{c.split} + 2 <= level &&
         c.left < s_.levels[left_level(level, c)].size() &&
         c.right < s_.levels[right_level(level, c)].size();
}

bool ClusterScorer::valid(std::uint64_t level, const ScoredLevel& scored) const {
  for (const ScoredChild& item : scored.items) {
    if (!valid(level, item.child)) return false;
    if (item.fitted == ScoredChild::kUnfitted) continue;
    const Formula& a = left_parent(s_.levels, level, item.child);
    std::size_t params = a.param_count;
    if (!item.child.unary()) params += right_parent(s_.levels, level, item.child).param_count;
    if (item.fitted + params > scored.fitted_values.size()) return false;
  }
  return true;
}

Decoded<ScoredLevel> ClusterScorer::scored_run(std::uint64_t level, std::string_view bytes) const {
  if (std::string why = unserved(level); !why.empty()) {
    return Decoded<ScoredLevel>::refused(std::move(why));
  }
  Decoded<ScoredLevel> scored = decode_scored(bytes);
  if (scored && !valid(level, *scored)) return Decoded<ScoredLevel>::refused(kInvalidChildren);
  return scored;
}

Decoded<std::size_t> ClusterScorer::add_level(std::string_view bytes) {
  Decoded<std::vector<Formula>> formulas = decode_formulas(bytes);
  if (!formulas) return Decoded<std::size_t>::refused(formulas.reason());
  Level level;
  for (Formula& f : *formulas) level.add(std::move(f), *s_.registry);
  const std::size_t size = level.size();
  if (loaded_ == 0) {
    s_.levels[1] = std::move(level);
    cache_columns(s_, s_.levels[1]);
  } else {
    qarn::add_level(s_, std::move(level), true);
  }
  ++loaded_;
  return size;
}

Decoded<std::vector<std::string>> ClusterScorer::form(std::uint64_t level, std::uint64_t begin,
                                                      std::uint64_t end,
                                                      std::size_t buckets) const {
  using Result = Decoded<std::vector<std::string>>;
  if (std::string why = unserved(level); !why.empty()) return Result::refused(std::move(why));
  // Bucket numbers fit a byte.
  if (buckets == 0 || buckets > 256) return Result::refused("buckets must be 1 to 256");
  if (begin > end || end > expansion_items(s_.levels, level)) {
    return Result::refused("the expansion items of a run lie outside the level's");
  }
  FormedChildren formed = form_children(s_.levels, level, begin, end, *s_.registry, config_);
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

Decoded<ClusterScorer::Admission> ClusterScorer::admit(
    std::span<const std::string_view> earlier_layers, std::span<const std::string_view> runs) {
  for (std::string_view layer : earlier_layers) {
    if (!valid_layer(layer)) return Decoded<Admission>::refused("malformed seen layer");
  }
  std::vector<std::vector<FingerprintDigest>> digests;
  for (std::string_view bytes : runs) {
    Decoded<std::vector<FingerprintDigest>> run = decode_digests(bytes);
    if (!run) return Decoded<Admission>::refused(run.reason());
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

Decoded<std::string> ClusterScorer::score(std::uint64_t level, std::string_view formed,
                                          std::size_t run,
                                          std::span<const std::string_view> flags) const {
  using Result = Decoded<std::string>;
  if (std::string why = unserved(level); !why.empty()) return Result::refused(std::move(why));
  Decoded<FormedRun> children = decode_formed(formed);
  if (!children) return Result::refused(children.reason());
  const Result mismatch = Result::refused("the flags do not match the formed run");
  // This run's flags of every bucket, read in the run's order.
  std::vector<std::vector<bool>> bucket_flags;
  for (std::string_view bytes : flags) {
    Decoded<std::vector<std::vector<bool>>> all = decode_flags(bytes);
    if (!all) return Result::refused(all.reason());
    if (run >= all->size()) return mismatch;
    bucket_flags.push_back(std::move((*all)[run]));
  }
  std::vector<std::size_t> next(bucket_flags.size(), 0);
  std::vector<Child> admitted;
  for (std::size_t i = 0; i < children->children.size(); ++i) {
    const std::size_t b = children->buckets[i];
    if (b >= bucket_flags.size() || next[b] >= bucket_flags[b].size()) return mismatch;
    if (bucket_flags[b][next[b]++]) admitted.push_back(children->children[i]);
  }
  for (std::size_t b = 0; b < next.size(); ++b) {
    if (next[b] != bucket_flags[b].size()) return mismatch;
  }
  for (const Child& c : admitted) {
    if (!valid(level, c)) return Result::refused(kInvalidChildren);
  }
  return encode_scored(score_run(s_, level, std::move(admitted), config_));
}

Decoded<std::string> ClusterScorer::summary(std::uint64_t level, std::string_view bytes) const {
  Decoded<ScoredLevel> scored = scored_run(level, bytes);
  if (!scored) return Decoded<std::string>::refused(scored.reason());
  RunSummary summary;
  summary.winner = level_winner(*scored, level, config_);
  const std::vector<double> ranks = scored->ranks();
  summary.best = run_best(ranks, beam_width_at(config_, level), [&](std::size_t i) {
    return scored_key(s_, level, scored->items[i].child);
  });
  return encode_summary(summary);
}

Decoded<std::string> ClusterScorer::rest(
    std::uint64_t level, std::string_view bytes, std::span<const std::size_t> elite,
    const std::unordered_map<std::string, std::uint32_t>& elite_counts, std::uint64_t rest) const {
  Decoded<ScoredLevel> scored = scored_run(level, bytes);
  if (!scored) return Decoded<std::string>::refused(scored.reason());
  if (!std::is_sorted(elite.begin(), elite.end())) {
    return Decoded<std::string>::refused("elite positions must be ascending");
  }
  const std::vector<double> ranks = scored->ranks();
  const std::vector<BeamEntry> entries =
      run_rest(ranks, elite, elite_counts, rest,
               [&](std::size_t i) { return scored_key(s_, level, scored->items[i].child); });
  return encode_entries(entries);
}

Decoded<std::string> ClusterScorer::formulas(std::uint64_t level, std::string_view bytes,
                                             std::span<const std::size_t> positions) const {
  Decoded<ScoredLevel> scored = scored_run(level, bytes);
  if (!scored) return Decoded<std::string>::refused(scored.reason());
  std::vector<Formula> out;
  for (std::size_t i : positions) {
    if (i >= scored->items.size()) {
      return Decoded<std::string>::refused("a wanted position lies outside the scored run");
    }
    out.push_back(scored_formula(s_, level, *scored, scored->items[i]));
  }
  return encode_formulas(out);
}

}  // namespace qarn
