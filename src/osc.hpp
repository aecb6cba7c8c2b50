// Audio-rate sources: the sine oscillator and the white-noise generator.
#pragma once

#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "sample.hpp"

namespace vorda {

class SinOsc {
 public:
  // 2π rounded to single precision.
  static constexpr Sample kTau = std::bit_cast<Sample>(0x40C90FDBu);

  // The phase is kept as given (not wrapped) until the first step.
  SinOsc(Sample sample_rate, Sample phase)
      : sample_rate_(checked_sample_rate(sample_rate)), phase_(phase) {}
  explicit SinOsc(Blank) : sample_rate_(0), phase_(0) {}

  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    visit(self.sample_rate_);
    visit(self.phase_);
  }
  bool consistent() const { return sample_rate_ > 0.0f; }

  // The output comes from the phase before this step's increment.
  Sample process(Sample frequency) {
    Sample y = sinf(phase_ * kTau);
    phase_ = advance_phase(phase_, frequency / sample_rate_);
    return y;
  }

  void reset() { phase_ = 0.0f; }
  Sample sample_rate() const { return sample_rate_; }
  Sample phase() const { return phase_; }

 private:
  Sample sample_rate_;
  Sample phase_;
};

// Uniform noise on the 2^-22 grid in [-1, 1) from xoshiro256++.
class WhiteNoise {
 public:
  // With a seed, the state is expanded from it by SplitMix64; without one it
  // is read from the operating system's entropy source (panicking if that
  // fails).
  explicit WhiteNoise(std::optional<std::uint64_t> seed)
      : s_(seed ? expand_seed(*seed) : state_from_os()) {}
  explicit WhiteNoise(Blank) : s_{} {}

  // The generator's state, however it was seeded.
  template <class Self, class Visit>
  static void state(Self& self, Visit& visit) {
    for (auto& word : self.s_) visit(word);
  }
  bool consistent() const { return s_ != State{}; }  // xoshiro's one dead state

  Sample process() {
    // The top 23 bits become the mantissa of a float in [1, 2); every step
    // below is exact.
    auto mantissa = static_cast<std::uint32_t>(next() >> 41);
    Sample unit = std::bit_cast<Sample>(0x3F800000u | mantissa) + (-1.0f);
    return (unit + unit) + (-1.0f);
  }

 private:
  using State = std::array<std::uint64_t, 4>;

  // The first four outputs of SplitMix64 started at `seed`; never all zero.
  static State expand_seed(std::uint64_t seed) {
    State state;
    for (int i = 0; i < 4; ++i) {
      std::uint64_t z = seed + static_cast<std::uint64_t>(i + 1) * 0x9E3779B97F4A7C15u;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
      state[i] = z ^ (z >> 31);
    }
    return state;
  }

  static std::string describe_errno(int error) {
    if (error <= 0) return "errno: did not return a positive value";
    return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
  }

  static State state_from_os() {
    unsigned char bytes[32] = {};
    errno = 0;
    if (getentropy(bytes, sizeof bytes) != 0)
      panic("from_os_rng failed: " + describe_errno(errno));
    State state{};
    for (int word = 0; word < 4; ++word)
      for (int byte = 7; byte >= 0; --byte)
        state[word] = (state[word] << 8) | bytes[word * 8 + byte];
    // xoshiro cannot leave the all-zero state; fall back to what seed 0 gives.
    if (state == State{}) return expand_seed(0);
    return state;
  }

  std::uint64_t next() {
    std::uint64_t result = std::rotl(s_[0] + s_[3], 23) + s_[0];
    std::uint64_t shifted = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= shifted;
    s_[3] = std::rotl(s_[3], 45);
    return result;
  }

  State s_;
};

}  // namespace vorda
