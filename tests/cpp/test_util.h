#pragma once

// Helpers shared by the unit tests of the operators and formulas: exact
// (bitwise) comparison of doubles and complex values, and small formula
// builders that follow the composition rules of the search.

#include <doctest/doctest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <string>

#include <unistd.h>

#include "ops/complex.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// doctest prints both sides of a failed CHECK through this.
inline std::ostream& operator<<(std::ostream& out, const Complex& z) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "(%a, %a)", z.re, z.im);
  return out << buf;
}

}  // namespace qarn

namespace qarn::test {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Identical bit patterns: tells 0.0 from -0.0 and compares NaN with itself.
inline bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline bool same_bits(Complex a, Complex b) {
  return same_bits(a.re, b.re) && same_bits(a.im, b.im);
}

// Equal as IEEE values except that any NaN matches any NaN and the sign of a
// zero must agree. Used where the expected value is NaN of unknown payload.
inline bool same_value(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

inline bool same_value(Complex a, Complex b) {
  return same_value(a.re, b.re) && same_value(a.im, b.im);
}

// The built-in registry, built once for all tests.
inline const OperatorRegistry& reg() {
  static const OperatorRegistry registry = builtin_registry();
  return registry;
}

// Formula builders mirroring how the search composes formulas.
inline Formula var(std::uint8_t i) {
  return {{Token::variable(i)},
          "v_{" + std::to_string(i) + "}",
          1,
          static_cast<std::uint8_t>(i + 1),
          0};
}

inline Formula param(double value) { return {{Token::parameter(0, {value, 0.0})}, "C", 1, 0, 1}; }

inline Formula unary(std::uint64_t index, const std::string& name, const Formula& a) {
  Formula f = a;
  f.tokens.push_back(Token::apply(1, index));
  f.text = name + "(" + a.text + ")";
  f.complexity = a.complexity + 1;
  return f;
}

inline Formula binary(std::uint64_t index, const std::string& name, const Formula& a,
                      const Formula& b) {
  Formula f = a;
  for (Token t : b.tokens) {
    if (t.kind == TokenKind::Parameter)
      t.small = static_cast<std::uint8_t>(t.small + a.param_count);
    f.tokens.push_back(t);
  }
  f.tokens.push_back(Token::apply(2, index));
  f.text = name + "(" + a.text + ", " + b.text + ")";
  f.complexity = a.complexity + b.complexity + 1;
  f.var_count = a.var_count > b.var_count ? a.var_count : b.var_count;
  f.param_count = static_cast<std::uint8_t>(a.param_count + b.param_count);
  return f;
}

// Runs `body` with file descriptor 1 redirected to a temporary file and
// returns what reached it. No test assertion may run inside `body`: doctest
// itself writes to standard output.
template <typename Body>
std::string capture_stdout(Body body) {
  std::FILE* file = std::tmpfile();
  REQUIRE(file != nullptr);
  std::fflush(stdout);
  const int saved = dup(1);
  REQUIRE(saved >= 0);
  dup2(fileno(file), 1);
  body();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  std::rewind(file);
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) out.append(buf, n);
  std::fclose(file);
  return out;
}

// Registry indices of the built-in vocabulary.
namespace idx {
inline constexpr std::uint64_t kZero = 0, kOne = 1, kI = 2, kPi = 3, kE = 4;
inline constexpr std::uint64_t kQarn = 5, kNeg = 6, kInv = 7, kPlus = 8, kTimes = 9, kSubtract = 10,
                               kDivide = 11, kExp = 12, kLog = 13, kSqrt = 14, kSin = 15, kCos = 16,
                               kTan = 17, kArcSin = 18, kArcCos = 19, kArcTan = 20, kSquare = 21,
                               kCube = 22;
}  // namespace idx

}  // namespace qarn::test
