// Runs the search on built-in synthetic data sets and prints, per level, the
// children formed, admitted, scored and retained with the time taken, the
// memory of the fingerprint set and a digest of the retained formulas (texts
// and parameter bits, so that two builds can be compared level by level);
// then the total time, CPU time, candidates per second, the peak resident
// memory and the floor figure: the calls of each transcendental C library
// function made during the search times its measured cost per call, against
// the CPU time spent.
//
//   search_bench [a|b|c|all] [--threads N] [--max-complexity K] [--beam-width W] [--rows N]
//   search_bench_floor [same arguments] [--no-floor]
//
// --rows N gives data set (a) N rows instead of 100 (same formula, inputs and
// noise rule; (b) is the same data at 1,000 rows).
//
// Only search_bench_floor prints the floor figure: it is linked with counting
// wrappers around the C library functions, which cost about a nanosecond per
// call, so its times run a few per cent above search_bench's. --no-floor
// leaves the counting off.

#include <sys/resource.h>

#include <array>
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
#ifdef QARN_BENCH_FLOOR
#include "libm_count.h"
#endif

namespace {

struct DataSet {
  std::string name;
  qarn::Rows rows;
  std::vector<double> targets;
};

// y = 2.5 x sin(x) + 0.3 on x in [-3, 3], with 1 % Gaussian noise, n rows.
DataSet one_variable(std::size_t n, const char* label) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> x_dist(-3.0, 3.0);
  std::normal_distribution<double> noise(0.0, 1.0);
  DataSet d{
      std::string(label) + ": " + std::to_string(n) + " rows, y = 2.5 x sin(x) + 0.3", {}, {}};
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

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

#ifdef QARN_BENCH_FLOOR
// Calls of each function during the search times its cost per call, beside
// the CPU time the search took.
void print_floor(const std::array<std::uint64_t, libm_count::kCount>& before, double cpu) {
  const auto after = libm_count::totals();
  const auto cost = libm_count::measure_costs();
  std::printf("%-8s %14s %10s %10s\n", "libm", "calls", "ns/call", "seconds");
  double floor = 0.0;
  for (std::size_t f = 0; f < libm_count::kCount; ++f) {
    const std::uint64_t calls = after[f] - before[f];
    if (calls == 0) continue;
    const double seconds = static_cast<double>(calls) * cost[f] * 1e-9;
    floor += seconds;
    std::printf("%-8s %14llu %10.1f %10.2f\n", libm_count::kNames[f],
                static_cast<unsigned long long>(calls), cost[f], seconds);
  }
  std::printf("floor %.2f s of libm calls, CPU %.2f s, ratio %.2f\n", floor, cpu,
              floor > 0 ? cpu / floor : 0.0);
}
#else
// Without the counting wrappers there is no floor figure.
namespace libm_count {
inline std::array<std::uint64_t, 1> totals() { return {}; }
inline void set_counting(bool) {}
}  // namespace libm_count
inline void print_floor(const std::array<std::uint64_t, 1>&, double) {}
#endif

void run(const DataSet& d, qarn::SearchConfig config, bool floor) {
  std::printf("== %s (max_complexity %llu, beam_width %llu, %d threads)\n", d.name.c_str(),
              static_cast<unsigned long long>(config.max_complexity),
              static_cast<unsigned long long>(config.beam_width),
              tbb::this_task_arena::max_concurrency());
  std::fflush(stdout);
  std::vector<qarn::LevelStats> stats;
  const auto calls_before = libm_count::totals();
  libm_count::set_counting(floor);
  const double cpu0 = cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  const auto result = qarn::run_search(d.rows, d.targets, config, &stats);
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = cpu_seconds() - cpu0;
  libm_count::set_counting(false);
  std::printf("\n%6s %14s %12s %12s %9s %10s %14s %10s %18s\n", "level", "formed", "admitted",
              "scored", "retained", "seconds", "scored/s", "set MiB", "retained digest");
  std::uint64_t admitted = 0;
  for (const auto& s : stats) {
    admitted += s.admitted;
    std::printf("%6llu %14llu %12llu %12llu %9llu %10.3f %14.0f %10.1f   %016llx\n",
                static_cast<unsigned long long>(s.level), static_cast<unsigned long long>(s.formed),
                static_cast<unsigned long long>(s.admitted),
                static_cast<unsigned long long>(s.scored),
                static_cast<unsigned long long>(s.retained), s.seconds,
                s.seconds > 0 ? static_cast<double>(s.admitted) / s.seconds : 0.0,
                static_cast<double>(s.seen_bytes) / (1024.0 * 1024.0),
                static_cast<unsigned long long>(s.retained_digest));
  }
  std::printf("total %.3f s, CPU %.3f s, %.0f candidates/s, peak RSS %.1f MiB\n", total, cpu,
              total > 0 ? static_cast<double>(admitted) / total : 0.0, peak_rss_mib());
  if (floor) print_floor(calls_before, cpu);
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
  bool floor = true;
  std::size_t rows_a = 100;
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
    } else if (arg == "--rows" && i + 1 < argc) {
      rows_a = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--no-floor") {
      floor = false;
    } else {
      which = arg;
    }
  }
  tbb::task_arena arena(threads > 0 ? threads : tbb::task_arena::automatic);
  arena.execute([&] {
    if (which == "a" || which == "all") run(one_variable(rows_a, "a"), config, floor);
    if (which == "b" || which == "all") run(one_variable(1000, "b"), config, floor);
    if (which == "c" || which == "all") run(three_variables(), config, floor);
  });
  return 0;
}
