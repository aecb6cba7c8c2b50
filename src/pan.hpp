// The equal-power panner.
#pragma once

#include <bit>
#include <cmath>
#include <utility>

#include "sample.hpp"

namespace vorda {

// Returns (left, right) = x·(cos θ, sin θ) with θ = (pos + 1)·π/4. Only the
// position is clamped, by ordered comparisons, so a NaN position passes.
inline std::pair<Sample, Sample> pan2(Sample x, Sample pos) {
  constexpr Sample kQuarterPi = std::bit_cast<Sample>(0x3F490FDBu);
  if (pos < -1.0f) pos = -1.0f;
  if (pos > 1.0f) pos = 1.0f;
  Sample theta = (pos + 1.0f) * kQuarterPi;
  return {x * cosf(theta), x * sinf(theta)};
}

}  // namespace vorda
