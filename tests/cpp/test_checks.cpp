// The checks the entry points make before a search starts: the highest
// max_complexity, finite settings and finite input values, each refused with
// a message that names what is wrong, before anything is printed.

#include <doctest/doctest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "api/entry_points.h"
#include "engine/checks.h"
#include "test_util.h"

namespace qarn {
namespace {

using namespace test;

std::string message_of(const std::optional<SearchError>& error) {
  REQUIRE(error.has_value());
  CHECK(error->kind == SearchError::Kind::InvalidArgument);
  return error->message();
}

template <class T>
std::string message_of(const Expected<T>& outcome) {
  REQUIRE(std::holds_alternative<SearchError>(outcome));
  return message_of(std::optional<SearchError>(std::get<SearchError>(outcome)));
}

const double kNegInf = -std::numeric_limits<double>::infinity();

}  // namespace

TEST_CASE("settings a search cannot use") {
  SearchConfig config;
  SUBCASE("max_complexity up to the limit of the formula representation") {
    CHECK(kMaxComplexityLimit == 510);
    // At 510 a formula has at most 255 leaves, all of which may be parameters.
    CHECK((kMaxComplexityLimit + 1) / 2 == std::numeric_limits<std::uint8_t>::max());
    config.max_complexity = kMaxComplexityLimit;
    CHECK_FALSE(check_settings(config));
    config.max_complexity = kMaxComplexityLimit + 1;
    CHECK(message_of(check_settings(config)) ==
          "max_complexity must be at most 510 (the largest formula size the engine represents), "
          "got 511");
    config.max_complexity = std::numeric_limits<std::uint64_t>::max();
    CHECK(message_of(check_settings(config)).ends_with("got 18446744073709551615"));
  }
  SUBCASE("the three doubles must be finite, in the order of the constructor") {
    config.l1_ratio = kNaN;
    CHECK(message_of(check_settings(config)) == "l1_ratio must be a finite number, got nan");
    config.alpha = kNegInf;
    CHECK(message_of(check_settings(config)) == "alpha must be a finite number, got -inf");
    config.complexity_penalty = kInf;
    CHECK(message_of(check_settings(config)) ==
          "complexity_penalty must be a finite number, got inf");
    config.max_complexity = 1000;
    CHECK(message_of(check_settings(config)).starts_with("max_complexity"));
  }
  SUBCASE("finite values of any sign or size pass") {
    config.complexity_penalty = -5.0;
    config.alpha = -std::numeric_limits<double>::max();
    config.l1_ratio = 1e300;
    CHECK_FALSE(check_settings(config));
  }
}

TEST_CASE("input values must be finite; rows may differ in length") {
  CHECK_FALSE(check_inputs(Rows{{1.0}, {2.0, 3.0}, {}}));
  CHECK(message_of(check_inputs(Rows{{1.0}, {2.0, 3.0, kInf}, {kNaN}})) ==
        "Input values must be finite numbers: row 1, column 2 is inf");
  CHECK(message_of(check_inputs(Rows{{1.0, 2.0}, {-kNaN}})) ==
        "Input values must be finite numbers: row 1, column 0 is nan");
  Rows xs(2000, {0.5});
  CHECK_FALSE(check_inputs(xs));
  xs[1999][0] = kNegInf;
  xs[1500][0] = kNaN;
  CHECK(message_of(check_inputs(xs)) ==
        "Input values must be finite numbers: row 1500, column 0 is nan");
}

TEST_CASE("every entry point checks before it searches or prints") {
  SearchConfig config;
  config.max_complexity = 3;
  config.beam_width = 20;
  const std::vector<double> xs{0.5, 1.0, 1.5, 2.0};
  const std::vector<double> bad_xs{0.5, kNaN, 1.5, 2.0};
  const Rows rows{{0.5}, {1.0}, {1.5}, {2.0}};
  const Rows bad_rows{{0.5}, {1.0}, {1.5, kInf}, {2.0}};
  std::vector<std::string> messages;
  const std::string out = capture_stdout([&] {
    const auto note = [&](const auto& outcome) {
      messages.push_back(std::get<SearchError>(outcome).message());
    };
    note(find_function(config, bad_xs, xs, std::nullopt, std::nullopt));
    note(find_multivariate(config, bad_rows, xs, std::nullopt, std::nullopt));
    note(fit(config, bad_rows, xs, std::nullopt, std::nullopt));
    note(find_candidates(config, bad_rows, xs, std::nullopt, std::nullopt));
    // Overrides are checked too, and settings before the data.
    note(find_function(config, bad_xs, xs, kNaN, std::nullopt));
    note(find_candidates(config, rows, xs, std::nullopt, kInf));
    note(recognize_constant(config, 2.5, std::nullopt, kNegInf));
    SearchConfig huge = config;
    huge.max_complexity = 1'000'000'000;
    huge.beam_width = 0;
    note(find_function(huge, xs, xs, std::nullopt, std::nullopt));
    // A NaN target keeps its behaviour: every formula fails on it.
    note(find_function(config, xs, bad_xs, std::nullopt, std::nullopt));
  });
  const std::string row2 = "Input values must be finite numbers: row 2, column 1 is inf";
  CHECK(messages == std::vector<std::string>{
                        "Input values must be finite numbers: row 1, column 0 is nan", row2, row2,
                        row2, "alpha must be a finite number, got nan",
                        "l1_ratio must be a finite number, got inf",
                        "l1_ratio must be a finite number, got -inf",
                        "max_complexity must be at most 510 (the largest formula size the engine "
                        "represents), got 1000000000",
                        "No formula found up to complexity 3"});
  // Only the last search ran.
  CHECK(out.find("[QARN-SR]") == out.rfind("[QARN-SR] Started"));
}

}  // namespace qarn
