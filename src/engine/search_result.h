#pragma once

#include <memory>

#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// One formula of the returned Pareto front. The registry handle keeps the
// operators alive for later evaluation and rendering.
struct SearchResult {
  Formula formula;
  std::shared_ptr<const OperatorRegistry> registry;
  double loss = 0.0;  // mean squared error plus the elastic-net penalty
};

}  // namespace qarn
