#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ops/data_columns.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// Evaluates one formula over a block of rows token by token: the dispatch is
// paid once per token and block, not per row. Bit-identical to `evaluate`
// row by row, including which rows fail. Holds its stack between calls.
class BatchEvaluator {
 public:
  // One walk of the tokens per pass over up to this many rows: each walk
  // costs its set-up, while a pass that cannot win stops only at a block's
  // end; 256 measured fastest on 100 to 1,000 rows.
  static constexpr std::size_t kBlock = 256;

  // Rows [begin, begin + count) with count <= kBlock. Writes out[i] and
  // ok[i] (1 = has a value) for i < count.
  void run(std::span<const Token> tokens, const DataColumns& data, std::size_t begin,
           std::size_t count, std::span<const Complex> params, const OperatorRegistry& registry,
           Complex* out, std::uint8_t* ok);

  // Subtrees whose values an earlier recorded run already holds: a token i
  // with skip_to[i] != kNone starts a subtree ending at token skip_to[i],
  // whose recorded values and flags are taken instead of evaluating it. Only
  // subtrees of more than one token that read a variable may be named (the
  // record holds all rows of those alone).
  struct Reuse {
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    const std::size_t* skip_to = nullptr;  // one entry per token
    const Complex* values = nullptr;       // record of that run
    const std::uint8_t* ok = nullptr;
  };

  // One operand on the evaluation stack: values and flags one per row, or
  // (uniform) one for every row, at index 0.
  struct Operand {
    const Complex* values = nullptr;
    const std::uint8_t* ok = nullptr;
    bool uniform = false;
  };

  // `run` without the copy: the formula's values and flags for rows
  // [0, count) where they lie (a data column, a record or the evaluator's
  // scratch), valid until the next call, one per row or (uniform) one for
  // every row; the same values and flags as `run`. Also writes (when
  // `record` is not null) the values of token i's subtree to
  // record[i * kBlock + row] and whether the whole subtree has a value there
  // to record_ok[...], for every subtree of more than one token that reads a
  // variable; and (when `reuse` is not null) takes the subtrees it names
  // from an earlier record of the same tokens over the same rows. Other
  // tokens' records are scratch: a subtree that is the same on every row
  // leaves its value at row 0 alone, a lone variable leaves nothing.
  // `continues` says that this call evaluates the same tokens with the same
  // parameters, constants and reuse table as the call before it, over other
  // rows of the same data: an operator whose operands are the same on every
  // row then takes its value from that call instead of computing it again
  // (the same value: it depends on no row).
  Operand run_recorded(std::span<const Token> tokens, const DataColumns& data, std::size_t begin,
                       std::size_t count, std::span<const Complex> params,
                       const OperatorRegistry& registry, Complex* record, std::uint8_t* record_ok,
                       const Reuse* reuse, bool continues = false);

 private:
  // The root operand (uniform or one per row); values == nullptr when the
  // formula has no value on any row.
  Operand evaluate(std::span<const Token> tokens, const DataColumns& data, std::size_t begin,
                   std::size_t count, std::span<const Complex> params,
                   const OperatorRegistry& registry, Complex* record, std::uint8_t* record_ok,
                   const Reuse* reuse, bool continues);

  std::vector<Complex> stack_;
  std::vector<std::uint8_t> ok_stack_;
  std::vector<Operand> operands_;
  // Per token of the last call: the value and flag of an operator on
  // operands that are the same on every row (see `continues`).
  std::vector<Complex> uniform_values_;
  std::vector<std::uint8_t> uniform_ok_;
  const Token* last_tokens_ = nullptr;
  std::size_t last_size_ = 0;
};

}  // namespace qarn
