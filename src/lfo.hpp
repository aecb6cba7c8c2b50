// The low-frequency oscillator: three shapes, a main and a quarter-phase output.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

#include "sample.hpp"

namespace vorda {

enum class LfoWaveform : std::uint8_t { Sine = 0, Triangle = 1, Saw = 2 };

class Lfo {
 public:
  // Waveform numbers other than 0 and 1 select the sawtooth.
  Lfo(Sample sample_rate, std::uint64_t waveform)
      : sample_rate_(checked_sample_rate(sample_rate)),
        waveform_(waveform == 0   ? LfoWaveform::Sine
                  : waveform == 1 ? LfoWaveform::Triangle
                                  : LfoWaveform::Saw) {}

  explicit Lfo(Blank) : sample_rate_(0), waveform_(LfoWaveform::Sine) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    visit(self.sample_rate_);
    visit(self.phase_);
    visit(self.phase_qp_);
    visit(self.waveform_);
  }
  bool consistent() const {
    return sample_rate_ > 0.0f && static_cast<std::uint8_t>(waveform_) <= 2;
  }

  // The quarter phase has an accumulator of its own: it drifts from the main
  // phase by rounding, exactly as a separately started oscillator would.
  std::pair<Sample, Sample> process(Sample frequency) {
    Sample y = shape(phase_);
    Sample y_qp = shape(phase_qp_);
    Sample increment = frequency / sample_rate_;
    phase_ = advance_phase(phase_, increment);
    phase_qp_ = advance_phase(phase_qp_, increment);
    return {y, y_qp};
  }

  void reset() {
    phase_ = 0.0f;
    phase_qp_ = 0.25f;
  }

  Sample sample_rate() const { return sample_rate_; }

 private:
  Sample shape(Sample phase) const {
    Sample ramp = (phase + phase) + (-1.0f);  // -1 at phase 0
    switch (waveform_) {
      case LfoWaveform::Sine: {
        // A parabola in x = π(1 - 2·phase) with one refinement step; it can
        // overshoot ±1 by one unit in the last place.
        constexpr Sample kMinusPi = std::bit_cast<Sample>(0xC0490FDBu);
        constexpr Sample kFourOverPi = std::bit_cast<Sample>(0x3FA2F983u);
        constexpr Sample kMinusFourOverPiSquared = std::bit_cast<Sample>(0xBECF817Au);
        constexpr Sample kRefinement = std::bit_cast<Sample>(0x3E666666u);
        Sample x = ramp * kMinusPi;
        Sample linear = x * kFourOverPi;
        Sample quadratic = (x * kMinusFourOverPiSquared) * fabsf(x);
        Sample y0 = linear + quadratic;
        return y0 + ((y0 * fabsf(y0)) - y0) * kRefinement;
      }
      case LfoWaveform::Triangle:
        return (fabsf(ramp) + fabsf(ramp)) + (-1.0f);
      case LfoWaveform::Saw:
        break;
    }
    return ramp;
  }

  Sample sample_rate_;
  Sample phase_ = 0.0f;
  Sample phase_qp_ = 0.25f;
  LfoWaveform waveform_;
};

}  // namespace vorda
