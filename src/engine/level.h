#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/child.h"
#include "engine/fingerprint.h"
#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// The retained formulas of one complexity level, with what their children
// need: values at the probe points (a child's probe value is its operator
// applied to its parents' values) and structure keys (for beam diversity).
struct Level {
  // Values of a formula on every row of the data set: at its stored
  // parameter values, then (for a formula with parameters) once per
  // parameter entry j with entry j raised by the fit's difference step. A
  // child's loss pass and first Jacobian read them (OperandColumns); the
  // values of a parameter-free formula also stand in for it in every pass.
  struct Column {
    std::vector<Complex> values;   // (1 + raised) x rows
    std::vector<std::uint8_t> ok;  // 1 where the formula has a value
    std::size_t raised = 0;        // parameter entries, one raised block each
    bool fixed = false;            // no Parameter token: the values hold for every pass
  };

  std::vector<Formula> formulas;
  std::vector<ProbeValues> probes;  // raw evaluation results at the five probes
  std::vector<std::string> keys;    // structure_key of each formula
  std::vector<Column> columns;      // values empty where not cached (memory budget)

  std::size_t size() const { return formulas.size(); }
  void add(Formula formula, const OperatorRegistry& registry);
};

// The levels retained so far, indexed by complexity.
using Levels = std::vector<Level>;

// Parents of `child` at level `level`.
const Formula& left_parent(const Levels& levels, std::uint64_t level, const Child& child);
const Formula& right_parent(const Levels& levels, std::uint64_t level, const Child& child);

// Builds the child of `child` at `level` from the retained levels.
Formula materialize(const Levels& levels, std::uint64_t level, const Child& child,
                    const OperatorRegistry& registry);

}  // namespace qarn
