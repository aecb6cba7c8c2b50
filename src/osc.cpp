// Python presentation of the sine oscillator and the white-noise generator.
#include "operations.hpp"

namespace vorda {

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
      ops::SinOscProcess::method(
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
      ops::WhiteNoiseProcess::method(
          "process($self)\n--\n\n"
          "Generate one white noise sample.\n\n"
          "# Returns\n"
          "A random value uniformly distributed in [-1.0, 1.0]."),
      {},
  };
};
template PyTypeObject* type_object<WhiteNoise>();

}  // namespace vorda
