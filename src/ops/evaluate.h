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
// variable's block of rows in one go. A variable may be missing on some rows
// (rows of different lengths, or a precomputed column that failed there); a
// Variable token fails on those rows.
//
// Besides owning a data set, an object can be a view of another one with
// extra columns appended as further variables (see `view_of`): the optimizer
// hands precomputed subtree values to the evaluator this way.
class DataColumns {
 public:
  DataColumns() = default;
  explicit DataColumns(std::span<const std::vector<Complex>> rows);

  // Owned storage is referenced by pointer: copying would alias it.
  DataColumns(const DataColumns&) = delete;
  DataColumns& operator=(const DataColumns&) = delete;
  DataColumns(DataColumns&&) = default;
  DataColumns& operator=(DataColumns&&) = default;

  std::size_t rows() const { return rows_; }
  std::size_t vars() const { return columns_.size(); }
  // Values of variable v from row `begin` on.
  const Complex* column(std::size_t v, std::size_t begin) const { return columns_[v] + begin; }
  // Per-row presence of variable v (1 = present), or null when present on every row.
  const std::uint8_t* valid(std::size_t v) const { return valid_[v]; }
  // True when row r has variable v.
  bool has(std::size_t r, std::size_t v) const { return valid_[v] == nullptr || valid_[v][r] != 0; }

  // Makes this object a view of `base` (which must outlive it) holding the
  // base's variables; columns added later follow them. Keeps its capacity.
  void view_of(const DataColumns& base);
  // Appends a column of rows() values; `valid` may be null (present everywhere).
  void add_column(const Complex* values, const std::uint8_t* valid);

 private:
  std::size_t rows_ = 0;
  std::vector<const Complex*> columns_;      // one pointer per variable
  std::vector<const std::uint8_t*> valid_;   // one mask pointer (or null) per variable
  std::vector<Complex> values_;              // owned data, variable-major; missing entries 0
  std::vector<std::uint8_t> masks_;          // owned masks of the variables some row lacks
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

  // Subtrees whose values an earlier recorded run already holds: a token i
  // with skip_to[i] != kNone starts a subtree ending at token skip_to[i],
  // whose recorded values and flags are taken instead of evaluating it.
  struct Reuse {
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    const std::size_t* skip_to = nullptr;  // one entry per token
    const Complex* values = nullptr;       // record of that run
    const std::uint8_t* ok = nullptr;
  };

  // `run`, also writing (when `record` is not null) the values of every
  // token's subtree to record[i * kBlock + row] and whether the whole
  // subtree has a value there to record_ok[...]; and (when `reuse` is not
  // null) taking the subtrees it names from an earlier record of the same
  // tokens over the same rows. Values and flags are those of `run`.
  void run_recorded(std::span<const Token> tokens, const DataColumns& data, std::size_t begin,
                    std::size_t count, std::span<const Complex> params,
                    const OperatorRegistry& registry, Complex* out, std::uint8_t* ok,
                    Complex* record, std::uint8_t* record_ok, const Reuse* reuse);

 private:
  std::vector<Complex> stack_;
  std::vector<std::uint8_t> ok_stack_;
};

}  // namespace qarn
