#include <doctest/doctest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <tbb/task_arena.h>

#include "api/entry_points.h"
#include "engine/beam.h"
#include "engine/best.h"
#include "engine/bfs.h"
#include "engine/child.h"
#include "engine/chunked_vector.h"
#include "engine/level.h"
#include "test_util.h"

namespace qarn {
namespace {

using namespace test;

// A candidate whose structure key is `op` alone (v_{0} under `op`).
ScoredCandidate keyed(std::uint64_t op, double score) {
  return {unary(op, "K" + std::to_string(op), var(0)), score};
}

std::vector<double> scores_of(const std::vector<ScoredCandidate>& v) {
  std::vector<double> out;
  for (const auto& c : v) out.push_back(c.score);
  return out;
}

TEST_CASE("select_beam keeps the elite by score and the rest by rare structure") {
  SUBCASE("beam_width 10 over 12 candidates prefers rare keys for the last two places") {
    std::vector<ScoredCandidate> s;
    for (int i = 0; i < 8; ++i) s.push_back(keyed(5, 1.0 + i));
    s.push_back(keyed(5, 9.0));
    s.push_back(keyed(5, 10.0));
    s.push_back(keyed(9, 11.0));
    s.push_back(keyed(9, 12.0));
    // Shuffle the input order: the result must not depend on it.
    std::swap(s[0], s[11]);
    std::swap(s[3], s[9]);
    const auto kept = select_beam(s, 10);
    CHECK(scores_of(kept) == std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 11, 12});
  }
  SUBCASE("width 0 keeps nothing, width 1 keeps the lowest score") {
    std::vector<ScoredCandidate> s{keyed(5, 3.0), keyed(6, 1.0), keyed(7, 2.0)};
    CHECK(select_beam(s, 0).empty());
    CHECK(scores_of(select_beam(s, 1)) == std::vector<double>{1.0});
  }
  SUBCASE("a list no longer than the width is kept whole, in score order") {
    std::vector<ScoredCandidate> s{keyed(5, 3.0), keyed(5, 1.0), keyed(5, 2.0)};
    CHECK(scores_of(select_beam(s, 3)) == std::vector<double>{1.0, 2.0, 3.0});
  }
  SUBCASE("NaN scores sort after infinity and equal scores keep input order") {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<ScoredCandidate> s{keyed(5, nan), keyed(6, kInf), keyed(7, 1.0), keyed(8, 1.0)};
    const auto kept = select_beam(s, 4);
    REQUIRE(kept.size() == 4);
    CHECK(kept[0].candidate.text == "K7(v_{0})");
    CHECK(kept[1].candidate.text == "K8(v_{0})");
    CHECK(std::isinf(kept[2].score));
    CHECK(std::isnan(kept[3].score));
  }
}

TEST_CASE("structure keys join operator indices in token order") {
  const Formula f = unary(3, "X", binary(7, "Y", var(0), param(0.1)));
  CHECK(structure_key(f) == "7-3");
  CHECK(structure_key(var(0)).empty());
  // The key of a child built from its parents' keys equals the key of its tokens.
  const Formula a = unary(idx::kSin, "Sin", var(0));
  const Formula b = unary(idx::kExp, "Exp", param(0.1));
  const std::string ka = structure_key(a), kb = structure_key(b), kv = structure_key(var(0));
  CHECK(child_key(ka, &kb, idx::kPlus) == structure_key(binary(idx::kPlus, "Plus", a, b)));
  CHECK(child_key(kv, &kb, idx::kPlus) == structure_key(binary(idx::kPlus, "Plus", var(0), b)));
  CHECK(child_key(ka, &kv, idx::kPlus) == structure_key(binary(idx::kPlus, "Plus", a, var(0))));
  CHECK(child_key(kv, nullptr, idx::kSin) == "15");
}

TEST_CASE("children shift the right operand's parameter slots") {
  const auto registry = make_builtin_registry();
  const Formula two = binary(idx::kPlus, "Plus", param(0.1), param(0.1));
  const Formula child = child_formula(two, &two, idx::kTimes, *registry);
  CHECK(child.text == "Times(Plus(C, C), Plus(C, C))");
  CHECK(child.param_count == 4);
  CHECK(child.complexity == 7);
  std::vector<int> slots;
  for (const Token& t : child.tokens) {
    if (t.kind == TokenKind::Parameter) slots.push_back(t.small);
  }
  CHECK(slots == std::vector<int>{0, 1, 2, 3});
  const Formula c = param(0.1);
  const Formula mixed = child_formula(two, &c, idx::kQarn, *registry);
  CHECK(mixed.text == "QARN(Plus(C, C), C)");
  CHECK(mixed.tokens[3].small == 2);
  CHECK(mixed.param_count == 3);
}

TEST_CASE("best losses per complexity and the Pareto front") {
  const auto registry = make_builtin_registry();
  const std::vector<std::vector<Complex>> rows{{Complex{1.0, 0.0}}};
  const std::vector<double> targets{1.0};
  SearchConfig config;

  SUBCASE("the front keeps strictly better entries, most complex first") {
    BestByComplexity best;
    Formula f = var(0);
    for (auto [c, loss] : std::vector<std::pair<std::uint64_t, double>>{
             {1, 4.0}, {2, 5.0}, {3, 1.0}, {5, 1.0}, {7, 0.5}}) {
      f.complexity = c;
      record_best(best, f, loss);
    }
    const auto front = extract_front(best, registry, config, DataColumns(rows), targets);
    const auto& results = std::get<std::vector<SearchResult>>(front);
    REQUIRE(results.size() == 3);
    CHECK(results[0].formula.complexity == 7);
    CHECK(results[1].formula.complexity == 3);
    CHECK(results[2].formula.complexity == 1);
    CHECK(results[2].registry == registry);
  }
  SUBCASE("record_best replaces only strictly greater losses, never a NaN") {
    BestByComplexity best;
    Formula a = var(0), b = var(0);
    b.text = "other";
    record_best(best, a, 2.0);
    record_best(best, b, 2.0);
    CHECK(best.entries.at(1).candidate.text == "v_{0}");
    record_best(best, b, 1.0);
    CHECK(best.entries.at(1).candidate.text == "other");
    Formula c = var(0);
    c.complexity = 2;
    record_best(best, c, std::nan(""));
    record_best(best, a, 0.5);
    CHECK(std::isnan(best.entries.at(2).loss));
  }
  SUBCASE("should_stop is inclusive, ignores NaN and honours no_early_stop") {
    BestByComplexity best;
    Formula f = var(0);
    record_best(best, f, std::nan(""));
    CHECK_FALSE(should_stop(best, 1e-10, false));
    f.complexity = 2;
    record_best(best, f, 1e-10);
    CHECK(should_stop(best, 1e-10, false));
    CHECK_FALSE(should_stop(best, 1e-10, true));
  }
  SUBCASE("nothing recorded is NoFormulaFound carrying max_complexity") {
    BestByComplexity best;
    config.max_complexity = 3;
    const auto front = extract_front(best, registry, config, DataColumns(rows), targets);
    CHECK(std::get<SearchError>(front).message() == "No formula found up to complexity 3");
  }
}

Rows column(const std::vector<double>& xs) {
  Rows rows;
  for (double x : xs) rows.push_back({x});
  return rows;
}

TEST_CASE("searches end to end") {
  SearchConfig config;
  config.max_complexity = 4;
  config.beam_width = 50;
  const std::vector<double> xs{-2.0, -1.0, -0.5, 0.5, 1.0, 1.5, 2.0, 3.0};

  SUBCASE("targets equal to the input stop after seeding, silently") {
    Expected<std::vector<SearchResult>> result;
    const std::string out = capture_stdout([&] { result = run_search(column(xs), xs, config); });
    CHECK(out.empty());
    const auto& front = std::get<std::vector<SearchResult>>(result);
    REQUIRE(front.size() == 1);
    CHECK(front[0].formula.text == "v_{0}");
    CHECK(front[0].loss == 0.0);
  }
  SUBCASE("without early stop every level is built and printed") {
    config.no_early_stop = true;
    config.max_complexity = 3;
    const std::string out = capture_stdout([&] { (void)run_search(column(xs), xs, config); });
    CHECK(out.find("[QARN-SR] Started search space exploration. Level 1 seeded with 2 primary "
                   "nodes.\n") == 0);
    CHECK(out.find("[QARN-SR]   -> Level 2 processed in ") != std::string::npos);
    CHECK(out.find("[QARN-SR]   -> Level 3 processed in ") != std::string::npos);
  }
  SUBCASE("y = x^2 is found as Square(v_{0}) at complexity 2") {
    std::vector<double> ys;
    for (double x : xs) ys.push_back(x * x);
    Expected<SearchResult> result;
    const std::string out =
        capture_stdout([&] { result = find_function(config, xs, ys, std::nullopt, std::nullopt); });
    const auto& best = std::get<SearchResult>(result);
    CHECK(best.formula.text == "Square(v_{0})");
    CHECK(best.formula.complexity == 2);
    CHECK(best.loss == 0.0);
    CHECK(out.find("Level 2 processed") != std::string::npos);
    CHECK(out.find("Level 3 processed") == std::string::npos);
  }
  SUBCASE("NaN targets find nothing and retain nothing") {
    std::vector<double> ys(xs.size(), std::nan(""));
    Expected<std::vector<SearchResult>> result;
    const std::string out = capture_stdout([&] { result = run_search(column(xs), ys, config); });
    CHECK(std::get<SearchError>(result).message() == "No formula found up to complexity 4");
    CHECK(out.find("Retaining top 0 candidates.") != std::string::npos);
    CHECK(out.find("Retaining top 1") == std::string::npos);
  }
  SUBCASE("unequal or empty data fail before anything is printed") {
    Expected<std::vector<SearchResult>> a, b;
    const std::string out = capture_stdout([&] {
      a = run_search(column(xs), std::vector<double>{1.0}, config);
      b = run_search(Rows{}, std::vector<double>{}, config);
    });
    CHECK(out.empty());
    for (const auto* r : {&a, &b}) {
      const auto& e = std::get<SearchError>(*r);
      CHECK(e.kind == SearchError::Kind::DimensionMismatch);
      CHECK(e.message() == "Inputs and target vector must be non-empty and equal length.");
    }
  }
  SUBCASE("max_complexity 0 finds nothing and prints nothing") {
    config.max_complexity = 0;
    Expected<std::vector<SearchResult>> result;
    const std::string out = capture_stdout([&] { result = run_search(column(xs), xs, config); });
    CHECK(out.empty());
    CHECK(std::get<SearchError>(result).message() == "No formula found up to complexity 0");
  }
  SUBCASE("only 255 variables are seeded; rows without inputs seed only C") {
    config.max_complexity = 1;
    config.no_early_stop = true;
    Rows wide(3, std::vector<double>(300));
    for (std::size_t r = 0; r < 3; ++r) {
      for (std::size_t v = 0; v < 300; ++v) wide[r][v] = 0.01 * static_cast<double>(v + 7 * r);
    }
    const std::vector<double> ys{1.0, 2.0, 4.0};
    std::string out = capture_stdout([&] { (void)run_search(wide, ys, config); });
    CHECK(out ==
          "[QARN-SR] Started search space exploration. Level 1 seeded with 256 primary "
          "nodes.\n");
    out = capture_stdout([&] { (void)run_search(Rows(3), ys, config); });
    CHECK(out ==
          "[QARN-SR] Started search space exploration. Level 1 seeded with 1 primary "
          "nodes.\n");
  }
  SUBCASE("values beyond the seeded variables change nothing") {
    // The first row seeds one variable; a later long row (which the column
    // store once padded every row to) is read only as far as that.
    config.max_complexity = 3;
    config.no_early_stop = true;
    Rows narrow = column(xs);
    Rows wide = narrow;
    wide.back().resize(100000, 3.5);
    wide[2].push_back(-1e300);
    std::vector<double> ys;
    for (double x : xs) ys.push_back(std::exp(x) - 1.25);
    Expected<std::vector<SearchResult>> a, b;
    capture_stdout([&] {
      a = run_search(narrow, ys, config);
      b = run_search(wide, ys, config);
    });
    const auto& fa = std::get<std::vector<SearchResult>>(a);
    const auto& fb = std::get<std::vector<SearchResult>>(b);
    REQUIRE(fa.size() == fb.size());
    for (std::size_t i = 0; i < fa.size(); ++i) {
      CHECK(fa[i].formula == fb[i].formula);
      CHECK(std::bit_cast<std::uint64_t>(fa[i].loss) == std::bit_cast<std::uint64_t>(fb[i].loss));
    }
  }
  SUBCASE("fit_constants off leaves every parameter at its seeded value") {
    config.max_complexity = 3;
    config.no_early_stop = true;
    std::vector<double> ys;
    for (double x : xs) ys.push_back(2.5 * x);
    const auto fitted_parameters = [&](bool fit) {
      config.fit_constants = fit;
      Expected<std::vector<SearchResult>> result;
      capture_stdout([&] { result = run_search(column(xs), ys, config); });
      std::size_t moved = 0;
      for (const SearchResult& r : std::get<std::vector<SearchResult>>(result)) {
        for (const Token& t : r.formula.tokens) {
          moved += t.kind == TokenKind::Parameter && !(t.value == Complex{0.1, 0.0});
        }
      }
      return moved;
    };
    CHECK(fitted_parameters(false) == 0);
    CHECK(fitted_parameters(true) > 0);
  }
  SUBCASE("recognize_constant searches the single point 0.0") {
    config.max_complexity = 3;
    Expected<SearchResult> result;
    capture_stdout([&] { result = recognize_constant(config, 1.0, std::nullopt, std::nullopt); });
    const auto& r = std::get<SearchResult>(result);
    CHECK(r.loss <= 1e-10);
  }
}

// Search output with the level durations blanked out.
std::string without_durations(std::string out) {
  std::string clean;
  std::size_t pos = 0;
  while (true) {
    const std::size_t at = out.find(" processed in ", pos);
    if (at == std::string::npos) break;
    const std::size_t end = out.find(". Retaining", at);
    clean += out.substr(pos, at - pos) + " processed in ?";
    pos = end;
  }
  clean += out.substr(pos);
  // Progress lines carry times too; keep only the level lines.
  std::string lines;
  std::size_t start = 0;
  while (start < clean.size()) {
    std::size_t nl = clean.find('\n', start);
    if (nl == std::string::npos) nl = clean.size();
    const std::string line = clean.substr(start, nl - start);
    if (line.rfind("[QARN-SR]", 0) == 0) lines += line + "\n";
    start = nl + 1;
  }
  return lines;
}

TEST_CASE("a search gives identical results whatever the number of threads") {
  std::vector<double> xs, ys;
  for (int i = 0; i < 40; ++i) {
    const double x = -2.0 + 0.1 * i;
    xs.push_back(x);
    ys.push_back(1.7 * x * std::sin(x) + 0.3 + 0.01 * std::cos(7.0 * x));
  }
  SearchConfig config;
  config.max_complexity = 6;
  config.beam_width = 120;
  config.no_early_stop = true;

  struct Run {
    std::vector<SearchResult> front;
    std::vector<LevelStats> stats;
    std::string lines;
  };
  const auto run_with = [&](int threads) {
    Run run;
    tbb::task_arena arena(threads);
    arena.execute([&] {
      Expected<std::vector<SearchResult>> result;
      run.lines = without_durations(
          capture_stdout([&] { result = run_search(column(xs), ys, config, &run.stats); }));
      run.front = std::get<std::vector<SearchResult>>(result);
    });
    return run;
  };
  const Run one = run_with(1);
  const Run many = run_with(4);
  REQUIRE(one.front.size() == many.front.size());
  for (std::size_t i = 0; i < one.front.size(); ++i) {
    CHECK(one.front[i].formula == many.front[i].formula);
    CHECK(same_bits(one.front[i].loss, many.front[i].loss));
  }
  REQUIRE(one.stats.size() == many.stats.size());
  for (std::size_t i = 0; i < one.stats.size(); ++i) {
    CHECK(one.stats[i].admitted == many.stats[i].admitted);
    CHECK(one.stats[i].retained_digest == many.stats[i].retained_digest);
  }
  CHECK(one.lines == many.lines);
}

TEST_CASE("a chunked list keeps its entries across chunks, truncation and copies") {
  ChunkedVector<std::uint32_t, 2> list;  // chunks of four entries
  for (std::uint32_t i = 0; i < 11; ++i) list.push_back(i * 3);
  REQUIRE(list.size() == 11);
  CHECK(list.memory_bytes() == 3 * 4 * sizeof(std::uint32_t));
  CHECK(list.copy(3, 9) == std::vector<std::uint32_t>{9, 12, 15, 18, 21, 24});
  list.truncate(4);
  CHECK(list.memory_bytes() == 4 * sizeof(std::uint32_t));
  list.push_back(7);  // starts a new chunk after a full one
  CHECK(list.copy(0, list.size()) == std::vector<std::uint32_t>{0, 3, 6, 9, 7});
  list.truncate(0);
  CHECK(list.empty());
  CHECK(list.memory_bytes() == 0);
}

}  // namespace
}  // namespace qarn
