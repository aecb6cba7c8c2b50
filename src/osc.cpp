// Python presentation of the sine oscillator and the white-noise generator.
#include "frame.hpp"
#include "operations.hpp"

namespace vorda {

template <>
struct PyClass<SinOsc> : ClassFace<"SinOsc", SinOsc(Sample, Sample),
                                   ParamList<req("sample_rate"), opt("phase", "0.0")>,
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
                                   "- High frequencies may produce aliasing"> {
  static inline PyMethodDef methods[] = {
      method<ops::SinOscProcess,
             "Process one sample of the oscillator.\n\n"
             "# Parameters\n"
             "- `frequency`: oscillator frequency in Hz\n\n"
             "# Returns\n"
             "The current sine output sample.">(),
      method<"reset", &SinOsc::reset,
             "Reset the internal phase to zero.\n\n"
             "After reset, the next output will be `sin(0) = 0`.">(),
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
struct PyClass<WhiteNoise>
    : ClassFace<"WhiteNoise", WhiteNoise(std::optional<std::uint64_t>), ParamList<opt("seed")>,
                "White noise signal generator.\n\n"
                "This generator produces independent, uniformly distributed\n"
                "random samples in the range [-1.0, 1.0].\n\n"
                "Characteristics:\n"
                "- Stateless from the user's perspective\n"
                "- Internally uses a fast, small RNG\n"
                "- Suitable for noise sources, modulation, and testing\n\n"
                "Notes:\n"
                "- The distribution is uniform, not Gaussian\n"
                "- The RNG is seeded from the operating system"> {
  static inline PyMethodDef methods[] = {
      method<ops::WhiteNoiseProcess,
             "Generate one white noise sample.\n\n"
             "# Returns\n"
             "A random value uniformly distributed in [-1.0, 1.0].">(),
      {},
  };
};
template PyTypeObject* type_object<WhiteNoise>();

}  // namespace vorda
