#include "engine/affine.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qarn {

double mean_squared_error(std::span<const double> f, std::span<const double> y) {
  double sse = 0.0;
  for (std::size_t i = 0; i < f.size(); ++i) {
    const double d = f[i] - y[i];
    sse += d * d;
  }
  return sse / static_cast<double>(y.size());
}

double affine_loss(std::span<const double> f, std::span<const double> y) {
  const std::size_t n = f.size();
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  const double count = static_cast<double>(n);
  double sum_f = 0.0;
  double sum_y = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sum_f += f[i];
    sum_y += y[i];
  }
  const double mean_f = sum_f / count;
  const double mean_y = sum_y / count;
  // Centred sums: an exact fit then leaves residuals at the rounding level of
  // the values, not of their squares' difference.
  double sff = 0.0;
  double sfy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double df = f[i] - mean_f;
    sff += df * df;
    sfy += df * (y[i] - mean_y);
  }
  const double b = sff > 0.0 ? sfy / sff : 0.0;
  double sse = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double r = y[i] - mean_y - b * (f[i] - mean_f);
    sse += r * r;
  }
  const double affine = sse / static_cast<double>(y.size());
  // a = 0, b = 1 is one of the maps; rounding must not rank f below itself.
  return std::isfinite(affine) ? std::min(affine, mean_squared_error(f, y)) : affine;
}

}  // namespace qarn
