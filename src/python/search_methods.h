#pragma once

#include "python/arguments.h"

// The parameter lists of Searcher's search methods, shared by every binding
// that takes a search call (qarn_sr.Searcher, the cluster driver of
// _qarn_sr_core), so that both bind arguments with the same names, order and
// messages. Each method converts the overrides first, then the data (first
// argument), then `ys`.

namespace qarn::py {

inline constexpr const char* kFunctionNames[] = {"xs", "ys", "alpha", "l1_ratio"};
inline constexpr const char* kRowsNames[] = {"inputs", "ys", "alpha", "l1_ratio"};
inline constexpr const char* kConstantNames[] = {"value", "alpha", "l1_ratio"};
inline constexpr Parameters kFindFunctionParams{"find_function", kFunctionNames, 2};
inline constexpr Parameters kFindMultivariateParams{"find_multivariate", kRowsNames, 2};
inline constexpr Parameters kFitParams{"fit", kRowsNames, 2};
inline constexpr Parameters kFindCandidatesParams{"find_candidates", kRowsNames, 2};
inline constexpr Parameters kRecognizeConstantParams{"recognize_constant", kConstantNames, 1};

}  // namespace qarn::py
