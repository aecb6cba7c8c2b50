// The sample type and the one float-to-count conversion every processor uses.
#pragma once

#include <cmath>
#include <cstdint>

#include "panic.hpp"

namespace vorda {

// Every signal value, time, frequency and coefficient is held in this width.
using Sample = float;

// Snapshots. Every processor lists what a later call or property read can
// observe of it in a static `state(self, visit)` (the same list writes a
// snapshot and reads one back), says with `consistent()` whether restored
// fields form a state its constructor could have made, and can be
// constructed `Blank`: nothing allocated, nothing valid until restored.
struct Blank {};

// Float to unsigned 64-bit, saturating: negative values and NaN give 0,
// 2^64 and above give 2^64 - 1. A plain cast is undefined outside the range.
inline std::uint64_t saturating_count(Sample value) {
  if (!(value > 0.0f)) return 0;
  if (value >= 18446744073709551616.0f) return UINT64_MAX;
  return static_cast<std::uint64_t>(value);
}

// Constructors that take a sample rate refuse anything not above 0 (NaN too).
// The report names the constructor that called.
inline Sample checked_sample_rate(Sample sample_rate,
                                  std::source_location where = std::source_location::current()) {
  check(sample_rate > 0.0f, "sample_rate > 0.0", where);
  return sample_rate;
}

// One step of a normalised phase accumulator: a single subtraction of the
// floor, which brings any increment back into range. A sum just below 0
// rounds to exactly 1.0; the next step brings it back.
inline Sample advance_phase(Sample phase, Sample increment) {
  Sample sum = phase + increment;
  return sum - floorf(sum);
}

}  // namespace vorda
