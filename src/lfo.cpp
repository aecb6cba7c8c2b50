// Python presentation of the low-frequency oscillator.
#include "frame.hpp"
#include "operations.hpp"

namespace vorda {

template <>
struct PyClass<Lfo>
    : ClassFace<"Lfo", Lfo(Sample, std::uint64_t),
                ParamList<req("sample_rate"), opt("waveform", "0")>,
                "Low-frequency oscillator (LFO).\n\n"
                "This LFO produces a main output and a quarter-phase-shifted output.\n"
                "It is designed for modulation purposes rather than audio-rate synthesis.\n\n"
                "Characteristics:\n"
                "- Stateless per-sample API (explicit state inside the object)\n"
                "- Deterministic phase accumulation\n"
                "- Multiple waveform types\n\n"
                "Outputs:\n"
                "- Main phase output\n"
                "- Quarter-phase (90°) advanced output\n\n"
                "Notes:\n"
                "- The sine waveform uses a fast approximation and may slightly exceed ±1.0\n"
                "- Phase is always normalized to [0, 1)"> {
  static inline PyMethodDef methods[] = {
      method<ops::LfoProcess,
             "Process one sample step of the LFO.\n\n"
             "# Parameters\n"
             "- `frequency`: LFO frequency in Hz\n\n"
             "# Returns\n"
             "A tuple `(y, y_qp)` where:\n"
             "- `y` is the main phase output\n"
             "- `y_qp` is the quarter-phase-shifted output">(),
      method<"reset", &Lfo::reset,
             "Reset the internal phase state.\n\n"
             "After reset:\n"
             "- main phase = 0.0\n"
             "- quarter phase = 0.25">(),
      {},
  };
  static inline PyGetSetDef properties[] = {
      property<&Lfo::sample_rate>("sample_rate", "Get the current sample rate."),
      {},
  };
};
template PyTypeObject* type_object<Lfo>();

}  // namespace vorda
