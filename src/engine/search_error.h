#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace qarn {

// Error value of a search. Failures are values: nothing in the engine throws.
struct SearchError {
  enum class Kind : std::uint8_t {
    NoFormulaFound,     // no formula of any level had a finite loss
    DimensionMismatch,  // empty data, or rows and targets of different lengths
  };

  Kind kind = Kind::NoFormulaFound;
  std::uint64_t max_complexity = 0;  // payload of NoFormulaFound
  std::string text;                  // payload of DimensionMismatch

  static SearchError no_formula_found(std::uint64_t max_complexity) {
    return {Kind::NoFormulaFound, max_complexity, {}};
  }
  static SearchError dimension_mismatch(std::string text) {
    return {Kind::DimensionMismatch, 0, std::move(text)};
  }

  // "No formula found up to complexity {n}", or the mismatch text unchanged.
  std::string message() const {
    if (kind == Kind::NoFormulaFound) {
      return "No formula found up to complexity " + std::to_string(max_complexity);
    }
    return text;
  }
};

inline constexpr const char* kDimensionMismatchText =
    "Inputs and target vector must be non-empty and equal length.";

// A value or the search error that replaced it.
template <class T>
using Expected = std::variant<T, SearchError>;

}  // namespace qarn
