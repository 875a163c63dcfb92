#include <doctest/doctest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "engine/beam.h"
#include "engine/bfs.h"
#include "engine/cluster/driver.h"
#include "engine/cluster/scorer.h"
#include "engine/level_steps.h"
#include "engine/seen_layer.h"
#include "engine/wire.h"
#include "test_util.h"

namespace qarn {
namespace {

using namespace test;
using namespace test::idx;

// Cut points of n entries into `runs` consecutive runs, some possibly empty.
std::vector<std::size_t> random_cuts(std::mt19937_64& rng, std::size_t n, std::size_t runs) {
  std::vector<std::size_t> cuts{0};
  std::uniform_int_distribution<std::size_t> at(0, n);
  for (std::size_t r = 1; r < runs; ++r) cuts.push_back(at(rng));
  cuts.push_back(n);
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

TEST_CASE("the beam chosen from runs in two rounds is the beam of the joined level") {
  std::mt19937_64 rng(20261208);
  const double specials[] = {kNaN, kInf, 0.0, 1.0, 1.0};
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 60)(rng);
    std::vector<double> scores(n);
    std::vector<std::string> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
      // Many ties, NaN and infinity among the scores; few distinct keys.
      const auto pick = std::uniform_int_distribution<int>(0, 9)(rng);
      scores[i] = pick < 5 ? specials[pick] : static_cast<double>(pick % 4) * 0.5;
      keys[i] = std::to_string(std::uniform_int_distribution<int>(0, 3)(rng));
    }
    const std::uint64_t width = std::uniform_int_distribution<std::uint64_t>(0, n + 3)(rng);
    const std::size_t runs = std::uniform_int_distribution<std::size_t>(1, 6)(rng);
    const std::vector<std::size_t> cuts = random_cuts(rng, n, runs);
    CAPTURE(trial);

    const std::vector<std::size_t> expected =
        select_beam_positions(scores, width, [&](std::size_t i) { return keys[i]; });

    std::vector<RunBest> bests(runs);
    const auto run_of = [&](std::size_t r) {
      return std::span<const double>(scores.data() + cuts[r], cuts[r + 1] - cuts[r]);
    };
    for (std::size_t r = 0; r < runs; ++r) {
      bests[r] = run_best(run_of(r), width, [&](std::size_t i) { return keys[cuts[r] + i]; });
    }
    const BeamFirstRound first = beam_first_round(bests, width);
    std::vector<BeamEntry> kept = first.kept;
    if (!first.complete) {
      std::vector<std::vector<BeamEntry>> rests(runs);
      for (std::size_t r = 0; r < runs; ++r) {
        rests[r] = run_rest(run_of(r), first.elite_positions[r], first.elite_counts, first.rest,
                            [&](std::size_t i) { return keys[cuts[r] + i]; });
      }
      const std::vector<BeamEntry> rest = beam_second_round(rests, first.rest);
      kept.insert(kept.end(), rest.begin(), rest.end());
    }
    std::vector<std::size_t> got;
    for (const BeamEntry& e : kept) got.push_back(cuts[e.run] + e.position);
    CHECK(got == expected);

    // The local driver's form: equal runs of any length.
    const std::size_t run_length = std::uniform_int_distribution<std::size_t>(1, n + 2)(rng);
    CHECK(select_beam_in_runs(scores, width, run_length, [&](std::size_t i) { return keys[i]; }) ==
          expected);
  }
}

TEST_CASE("level winners of runs merge into the winner of the whole level") {
  std::mt19937_64 rng(7);
  SearchConfig config;
  config.complexity_penalty = 0.0;  // loss = score
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 12)(rng);
    ScoredLevel whole;
    for (std::size_t i = 0; i < n; ++i) {
      const auto pick = std::uniform_int_distribution<int>(0, 4)(rng);
      whole.items.push_back({Child{}, pick == 0 ? kNaN : static_cast<double>(pick % 3)});
    }
    // The local driver's rule: the first entry, replaced by any strictly lower loss.
    std::size_t expected = 0;
    for (std::size_t i = 1; i < n; ++i) {
      if (whole.items[expected].score > whole.items[i].score) expected = i;
    }
    const std::size_t runs = std::uniform_int_distribution<std::size_t>(1, 5)(rng);
    const std::vector<std::size_t> cuts = random_cuts(rng, n, runs);
    std::vector<LevelWinner> winners;
    for (std::size_t r = 0; r < runs; ++r) {
      ScoredLevel run;
      run.items.assign(whole.items.begin() + static_cast<std::ptrdiff_t>(cuts[r]),
                       whole.items.begin() + static_cast<std::ptrdiff_t>(cuts[r + 1]));
      winners.push_back(level_winner(run, 3, config));
    }
    WinnerPlace place;
    CAPTURE(trial);
    REQUIRE(merge_winners(winners, place));
    CHECK(cuts[place.run] + place.position == expected);
    CHECK(same_bits(place.loss, whole.items[expected].score));
  }
  WinnerPlace unused;
  CHECK_FALSE(merge_winners(std::vector<LevelWinner>(3), unused));
}

TEST_CASE("byte forms round-trip exactly and refuse every truncation") {
  Formula f = binary(kPlus, "Plus", unary(kSin, "Sin", var(1)), param(0.1));
  f.tokens[2].value = Complex{std::nextafter(1.0, 2.0), -0.0};
  const std::vector<Formula> formulas{f, var(0), param(kNaN)};
  const std::string bytes = encode_formulas(formulas);
  const auto back = decode_formulas(bytes);
  REQUIRE(back);
  REQUIRE(back->size() == 3);
  CHECK((*back)[0].text == f.text);
  CHECK((*back)[0].param_count == f.param_count);
  CHECK(same_bits((*back)[0].tokens[2].value.re, f.tokens[2].value.re));
  CHECK(same_bits((*back)[0].tokens[2].value.im, -0.0));
  CHECK(std::isnan((*back)[2].tokens[0].value.re));
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    CHECK_FALSE(decode_formulas(std::string_view(bytes).substr(0, cut)));
  }
  CHECK_FALSE(decode_formulas(bytes + "x"));

  ScoredLevel scored;
  scored.items.push_back({Child{1, 2, 3, 4}, 0.5, 0});
  scored.items.push_back({Child{5, 0, Child::kUnary, 6}, kInf, ScoredChild::kUnfitted});
  scored.fitted_values = {1.25, -3.0};
  const std::string run = encode_scored(scored);
  const auto run_back = decode_scored(run);
  REQUIRE(run_back);
  CHECK(run_back->items[1].child.unary());
  CHECK(run_back->items[0].child.op == 4);
  CHECK(run_back->fitted_values == scored.fitted_values);
  for (std::size_t cut = 0; cut < run.size(); ++cut) {
    CHECK_FALSE(decode_scored(std::string_view(run).substr(0, cut)));
  }
  // A fitted index outside the store is refused.
  scored.items[0].fitted = 7;
  CHECK_FALSE(decode_scored(encode_scored(scored)));
}

// The console lines of a search without durations or progress redraws.
std::vector<std::string> without_durations(const std::string& out) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < out.size()) {
    std::size_t end = out.find_first_of("\r\n", at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    at = end + 1;
    if (!line.starts_with("[QARN-SR]")) continue;
    const std::size_t in = line.find(" processed in ");
    const std::size_t dot = line.find(". Retaining");
    if (in != std::string::npos && dot != std::string::npos) line.replace(in, dot - in, " _");
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string_view> views(const std::vector<std::string>& v) {
  return std::vector<std::string_view>(v.begin(), v.end());
}

// Runs a search through a driver and `runs`-way scorers in this process, as
// the Dask module does, and returns the front. The scorers form the children
// and deduplicate them in `buckets` hash buckets.
Expected<std::vector<SearchResult>> cluster_search(const Rows& rows,
                                                   const std::vector<double>& targets,
                                                   const SearchConfig& config, std::size_t runs,
                                                   std::size_t buckets,
                                                   std::vector<std::uint64_t>& admitted) {
  auto started = ClusterDriver::start(rows, targets, config);
  if (auto* error = std::get_if<SearchError>(&started)) return *error;
  ClusterDriver& driver = *std::get<std::unique_ptr<ClusterDriver>>(started);
  const std::string data = encode_data(rows, targets);
  const std::string settings = encode_config(config);
  // Two scorers, as two worker processes: runs alternate between them.
  std::unique_ptr<ClusterScorer> scorers[2] = {std::move(*ClusterScorer::create(data, settings)),
                                               std::move(*ClusterScorer::create(data, settings))};
  for (auto& sc : scorers) REQUIRE(sc->add_level(*driver.level_bytes(1)));
  std::vector<std::vector<std::string>> layers;  // per bucket, per level
  for (std::string& layer : driver.first_layers(buckets)) layers.push_back({std::move(layer)});
  while (const auto level = driver.next_level()) {
    std::vector<std::string> scored, summaries, rests, formulas;
    const auto bounds = driver.expansion_runs(runs);
    std::vector<std::vector<std::string>> formed;
    for (std::size_t p = 0; p < bounds.size(); ++p) {
      auto run = scorers[p % 2]->form(*level, bounds[p].first, bounds[p].second, buckets);
      REQUIRE(run);
      formed.push_back(std::move(*run));
    }
    std::vector<std::string> flags;
    std::uint64_t count = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
      std::vector<std::string_view> pieces;
      for (const auto& run : formed) pieces.push_back(run[1 + b]);
      auto admission = ClusterScorer::admit(views(layers[b]), pieces);
      REQUIRE(admission);
      layers[b].push_back(std::move(admission->layer));
      flags.push_back(std::move(admission->flags));
      for (std::uint64_t n : admission->admitted) count += n;
    }
    admitted.push_back(count);
    driver.start_scoring(count);
    for (std::size_t p = 0; p < formed.size(); ++p) {
      auto run = scorers[(p + 1) % 2]->score(*level, formed[p][0], p, views(flags));
      REQUIRE(run);
      scored.push_back(std::move(*run));
    }
    driver.end_scoring();
    for (std::size_t p = 0; p < scored.size(); ++p) {
      summaries.push_back(*scorers[(p + 1) % 2]->summary(*level, scored[p]));
    }
    const auto first = driver.first_round(views(summaries));
    REQUIRE(first);
    if (!first->complete) {
      for (std::size_t p = 0; p < scored.size(); ++p) {
        rests.push_back(*scorers[p % 2]->rest(*level, scored[p], first->elite_positions[p],
                                              first->elite_counts, first->rest));
      }
      REQUIRE(driver.second_round(views(rests)));
    }
    const auto wanted = driver.wanted(scored.size());
    std::vector<std::optional<std::string_view>> pieces;
    formulas.reserve(scored.size());
    for (std::size_t p = 0; p < scored.size(); ++p) {
      formulas.push_back(*scorers[p % 2]->formulas(*level, scored[p], wanted[p]));
      pieces.emplace_back(formulas.back());
    }
    REQUIRE(driver.accept(pieces));
    for (auto& sc : scorers) REQUIRE(sc->add_level(*driver.level_bytes(*level)));
  }
  return driver.front();
}

TEST_CASE("a search through a driver and scorers returns the local front bit for bit") {
  Rows rows;
  std::vector<double> targets;
  for (double x = -2.0; x <= 2.0; x += 0.25) {
    rows.push_back({x, 1.0 - x * x});
    targets.push_back(x * std::sin(x) + 0.5 * (1.0 - x * x));
  }
  SearchConfig config;
  config.max_complexity = 5;
  config.beam_width = 15;
  config.no_early_stop = true;
  for (double alpha : {0.0, 0.1}) {
    config.alpha = alpha;
    // The second search also gives level 3 a narrower beam of its own.
    config.level_beam_widths[1] = alpha == 0.0 ? 0 : 4;
    Expected<std::vector<SearchResult>> local;
    std::vector<LevelStats> stats;
    const std::string local_lines =
        capture_stdout([&] { local = run_search(rows, targets, config, &stats); });
    CHECK((local_lines.find("Retaining top 4 ") != std::string::npos) == (alpha != 0.0));
    std::vector<std::uint64_t> local_admitted;
    for (const LevelStats& level : stats) local_admitted.push_back(level.admitted);
    REQUIRE(std::holds_alternative<std::vector<SearchResult>>(local));
    const auto& expected = std::get<std::vector<SearchResult>>(local);
    for (std::size_t runs : {1, 4, 1000}) {
      for (std::size_t buckets : {1, 3}) {
        CAPTURE(runs);
        CAPTURE(buckets);
        std::vector<std::uint64_t> admitted;
        Expected<std::vector<SearchResult>> remote;
        std::string remote_lines;
        remote_lines = capture_stdout(
            [&] { remote = cluster_search(rows, targets, config, runs, buckets, admitted); });
        CHECK(without_durations(remote_lines) == without_durations(local_lines));
        CHECK(admitted == local_admitted);
        REQUIRE(std::holds_alternative<std::vector<SearchResult>>(remote));
        const auto& got = std::get<std::vector<SearchResult>>(remote);
        REQUIRE(got.size() == expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
          CHECK(got[i].formula == expected[i].formula);
          CHECK(same_bits(got[i].loss, expected[i].loss));
        }
      }
    }
  }
  // The local search's errors, before anything is built.
  const std::vector<double> one_target{1.0};
  const auto mismatch = ClusterDriver::start(rows, one_target, config);
  CHECK(std::get<SearchError>(mismatch).message() == kDimensionMismatchText);
}

TEST_CASE("scorers refuse runs they cannot serve, and messages of another kind or version") {
  const Rows rows{{1.0}, {2.0}};
  const std::vector<double> targets{1.0, 2.0};
  const std::string data = encode_data(rows, targets);
  const std::string settings = encode_config(SearchConfig{});
  auto created = ClusterScorer::create(data, settings);
  REQUIRE(created);
  ClusterScorer& scorer = **created;
  REQUIRE(scorer.add_level(encode_formulas(std::vector<Formula>{param(0.1), var(0)})));
  // One formed child in bucket 0, admitted.
  const auto score_one = [&](std::uint64_t level, const Child& child) {
    FormedRun run;
    run.children = {child};
    run.buckets = {0};
    const std::string flags = encode_flags(std::vector<std::vector<bool>>{{true}});
    const std::string_view flag_views[] = {flags};
    return scorer.score(level, encode_formed(run), 0, flag_views);
  };
  CHECK_FALSE(score_one(2, Child{2, 0, Child::kUnary, kSin}));           // no such parent
  CHECK_FALSE(score_one(2, Child{0, 0, Child::kUnary, kPlus}));          // a binary operator
  const auto unserved = score_one(3, Child{1, 0, Child::kUnary, kSin});  // level 2 is not loaded
  CHECK(unserved.reason() == "level 3 cannot be served with levels 1 to 1 loaded");
  CHECK(score_one(2, Child{1, 0, Child::kUnary, kSin}));

  CHECK(ClusterScorer::create("junk", settings).reason() ==
        "expected a data set message, got message tag 106");
  CHECK(ClusterScorer::create(settings, settings).reason() ==
        "expected a data set message, got message tag 2");
  std::string newer = data;
  newer[1] = static_cast<char>(kWireVersion + 1);
  CHECK(ClusterScorer::create(newer, settings).reason() ==
        "data set message in format version 2; this build reads version 1");
  CHECK(decode_config(data.substr(0, 1)).reason() ==
        "malformed settings message: it ends within its header");
}

}  // namespace
}  // namespace qarn

namespace qarn {
namespace {

TEST_CASE("a layer holds exactly its digests; admission keeps the first in loop order") {
  std::mt19937_64 rng(3);
  std::vector<FingerprintDigest> in, out;
  for (int i = 0; i < 300; ++i) (i % 2 ? in : out).push_back({rng() | 1, rng()});
  const std::string layer = encode_layer(in);
  REQUIRE(valid_layer(layer));
  for (const auto& d : in) CHECK(layer_contains(layer, d));
  for (const auto& d : out) CHECK_FALSE(layer_contains(layer, d));
  CHECK_FALSE(valid_layer(std::string_view(layer).substr(0, layer.size() - 1)));
  CHECK(valid_layer(encode_layer({})));

  // Run 0: x y x; run 1: y z w, with w seen at an earlier level.
  const FingerprintDigest x{1, 2}, y{3, 4}, z{5, 6}, w{7, 8};
  const std::string earlier = encode_layer(std::vector<FingerprintDigest>{w});
  const std::vector<std::string_view> layers{earlier};
  const std::vector<std::vector<FingerprintDigest>> runs{{x, y, x}, {y, z, w}};
  const BucketAdmission a = admit_bucket(layers, runs);
  CHECK(a.admitted[0] == std::vector<bool>{true, true, false});
  CHECK(a.admitted[1] == std::vector<bool>{false, true, false});
  for (const auto& d : {x, y, z}) CHECK(layer_contains(a.layer, d));
  CHECK_FALSE(layer_contains(a.layer, w));
  const auto flags = decode_flags(encode_flags(a.admitted));
  REQUIRE(flags);
  CHECK(*flags == a.admitted);
}

}  // namespace
}  // namespace qarn
