#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "ops/batch_evaluate.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// Elastic-net penalty of the formula as it stands: alpha x (l1_ratio x L1 +
// (1 - l1_ratio) x 0.5 x L2) over its RealConstant values and the real parts
// of its stored Parameter values, in token order.
double stored_penalty(std::span<const Token> tokens, double alpha, double l1_ratio);

// The same penalty over a parameter vector: every entry of theta, then the
// RealConstant values of `tokens`.
double theta_penalty(std::span<const double> theta, std::span<const Token> tokens, double alpha,
                     double l1_ratio);

// The evaluator's parameter vector: entry k is (theta_k, 0.0); a Parameter
// token with slot s reads entry s.
void load_params(std::span<const double> theta, std::vector<Complex>& params);

// Every token's values over all rows of one pass, block by block: the
// Jacobian passes of a fit take the subtrees that do not read the perturbed
// entry from the record of the pass at theta instead of evaluating them again.
struct Tape {
  std::size_t tokens = 0;
  std::vector<Complex> values;
  std::vector<std::uint8_t> ok;

  void resize(std::size_t token_count, std::size_t rows) {
    tokens = token_count;
    const std::size_t blocks = (rows + BatchEvaluator::kBlock - 1) / BatchEvaluator::kBlock;
    values.resize(blocks * tokens * BatchEvaluator::kBlock);
    ok.resize(values.size());
  }
  // Record of the block that starts at row `begin`.
  Complex* values_at(std::size_t begin) { return values.data() + begin * tokens; }
  std::uint8_t* ok_at(std::size_t begin) { return ok.data() + begin * tokens; }
};

// How one error pass runs and what it leaves behind.
struct PassOptions {
  std::span<const Complex> params{};  // parameter vector (see load_params); empty: stored values
  double penalty = 0.0;               // added to the mean squared error
  bool screen = false;                // a value with a part of magnitude >= 1e15 fails its row too
  double* keep = nullptr;  // when set, keep[i] = real part of row i, for rows with a target
  // When finite, the pass returns +inf as soon as its result can no longer
  // fall below this value.
  double stop_at = std::numeric_limits<double>::infinity();
  Tape* record = nullptr;  // when set, receives every token's values
};

// One evaluation pass over all rows of a data set, block by block, and its
// error: the mean squared error of the real parts against the targets (rows
// beyond the targets are evaluated but not counted; the sum is divided by the
// number of targets) plus the penalty; +inf when a row has no value, and
// whenever the pass stops early. Holds its evaluator and one block of scratch.
class ErrorPass {
 public:
  double run(std::span<const Token> program, const DataColumns& data,
             std::span<const double> targets, const OperatorRegistry& registry,
             const PassOptions& options);

  // The evaluator, for callers that evaluate blocks themselves between passes.
  BatchEvaluator& evaluator() { return evaluator_; }

 private:
  BatchEvaluator evaluator_;
};

}  // namespace qarn
