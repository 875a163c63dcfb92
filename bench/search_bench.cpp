// Runs the search on built-in synthetic data sets and prints, per level, the
// children formed, admitted, scored and retained with the time taken, then
// the total time, candidates per second and the peak resident memory.
//
//   search_bench [a|b|c|all] [--threads N] [--max-complexity K] [--beam-width W]

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include "engine/bfs.h"

namespace {

struct DataSet {
  std::string name;
  qarn::Rows rows;
  std::vector<double> targets;
};

// y = 2.5 x sin(x) + 0.3 on x in [-3, 3], with 1 % Gaussian noise.
DataSet one_variable(std::size_t n, const char* name) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> x_dist(-3.0, 3.0);
  std::normal_distribution<double> noise(0.0, 1.0);
  DataSet d{name, {}, {}};
  for (std::size_t i = 0; i < n; ++i) {
    const double x = x_dist(rng);
    const double y = 2.5 * x * std::sin(x) + 0.3;
    d.rows.push_back({x});
    d.targets.push_back(y * (1.0 + 0.01 * noise(rng)));
  }
  return d;
}

// y = x0 x1 / (1 + x2^2) with 1 % Gaussian noise, 3 variables.
DataSet three_variables() {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> x_dist(-2.0, 2.0);
  std::normal_distribution<double> noise(0.0, 1.0);
  DataSet d{"c: 200 rows, y = x0 x1 / (1 + x2^2)", {}, {}};
  for (std::size_t i = 0; i < 200; ++i) {
    const double x0 = x_dist(rng), x1 = x_dist(rng), x2 = x_dist(rng);
    const double y = x0 * x1 / (1.0 + x2 * x2);
    d.rows.push_back({x0, x1, x2});
    d.targets.push_back(y * (1.0 + 0.01 * noise(rng)));
  }
  return d;
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void run(const DataSet& d, qarn::SearchConfig config) {
  std::printf("== %s (max_complexity %llu, beam_width %llu, %d threads)\n", d.name.c_str(),
              static_cast<unsigned long long>(config.max_complexity),
              static_cast<unsigned long long>(config.beam_width),
              tbb::this_task_arena::max_concurrency());
  std::fflush(stdout);
  std::vector<qarn::LevelStats> stats;
  const auto t0 = std::chrono::steady_clock::now();
  const auto result = qarn::run_search(d.rows, d.targets, config, &stats);
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("\n%6s %14s %12s %12s %9s %10s %14s\n", "level", "formed", "admitted", "scored",
              "retained", "seconds", "scored/s");
  std::uint64_t admitted = 0;
  for (const auto& s : stats) {
    admitted += s.admitted;
    std::printf("%6llu %14llu %12llu %12llu %9llu %10.3f %14.0f\n",
                static_cast<unsigned long long>(s.level), static_cast<unsigned long long>(s.formed),
                static_cast<unsigned long long>(s.admitted),
                static_cast<unsigned long long>(s.scored),
                static_cast<unsigned long long>(s.retained), s.seconds,
                s.seconds > 0 ? static_cast<double>(s.admitted) / s.seconds : 0.0);
  }
  std::printf("total %.3f s, %.0f candidates/s, peak RSS %.1f MiB\n", total,
              total > 0 ? static_cast<double>(admitted) / total : 0.0, peak_rss_mib());
  if (const auto* front = std::get_if<std::vector<qarn::SearchResult>>(&result)) {
    for (const auto& r : *front) {
      std::printf("  complexity %2llu  loss %.6g  %s\n",
                  static_cast<unsigned long long>(r.formula.complexity), r.loss,
                  r.formula.text.c_str());
    }
  } else {
    std::printf("  error: %s\n", std::get<qarn::SearchError>(result).message().c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = "all";
  int threads = 0;
  qarn::SearchConfig config;
  config.no_early_stop = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (arg == "--max-complexity" && i + 1 < argc) {
      config.max_complexity = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--beam-width" && i + 1 < argc) {
      config.beam_width = std::strtoull(argv[++i], nullptr, 10);
    } else {
      which = arg;
    }
  }
  tbb::task_arena arena(threads > 0 ? threads : tbb::task_arena::automatic);
  arena.execute([&] {
    if (which == "a" || which == "all")
      run(one_variable(100, "a: 100 rows, y = 2.5 x sin(x) + 0.3"), config);
    if (which == "b" || which == "all")
      run(one_variable(1000, "b: 1000 rows, y = 2.5 x sin(x) + 0.3"), config);
    if (which == "c" || which == "all") run(three_variables(), config);
  });
  return 0;
}
