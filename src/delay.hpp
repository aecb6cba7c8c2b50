// Delay effects: delay lines, feedback comb filters and allpass filters.
//
// Each is written once over the ring it embeds: RingBufferS (delays in whole
// samples), RingBufferN (seconds, truncated) or RingBufferL (seconds,
// interpolated). Every step reads before it writes, so a delay of 0 reaches
// the oldest slot and is never a pass-through.
#pragma once

#include <cmath>
#include <cstdint>
#include <tuple>

#include "ring_buffer.hpp"
#include "sample.hpp"

namespace vorda {

template <class Ring>
class DelayLine {
 public:
  template <class... Args>
  explicit DelayLine(Args... args) : ring_(args...) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    visit(self.ring_);
  }
  bool consistent() const { return ring_.consistent(); }

  using Delay = typename Ring::Delay;

  Sample process(Sample xn, Delay delay) {
    Sample y = tap(delay, 0);
    feed(xn, y, delay);
    return y;
  }

  // A step in two halves, the read and what follows it, so that a chunk of
  // steps can take all its reads first when none reaches a sample the chunk
  // writes (`youngest` tells how far back the read looks).
  Sample tap(Delay delay, std::uint64_t ahead) const { return ring_.tap(delay, ahead); }
  auto prepare_tap(Delay delay) const { return ring_.prepare_tap(delay); }
  template <class Prepared>
  Sample tap_at(Prepared delay, std::uint64_t ahead) const { return ring_.tap_at(delay, ahead); }
  std::uint64_t youngest(Delay delay) const { return ring_.youngest(delay); }
  void feed(Sample xn, Sample /*delayed*/, Delay /*delay*/) { ring_.write(xn); }

 private:
  Ring ring_;
};

// The feedback gain under which a signal circulating with `delay` falls to
// 0.001 (60 dB down) over `decay`. Recomputed on every call, so both may be
// modulated freely.
inline constexpr Sample kSixtyDecibels = 0.001f;

inline Sample decay_coefficient(std::uint64_t delay_samp, std::uint64_t decay_samp) {
  return powf(kSixtyDecibels, static_cast<Sample>(delay_samp) / static_cast<Sample>(decay_samp));
}

// A negative decay time (−0.0 included) gives the negative gain: echoes
// alternate in sign. The exponent uses the requested delay in seconds, not
// the whole-sample count the read uses.
inline Sample decay_coefficient(Sample delay_sec, Sample decay_sec) {
  Sample sign = std::isnan(decay_sec) ? decay_sec : copysignf(1.0f, decay_sec);
  return sign * powf(kSixtyDecibels, delay_sec / fabsf(decay_sec));
}

// The loop both filters share: v = x + g * (delayed v). A step at a delay
// and a decay is the step at the coefficient they give, so a run of steps at
// one delay and one decay may compute the coefficient once (`at_coefficient`,
// then `process_at`) and still give the same bits.
template <class Ring>
class FeedbackLoop {
 public:
  using Delay = typename Ring::Delay;

  template <class... Args>
  explicit FeedbackLoop(Args... args) : ring_(args...) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    visit(self.ring_);
  }
  bool consistent() const { return ring_.consistent(); }

  static std::tuple<Delay, Sample> at_coefficient(Delay delay, Delay decay) {
    return {delay, decay_coefficient(delay, decay)};
  }

 protected:
  struct Step {
    Sample delayed;  // the loop signal read back
    Sample gain;
    Sample stored;  // what went into the loop
  };

  Step circulate(Sample xn, Delay delay, Sample gain) {
    Sample delayed = ring_.tap(delay, 0);
    Sample stored = xn + gain * delayed;
    ring_.write(stored);
    return {delayed, gain, stored};
  }

 public:
  // The step's read and the rest of it, as for DelayLine.
  Sample tap(Delay delay, std::uint64_t ahead) const { return ring_.tap(delay, ahead); }
  auto prepare_tap(Delay delay) const { return ring_.prepare_tap(delay); }
  template <class Prepared>
  Sample tap_at(Prepared delay, std::uint64_t ahead) const { return ring_.tap_at(delay, ahead); }
  std::uint64_t youngest(Delay delay) const { return ring_.youngest(delay); }
  void feed(Sample xn, Sample delayed, Delay /*delay*/, Sample gain) {
    ring_.write(xn + gain * delayed);
  }

 private:
  Ring ring_;
};

// Returns the delayed loop signal: z^-D / (1 - g z^-D).
template <class Ring>
class Comb : public FeedbackLoop<Ring> {
 public:
  using FeedbackLoop<Ring>::FeedbackLoop;
  using typename FeedbackLoop<Ring>::Delay;

  Sample process(Sample xn, Delay delay, Delay decay) {
    return process_at(xn, delay, decay_coefficient(delay, decay));
  }

  Sample process_at(Sample xn, Delay delay, Sample gain) {
    Sample delayed = this->tap(delay, 0);
    this->feed(xn, delayed, delay, gain);
    return delayed;
  }
};

// Adds the feed-forward path: (z^-D - g) / (1 - g z^-D), using the value
// just stored.
template <class Ring>
class Allpass : public FeedbackLoop<Ring> {
 public:
  using FeedbackLoop<Ring>::FeedbackLoop;
  using typename FeedbackLoop<Ring>::Delay;

  Sample process(Sample xn, Delay delay, Delay decay) {
    return process_at(xn, delay, decay_coefficient(delay, decay));
  }

  Sample process_at(Sample xn, Delay delay, Sample gain) {
    auto step = this->circulate(xn, delay, gain);
    return step.delayed - step.gain * step.stored;
  }
};

using DelayS = DelayLine<RingBufferS>;
using DelayN = DelayLine<RingBufferN>;
using DelayL = DelayLine<RingBufferL>;
using CombS = Comb<RingBufferS>;
using CombN = Comb<RingBufferN>;
using CombL = Comb<RingBufferL>;
using AllpassS = Allpass<RingBufferS>;
using AllpassN = Allpass<RingBufferN>;
using AllpassL = Allpass<RingBufferL>;

}  // namespace vorda
