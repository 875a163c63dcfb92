#include <doctest/doctest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "engine/bfs.h"
#include "engine/search_control.h"
#include "test_util.h"

namespace qarn {
namespace {

using namespace test;

struct Data {
  Rows rows;
  std::vector<double> ys;
};

// Two variables, 60 rows, a target no small formula fits exactly, so that
// every level is built.
Data noisy_data() {
  Data d;
  for (int i = 0; i < 60; ++i) {
    const double a = -2.0 + 0.07 * i;
    const double b = 0.5 + 0.03 * ((i * 7) % 60);
    d.rows.push_back({a, b});
    d.ys.push_back(1.7 * a * std::sin(b) + 0.3 + 0.01 * std::cos(11.0 * a));
  }
  return d;
}

struct Run {
  std::vector<SearchResult> front;
  std::vector<LevelStats> stats;
  std::string out;
};

Run run(const Data& d, const SearchConfig& config, SearchControl* control) {
  Run r;
  Expected<std::vector<SearchResult>> result;
  r.out = capture_stdout([&] { result = run_search(d.rows, d.ys, config, &r.stats, control); });
  r.front = std::get<std::vector<SearchResult>>(result);
  return r;
}

void check_same_front(const std::vector<SearchResult>& a, const std::vector<SearchResult>& b) {
  REQUIRE(a.size() == b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    CHECK(a[i].formula == b[i].formula);
    CHECK(same_bits(a[i].loss, b[i].loss));
  }
}

// The level lines without their durations.
std::string level_lines(const std::string& out) {
  std::string lines;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t nl = out.find('\n', start);
    if (nl == std::string::npos) nl = out.size();
    std::string line = out.substr(start, nl - start);
    const std::size_t cr = line.rfind('\r');
    if (cr != std::string::npos) line = line.substr(cr + 1);
    const std::size_t at = line.find(" processed in ");
    if (at != std::string::npos) line = line.substr(0, at) + line.substr(line.find(". Retaining"));
    if (line.rfind("[QARN-SR]", 0) == 0) lines += line + "\n";
    start = nl + 1;
  }
  return lines;
}

TEST_CASE("a control that never expires changes nothing") {
  const Data d = noisy_data();
  SearchConfig config;
  config.max_complexity = 5;
  config.beam_width = 80;
  config.no_early_stop = true;
  const Run plain = run(d, config, nullptr);
  SearchControl control;
  control.set_deadline(SearchControl::Clock::now() + std::chrono::hours(24));
  const Run watched = run(d, config, &control);

  check_same_front(plain.front, watched.front);
  REQUIRE(plain.stats.size() == watched.stats.size());
  for (std::size_t i = 0; i < plain.stats.size(); ++i) {
    CHECK(plain.stats[i].retained_digest == watched.stats[i].retained_digest);
  }
  CHECK(level_lines(plain.out) == level_lines(watched.out));
  CHECK_FALSE(control.cut_short());
  CHECK(control.completed_levels.load() == 5);
  CHECK(control.phase.load() == SearchPhase::Finished);
  CHECK(control.scored.load() == control.total.load());
}

TEST_CASE("an expired control keeps the front of the levels built before") {
  const Data d = noisy_data();
  SearchConfig config;
  config.max_complexity = 6;
  config.beam_width = 80;
  config.no_early_stop = true;
  SearchConfig level_one = config;
  level_one.max_complexity = 1;
  const Run reference = run(d, level_one, nullptr);

  SUBCASE("a stop requested before the start") {
    SearchControl control;
    control.request_stop();
    const Run stopped = run(d, config, &control);
    check_same_front(stopped.front, reference.front);
    CHECK(control.cut_short());
    CHECK(stopped.stats.empty());
    CHECK(level_lines(stopped.out) ==
          "[QARN-SR] Started search space exploration. Level 1 seeded with 3 primary nodes.\n"
          "[QARN-SR] Search stopped during level 2; returning the front of levels 1 to 1.\n");
  }
  SUBCASE("a deadline already passed") {
    SearchControl control;
    control.set_deadline(SearchControl::Clock::now() - std::chrono::seconds(1));
    const Run stopped = run(d, config, &control);
    check_same_front(stopped.front, reference.front);
    CHECK(control.cut_short());
    CHECK(control.completed_levels.load() == 1);
  }
}

TEST_CASE("a stop during the search drops the level in progress") {
  // Stopped from another thread once level 3 is complete: the front is then
  // exactly that of a search that ends at the last completed level.
  const Data d = noisy_data();
  SearchConfig config;
  config.max_complexity = 8;
  config.beam_width = 300;
  config.no_early_stop = true;
  SearchControl control;
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    while (!done.load() && control.completed_levels.load() < 3) std::this_thread::yield();
    control.request_stop();
  });
  const Run stopped = run(d, config, &control);
  done.store(true);
  stopper.join();

  const std::uint64_t completed = control.completed_levels.load();
  CHECK(completed >= 3);
  SearchConfig shorter = config;
  shorter.max_complexity = completed;
  const Run reference = run(d, shorter, nullptr);
  check_same_front(stopped.front, reference.front);
  CHECK(stopped.stats.size() == reference.stats.size());
  if (completed < config.max_complexity) {
    CHECK(control.cut_short());
    CHECK(stopped.out.find("[QARN-SR] Search stopped during level " +
                           std::to_string(completed + 1) + "; returning the front of levels 1 to " +
                           std::to_string(completed) + ".\n") != std::string::npos);
  }
}

}  // namespace
}  // namespace qarn
