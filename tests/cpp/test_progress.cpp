#include <doctest/doctest.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <tbb/parallel_for.h>

#include "engine/duration.h"
#include "engine/progress.h"
#include "test_util.h"

namespace qarn {
namespace {

using test::capture_stdout;

// The progress lines of a capture, each without its leading carriage return.
std::vector<std::string> lines_of(const std::string& out) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while ((pos = out.find('\r', pos)) != std::string::npos) {
    const std::size_t next = out.find('\r', pos + 1);
    lines.push_back(
        out.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1));
    pos = pos + 1;
  }
  return lines;
}

// The percentage shown by one line: the number between the bar's "] " and "%".
unsigned long pct_of(const std::string& line) {
  const std::size_t open = line.find("] ", line.find("Progress: ["));
  return std::stoul(line.substr(open + 2, line.find('%') - open - 2));
}

std::string bar(int full) {
  std::string s;
  for (int i = 0; i < 10; ++i) s += i < full ? "\u2588" : "\u2591";
  return s;
}

}  // namespace

TEST_CASE("progress text format") {
  SUBCASE("pieces and bar") {
    CHECK(progress_text(3, 42, 105, 250, 1.5, 2.0714285714285716) ==
          std::string("\r  [QARN] L3 Progress: [") + bar(4) +
              "] 42% (105/250) | 1.5s (Est: 2.1s)   ");
    CHECK(progress_text(12, 9, 9, 100, 0.0, 0.0) == std::string("\r  [QARN] L12 Progress: [") +
                                                        bar(0) +
                                                        "] 9% (9/100) | 0.0s (Est: 0.0s)   ");
    CHECK(progress_text(2, 100, 7, 7, 61.0, 0.0) == std::string("\r  [QARN] L2 Progress: [") +
                                                        bar(10) +
                                                        "] 100% (7/7) | 61.0s (Est: 0.0s)   ");
    CHECK(progress_text(2, 10, 1, 10, 0.0, 0.0).find(std::string("[") + bar(1) + "]") !=
          std::string::npos);
  }
  SUBCASE("one decimal rounds the exact binary value, ties to even") {
    auto elapsed_of = [](double e) {
      const std::string t = progress_text(1, 1, 1, 100, e, 0.0);
      const std::size_t bar_end = t.find(") | ");
      return t.substr(bar_end + 4, t.find("s (Est") - bar_end - 4);
    };
    CHECK(elapsed_of(0.25) == "0.2");  // exact tie, to even
    CHECK(elapsed_of(0.75) == "0.8");  // exact tie, to even
    CHECK(elapsed_of(0.05) == "0.1");  // 0.05 is slightly above the tie
    CHECK(elapsed_of(0.35) == "0.3");  // 0.35 is slightly below the tie
    CHECK(elapsed_of(12345.96) == "12346.0");
  }
}

TEST_CASE("progress step output") {
  SUBCASE("total 0 prints nothing and counts nothing") {
    ProgressState state;
    const std::string out = capture_stdout([&] {
      for (int i = 0; i < 5; ++i) progress_step(state);
    });
    CHECK(out.empty());
    CHECK(state.done.load() == 0);
    CHECK(state.last.load() == 0);
  }
  SUBCASE("total 1 prints one full line") {
    ProgressState state;
    state.total = 1;
    state.level = 4;
    state.start = std::chrono::steady_clock::now() - std::chrono::seconds(2);
    const std::string out = capture_stdout([&] { progress_step(state); });
    const auto lines = lines_of(out);
    REQUIRE(lines.size() == 1);
    CHECK(out.rfind(std::string("\r  [QARN] L4 Progress: [") + bar(10) + "] 100% (1/1) | ", 0) ==
          0);
    CHECK(out.find("s (Est: 0.0s)   ") == out.size() - 16);  // elapsed * 100 / 100 - elapsed
    CHECK(out.find('\n') == std::string::npos);
    const double elapsed = std::stod(out.substr(out.find(") | ") + 4));
    CHECK(elapsed >= 2.0);
    CHECK(elapsed < 60.0);
  }
  SUBCASE("total 250 single-threaded: every percentage once, in order") {
    ProgressState state;
    state.total = 250;
    state.level = 7;
    state.start = std::chrono::steady_clock::now();
    const std::string out = capture_stdout([&] {
      for (int i = 0; i < 250; ++i) progress_step(state);
    });
    // Calls past the total print nothing more.
    const std::string after = capture_stdout([&] {
      for (int i = 0; i < 20; ++i) progress_step(state);
    });
    const auto lines = lines_of(out);
    REQUIRE(lines.size() == 100);
    CHECK(lines[0].find("] 1% (3/250) | ") != std::string::npos);
    for (std::size_t i = 0; i < lines.size(); ++i) CHECK(pct_of(lines[i]) == i + 1);
    CHECK(lines[99].find("] 100% (250/250) | ") != std::string::npos);
    CHECK(after.empty());
    CHECK(state.done.load() == 270);
    CHECK(state.last.load() == 100);
  }
  SUBCASE("fewer than 100 candidates skip percentages") {
    ProgressState state;
    state.total = 40;
    const std::string out = capture_stdout([&] {
      for (int i = 0; i < 40; ++i) progress_step(state);
    });
    const auto lines = lines_of(out);
    REQUIRE(lines.size() == 40);
    CHECK(pct_of(lines[0]) == 2);  // 1 * 100 / 40
    CHECK(pct_of(lines[1]) == 5);
    CHECK(pct_of(lines[39]) == 100);
  }
  SUBCASE("many threads print each percentage at most once") {
    ProgressState state;
    state.total = 200000;
    state.level = 9;
    const std::string out =
        capture_stdout([&] { tbb::parallel_for(0, 200000, [&](int) { progress_step(state); }); });
    const auto lines = lines_of(out);
    std::set<unsigned long> seen;
    for (const auto& line : lines) {
      CHECK(line.rfind("  [QARN] L9 Progress: [", 0) == 0);
      CHECK(line.size() > 3);
      CHECK(line.substr(line.size() - 3) == "   ");
      CHECK(seen.insert(pct_of(line)).second);
    }
    CHECK(lines.size() <= 100);
    CHECK(seen.count(100) == 1);  // only 200000 / 200000 reaches 100, and nothing overtakes it
    CHECK(state.done.load() == 200000);
    CHECK(state.last.load() == 100);
  }
  SUBCASE("write_stdout passes bytes through unchanged") {
    const std::string text = std::string("a\0b\r\u2588\n", 7);
    CHECK(capture_stdout([&] { write_stdout(text); }) == text);
  }
}

TEST_CASE("duration format") {
  using std::chrono::nanoseconds;
  SUBCASE("examples") {
    CHECK(format_duration(nanoseconds(1'500'000'000)) == "1.5s");
    CHECK(format_duration(nanoseconds(2'000'000'000)) == "2s");
    CHECK(format_duration(nanoseconds(12'345'678)) == "12.345678ms");
    CHECK(format_duration(nanoseconds(850)) == "850ns");
  }
  SUBCASE("unit boundaries") {
    CHECK(format_duration(nanoseconds(0)) == "0ns");
    CHECK(format_duration(nanoseconds(999)) == "999ns");
    CHECK(format_duration(nanoseconds(1'000)) == "1\u00b5s");
    CHECK(format_duration(nanoseconds(1'001)) == "1.001\u00b5s");
    CHECK(format_duration(nanoseconds(999'999)) == "999.999\u00b5s");
    CHECK(format_duration(nanoseconds(1'000'000)) == "1ms");
    CHECK(format_duration(nanoseconds(999'999'999)) == "999.999999ms");
    CHECK(format_duration(nanoseconds(1'000'000'000)) == "1s");
    CHECK(format_duration(nanoseconds(1'000'000'001)) == "1.000000001s");
  }
  SUBCASE("fraction digits keep leading zeros and lose trailing ones") {
    CHECK(format_duration(nanoseconds(1'050'000)) == "1.05ms");
    CHECK(format_duration(nanoseconds(2'000'100)) == "2.0001ms");
    CHECK(format_duration(nanoseconds(1'020)) == "1.02\u00b5s");
    CHECK(format_duration(nanoseconds(3'600'000'000'000)) == "3600s");
    CHECK(format_duration(nanoseconds(61'000'000'010)) == "61.00000001s");
  }
}

}  // namespace qarn
