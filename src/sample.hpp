// The sample type and the one float-to-count conversion every processor uses.
#pragma once

#include <cstdint>

namespace vorda {

// Every signal value, time, frequency and coefficient is held in this width.
using Sample = float;

// Float to unsigned 64-bit, saturating: negative values and NaN give 0,
// 2^64 and above give 2^64 - 1. A plain cast is undefined outside the range.
inline std::uint64_t saturating_count(Sample value) {
  if (!(value > 0.0f)) return 0;
  if (value >= 18446744073709551616.0f) return UINT64_MAX;
  return static_cast<std::uint64_t>(value);
}

}  // namespace vorda
