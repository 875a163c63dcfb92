#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ops/complex.h"

namespace qarn {

// Token::small is 8-bit and holds one of kSmallValues values: a formula
// addresses at most kMaxVariables variables (indices 0 to 255), and an Apply
// token takes fewer operands than kSmallValues.
inline constexpr std::size_t kSmallValues = 256;
inline constexpr std::size_t kMaxVariables = kSmallValues;
// Variables the search seeds as leaves (indices 0 to 254): var_count, the
// highest index + 1, is 8-bit too and would wrap to 0 for variable 255.
inline constexpr std::size_t kMaxSeededVariables = kMaxVariables - 1;

enum class TokenKind : std::uint8_t {
  NamedConstant = 0,  // a registry constant, its value cached in the token
  RealConstant = 1,   // the real number value.re
  Variable = 2,       // input `small` of the data point
  Parameter = 3,      // fittable constant: slot `small`, stored value `value`
  Apply = 4,          // operator `index` applied to the `small` values below it
};

// One postfix token. A flat record so that formulas are plain arrays.
struct Token {
  TokenKind kind = TokenKind::Variable;
  std::uint8_t small = 0;   // variable index, parameter slot or operator arity
  std::uint64_t index = 0;  // registry index of a named constant or operator
  Complex value;            // constant value or stored parameter value

  static Token named_constant(std::uint64_t index, Complex value) {
    return {TokenKind::NamedConstant, 0, index, value};
  }
  static Token real_constant(double c) { return {TokenKind::RealConstant, 0, 0, {c, 0.0}}; }
  static Token variable(std::uint8_t i) { return {TokenKind::Variable, i, 0, {}}; }
  static Token parameter(std::uint8_t slot, Complex value) {
    return {TokenKind::Parameter, slot, 0, value};
  }
  static Token apply(std::uint8_t arity, std::uint64_t index) {
    return {TokenKind::Apply, arity, index, {}};
  }

  friend bool operator==(const Token&, const Token&) = default;
};

// A formula: postfix tokens plus the numbers the search keeps beside them.
struct Formula {
  std::vector<Token> tokens;     // postfix order
  std::string text;              // display text, built with the formula ("C" stays "C")
  std::uint64_t complexity = 0;  // token count
  std::uint8_t var_count = 0;    // highest variable index used + 1, 0 if none
  std::uint8_t param_count = 0;  // number of Parameter tokens, slots 0..count-1

  friend bool operator==(const Formula&, const Formula&) = default;
};

}  // namespace qarn
