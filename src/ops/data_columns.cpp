#include "ops/data_columns.h"

#include <algorithm>

namespace qarn {

DataColumns::DataColumns(std::span<const std::vector<Complex>> rows) : rows_(rows.size()) {
  std::size_t vars = 0;
  for (const std::vector<Complex>& row : rows) vars = std::max(vars, row.size());
  fill(rows, vars);
}

DataColumns::DataColumns(const Rows& rows, std::size_t width) : rows_(rows.size()) {
  std::size_t vars = 0;
  for (const std::vector<double>& row : rows) vars = std::max(vars, std::min(row.size(), width));
  fill(std::span<const std::vector<double>>(rows), vars);
}

template <class Row>
void DataColumns::fill(std::span<const Row> rows, std::size_t vars) {
  values_.assign(vars * rows_, Complex{});
  std::vector<bool> partial(vars, false);
  for (std::size_t r = 0; r < rows_; ++r) {
    const std::size_t kept = std::min(rows[r].size(), vars);
    for (std::size_t v = 0; v < kept; ++v) values_[v * rows_ + r] = Complex{rows[r][v]};
    for (std::size_t v = kept; v < vars; ++v) partial[v] = true;
  }
  std::size_t partial_count = 0;
  for (bool p : partial) partial_count += p ? 1 : 0;
  masks_.assign(partial_count * rows_, std::uint8_t{0});
  std::size_t m = 0;
  for (std::size_t v = 0; v < vars; ++v) {
    columns_.push_back(values_.data() + v * rows_);
    if (!partial[v]) {
      valid_.push_back(nullptr);
      continue;
    }
    std::uint8_t* mask = masks_.data() + m++ * rows_;
    for (std::size_t r = 0; r < rows_; ++r) mask[r] = v < rows[r].size() ? 1 : 0;
    valid_.push_back(mask);
  }
}

void DataColumns::view_of(const DataColumns& base) {
  rows_ = base.rows_;
  columns_.assign(base.columns_.begin(), base.columns_.end());
  valid_.assign(base.valid_.begin(), base.valid_.end());
  values_.clear();
  masks_.clear();
}

void DataColumns::add_column(const Complex* values, const std::uint8_t* valid) {
  columns_.push_back(values);
  valid_.push_back(valid);
}

}  // namespace qarn
