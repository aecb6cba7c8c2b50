// The equal-power panner.
#pragma once

#include <bit>
#include <cmath>
#include <tuple>
#include <utility>

#include "sample.hpp"

namespace vorda {

// The gains (cos θ, sin θ) with θ = (pos + 1)·π/4. Only the position is
// clamped, by ordered comparisons, so a NaN position passes.
inline std::tuple<Sample, Sample> pan_gains(Sample pos) {
  constexpr Sample kQuarterPi = std::bit_cast<Sample>(0x3F490FDBu);
  if (pos < -1.0f) pos = -1.0f;
  if (pos > 1.0f) pos = 1.0f;
  Sample theta = (pos + 1.0f) * kQuarterPi;
  return {cosf(theta), sinf(theta)};
}

inline std::pair<Sample, Sample> pan_at(Sample x, Sample left_gain, Sample right_gain) {
  return {x * left_gain, x * right_gain};
}

// Returns (left, right). A run at one position may compute the gains once.
inline std::pair<Sample, Sample> pan2(Sample x, Sample pos) {
  auto [left_gain, right_gain] = pan_gains(pos);
  return pan_at(x, left_gain, right_gain);
}

}  // namespace vorda
