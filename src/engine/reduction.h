#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/subtree.h"
#include "ops/batch_evaluate.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// Values of a subtree of a token list (tokens [begin, end)) that are already
// known on every row of the data set, with the rows where it has no value.
struct KnownColumn {
  std::size_t begin = 0;
  std::size_t end = 0;
  const Complex* values = nullptr;
  const std::uint8_t* ok = nullptr;
};

// A formula rewritten for repeated evaluation with changing parameter values.
// Every subtree without Parameter tokens computes the same values in every
// pass, so it is evaluated once over all rows (or taken from a known column)
// and read back as an extra variable of a view of the data set. The rewritten
// tokens give bit-identical values and the same failing rows as the original
// ones, for every parameter vector.
class ReducedFormula {
 public:
  // Rewrites `tokens`; false when nothing can be gained or the rewrite does
  // not apply (malformed tokens, more columns than a variable index can
  // address), in which case the caller evaluates the tokens as they are.
  bool build(std::span<const Token> tokens, const DataColumns& data,
             const OperatorRegistry& registry, std::span<const KnownColumn> known,
             BatchEvaluator& evaluator);

  std::span<const Token> tokens() const { return program_; }
  const DataColumns& data() const { return view_; }

 private:
  std::vector<Token> first_;           // tokens with the known subtrees replaced
  std::vector<Token> program_;         // final rewritten tokens
  DataColumns view_;                   // base variables, then the columns
  SubtreeSpans spans_;                 // subtrees of first_
  std::vector<std::uint8_t> depends_;  // per token of first_: subtree holds a Parameter
  std::vector<std::size_t> roots_;     // roots of the subtrees to precompute, by start
  std::vector<Complex> values_;        // precomputed columns, rows() values each
  std::vector<std::uint8_t> ok_;       // their masks
  std::vector<Complex> block_values_;
  std::vector<std::uint8_t> block_ok_;
};

}  // namespace qarn
