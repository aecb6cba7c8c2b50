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

// What every delay effect is built on: the ring it embeds, which is all of
// its state.
template <class Ring>
class OnRing {
 public:
  using Delay = typename Ring::Delay;

  template <class... Args>
  explicit OnRing(Args... args) : ring_(args...) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    visit(self.ring_);
  }
  bool consistent() const { return ring_.consistent(); }

  // The ring it reads and writes, for a run of steps that takes its reads
  // ahead of its writes.
  const Ring& ring() const { return ring_; }
  Ring& ring() { return ring_; }

 protected:
  Ring ring_;
};

template <class Ring>
class DelayLine : public OnRing<Ring> {
 public:
  using OnRing<Ring>::OnRing;
  using typename OnRing<Ring>::Delay;

  Sample process(Sample xn, Delay delay) {
    Sample y = this->ring_.read(delay);
    this->ring_.write(xn);
    return y;
  }
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

// What a feedback filter returns from a step that read `delayed` from its
// loop and stored `stored` into it with gain `gain`.
struct CombOutput {  // z^-D / (1 - g z^-D): the delayed loop signal
  static Sample of(Sample delayed, Sample /*gain*/, Sample /*stored*/) { return delayed; }
};
struct AllpassOutput {  // (z^-D - g) / (1 - g z^-D): adds the feed-forward path
  static Sample of(Sample delayed, Sample gain, Sample stored) { return delayed - gain * stored; }
};

// The loop both filters share: v = x + g * (delayed v). A step at a delay
// and a decay is the step at the coefficient they give, so a run of steps at
// one delay and one decay may compute the coefficient once (`at_coefficient`,
// then `process_at`) and still give the same bits.
template <class Ring, class Output>
class FeedbackLoop : public OnRing<Ring> {
 public:
  using OnRing<Ring>::OnRing;
  using typename OnRing<Ring>::Delay;

  Sample process(Sample xn, Delay delay, Delay decay) {
    return process_at(xn, delay, decay_coefficient(delay, decay));
  }

  static std::tuple<Delay, Sample> at_coefficient(Delay delay, Delay decay) {
    return {delay, decay_coefficient(delay, decay)};
  }

  Sample process_at(Sample xn, Delay delay, Sample gain) {
    Sample delayed = this->ring_.read(delay);
    Sample stored = feed(xn, delayed, gain);
    return output(delayed, gain, stored);
  }

  // The rest of a step once its read gave `delayed`: what goes into the
  // loop. A run of steps that takes its reads ahead of its writes calls this
  // for its second half (or these formulas, a span at a time), so all share
  // the one formula.
  Sample feed(Sample xn, Sample delayed, Sample gain) {
    Sample stored = into_loop(xn, delayed, gain);
    this->ring_.write(stored);
    return stored;
  }
  static Sample into_loop(Sample xn, Sample delayed, Sample gain) { return xn + gain * delayed; }
  static Sample output(Sample delayed, Sample gain, Sample stored) {
    return Output::of(delayed, gain, stored);
  }
};

template <class Ring>
using Comb = FeedbackLoop<Ring, CombOutput>;
template <class Ring>
using Allpass = FeedbackLoop<Ring, AllpassOutput>;

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
