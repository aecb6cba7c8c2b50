#include "osc.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "frame.hpp"

namespace vorda {
namespace {

// The first four outputs of SplitMix64 started at `seed`; never all zero.
std::array<std::uint64_t, 4> expand_seed(std::uint64_t seed) {
  std::array<std::uint64_t, 4> state;
  for (int i = 0; i < 4; ++i) {
    std::uint64_t z = seed + static_cast<std::uint64_t>(i + 1) * 0x9E3779B97F4A7C15u;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    state[i] = z ^ (z >> 31);
  }
  return state;
}

std::string describe_errno(int error) {
  if (error <= 0) return "errno: did not return a positive value";
  return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

std::array<std::uint64_t, 4> state_from_os() {
  unsigned char bytes[32] = {};
  errno = 0;
  if (getentropy(bytes, sizeof bytes) != 0) panic("from_os_rng failed: " + describe_errno(errno));
  std::array<std::uint64_t, 4> state{};
  for (int word = 0; word < 4; ++word)
    for (int byte = 7; byte >= 0; --byte) state[word] = (state[word] << 8) | bytes[word * 8 + byte];
  // xoshiro cannot leave the all-zero state; fall back to what seed 0 gives.
  if (state == std::array<std::uint64_t, 4>{}) return expand_seed(0);
  return state;
}

}  // namespace

WhiteNoise::WhiteNoise(std::optional<std::uint64_t> seed)
    : s_(seed ? expand_seed(*seed) : state_from_os()) {}

// --- Python presentation ---------------------------------------------------

template <>
struct PyClass<SinOsc> {
  static constexpr const char* name = "SinOsc";
  static constexpr const char* doc =
      "SinOsc(sample_rate, phase=0.0)\n--\n\n"
      "A simple phase-accumulating sine oscillator.\n\n"
      "This oscillator generates a continuous sine waveform\n"
      "using normalized phase accumulation.\n\n"
      "Characteristics:\n"
      "- Audio-rate oscillator\n"
      "- Stateless API with internal phase state\n"
      "- Deterministic and reproducible given the same inputs\n\n"
      "Phase model:\n"
      "- Phase is normalized to the range [0, 1)\n"
      "- Output is computed as `sin(phase * TAU)`\n\n"
      "Notes:\n"
      "- No band-limiting is applied\n"
      "- High frequencies may produce aliasing";
  static constexpr newfunc init =
      constructor<SinOsc(Sample, Sample), req("sample_rate"), opt("phase", 0.0)>;
  static inline PyMethodDef methods[] = {
      method<"process", &SinOsc::process, req("frequency")>(
          "process($self, frequency)\n--\n\n"
          "Process one sample of the oscillator.\n\n"
          "# Parameters\n"
          "- `frequency`: oscillator frequency in Hz\n\n"
          "# Returns\n"
          "The current sine output sample."),
      method<"reset", &SinOsc::reset>(
          "reset($self)\n--\n\n"
          "Reset the internal phase to zero.\n\n"
          "After reset, the next output will be `sin(0) = 0`."),
      {},
  };
  static inline PyGetSetDef properties[] = {
      property<&SinOsc::sample_rate>("sample_rate", "Get the current sample rate."),
      property<&SinOsc::phase>("phase", "Get the current normalized phase."),
      {},
  };
};
template PyTypeObject* type_object<SinOsc>();

template <>
struct PyClass<WhiteNoise> {
  static constexpr const char* name = "WhiteNoise";
  static constexpr const char* doc =
      "WhiteNoise(seed=None)\n--\n\n"
      "White noise signal generator.\n\n"
      "This generator produces independent, uniformly distributed\n"
      "random samples in the range [-1.0, 1.0].\n\n"
      "Characteristics:\n"
      "- Stateless from the user's perspective\n"
      "- Internally uses a fast, small RNG\n"
      "- Suitable for noise sources, modulation, and testing\n\n"
      "Notes:\n"
      "- The distribution is uniform, not Gaussian\n"
      "- The RNG is seeded from the operating system";
  static constexpr newfunc init =
      constructor<WhiteNoise(std::optional<std::uint64_t>), opt("seed")>;
  static inline PyMethodDef methods[] = {
      method<"process", &WhiteNoise::process>(
          "process($self)\n--\n\n"
          "Generate one white noise sample.\n\n"
          "# Returns\n"
          "A random value uniformly distributed in [-1.0, 1.0]."),
      {},
  };
};
template PyTypeObject* type_object<WhiteNoise>();

}  // namespace vorda
