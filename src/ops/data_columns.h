#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ops/complex.h"

namespace qarn {

// A data set as a caller hands it in, sample-major: row i holds the input
// values of sample i. Rows may differ in length.
using Rows = std::vector<std::vector<double>>;

// A data set held variable by variable, so that the batch evaluator reads a
// variable's block of rows where it lies. A variable may be missing on some rows
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
  // The real values (v, 0.0) of `rows`, with at most `width` variables: the
  // values past that width in a longer row are not kept.
  DataColumns(const Rows& rows, std::size_t width);

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
  // True when row r has variable v. Used by tests only: the batch evaluator
  // reads valid() directly, and "BatchEvaluator: fixed cases" holds the two
  // together.
  bool has(std::size_t r, std::size_t v) const { return valid_[v] == nullptr || valid_[v][r] != 0; }

  // Makes this object a view of `base` (which must outlive it) holding the
  // base's variables; columns added later follow them. Keeps its capacity.
  void view_of(const DataColumns& base);
  // Appends a column of rows() values; `valid` may be null (present everywhere).
  void add_column(const Complex* values, const std::uint8_t* valid);

 private:
  template <class Row>
  void fill(std::span<const Row> rows, std::size_t width);

  std::size_t rows_ = 0;
  std::vector<const Complex*> columns_;     // one pointer per variable
  std::vector<const std::uint8_t*> valid_;  // one mask pointer (or null) per variable
  std::vector<Complex> values_;             // owned data, variable-major; missing entries 0
  std::vector<std::uint8_t> masks_;         // owned masks of the variables some row lacks
};

}  // namespace qarn
