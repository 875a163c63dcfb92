#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace qarn {

// Runs fn(begin, end, part) over consecutive pieces of [0, n) of at most
// `grain` items on the worker pool and returns the parts in piece order, so
// that joining them gives results in input order whatever the scheduling.
template <class Part, class Fn>
std::vector<Part> parallel_pieces(std::size_t n, std::size_t grain, Fn&& fn) {
  grain = std::max<std::size_t>(grain, 1);
  const std::size_t pieces = (n + grain - 1) / grain;
  std::vector<Part> parts(pieces);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, pieces, 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t p = r.begin(); p != r.end(); ++p) {
                        fn(p * grain, std::min(n, (p + 1) * grain), parts[p]);
                      }
                    });
  return parts;
}

}  // namespace qarn
