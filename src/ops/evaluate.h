#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// Applies operator `index` of the registry to `arity` values at `args` and
// screens the result: false when the operator has no value there, or when a
// part of the result is not finite or reaches 1e15 in magnitude.
bool apply_operator(const OperatorRegistry& registry, std::uint64_t index, std::uint8_t arity,
                    const Complex* args, Complex& out);

// Complex value of `tokens` at one data point, or empty where the formula has
// no value there. `params`, when non-empty, overrides the stored values of the
// Parameter tokens whose slot it covers. Operator results that are not finite
// or reach 1e15 in either part fail the evaluation; leaves are pushed as is.
std::optional<Complex> evaluate(std::span<const Token> tokens, std::span<const Complex> inputs,
                                std::span<const Complex> params, const OperatorRegistry& registry);

// Same, with a caller-owned stack reused across calls (rows of one data set).
std::optional<Complex> evaluate(std::span<const Token> tokens, std::span<const Complex> inputs,
                                std::span<const Complex> params, const OperatorRegistry& registry,
                                std::vector<Complex>& stack);

// Real part of the value at the real point `xs` (stored parameter values), or
// NaN when the evaluation fails.
double evaluate_real(const Formula& formula, const OperatorRegistry& registry,
                     std::span<const double> xs);

// Same, reusing `inputs` and `stack` as scratch across calls.
double evaluate_real(const Formula& formula, const OperatorRegistry& registry,
                     std::span<const double> xs, std::vector<Complex>& inputs,
                     std::vector<Complex>& stack);

// A data set held variable by variable, so that the batch evaluator copies a
// variable's block of rows in one go. Rows may differ in length: a variable a
// row does not have fails that row.
class DataColumns {
 public:
  DataColumns() = default;
  explicit DataColumns(std::span<const std::vector<Complex>> rows);

  std::size_t rows() const { return rows_; }
  std::size_t vars() const { return vars_; }
  // Values of variable v for rows [begin, begin + count).
  const Complex* column(std::size_t v, std::size_t begin) const { return &values_[v * rows_ + begin]; }
  // True when row r has at least v + 1 inputs.
  bool has(std::size_t r, std::size_t v) const { return v < row_len_[r]; }
  bool ragged() const { return ragged_; }

 private:
  std::size_t rows_ = 0;
  std::size_t vars_ = 0;  // longest row
  bool ragged_ = false;
  std::vector<Complex> values_;       // vars_ * rows_, variable-major; missing entries are 0
  std::vector<std::size_t> row_len_;  // inputs of each row
};

// Evaluates one formula over a block of rows token by token: the dispatch is
// paid once per token and block, not per row. Bit-identical to `evaluate`
// row by row, including which rows fail. Holds its stack between calls.
class BatchEvaluator {
 public:
  static constexpr std::size_t kBlock = 64;

  // Rows [begin, begin + count) with count <= kBlock. Writes out[i] and
  // ok[i] (1 = has a value) for i < count.
  void run(std::span<const Token> tokens, const DataColumns& data, std::size_t begin,
           std::size_t count, std::span<const Complex> params, const OperatorRegistry& registry,
           Complex* out, std::uint8_t* ok);

 private:
  std::vector<Complex> stack_;
};

}  // namespace qarn
