#pragma once

#include <span>

namespace qarn {

// Mean squared error of the values f against the targets y over the first
// f.size() targets, divided by y.size() as a loss pass divides it.
double mean_squared_error(std::span<const double> f, std::span<const double> y);

// The mean squared error of the best affine map a + b x f of the values f
// against the targets y (closed-form least squares over the first f.size()
// targets, divided by y.size()): the loss the candidate would have with the
// right scale and offset. Never above mean_squared_error(f, y); the error of
// the best constant when f is constant; NaN when f is empty.
//
// The beam of a level ranks its candidates by it under the affine option, so
// that a building block of the right shape but the wrong scale or offset is
// kept for the next levels, where Plus and Times with a parameter supply
// them. The reported formulas and their errors are never affine-mapped.
double affine_loss(std::span<const double> f, std::span<const double> y);

}  // namespace qarn
