// Python presentation of the DC blocker.
#include "frame.hpp"
#include "operations.hpp"

namespace vorda {

template <>
struct PyClass<LeakDc>
    : ClassFace<"LeakDc", LeakDc(Sample), ParamList<opt("coef", "0.995")>,
                "A simple DC blocking (leak DC) filter.\n\n"
                "This filter removes DC offset from a signal while allowing\n"
                "slow signal changes to pass through. It is commonly used\n"
                "after nonlinear processing such as rectification, distortion,\n"
                "or waveshaping.\n\n"
                "Difference equation:\n\n"
                "```text\n"
                "y[n] = x[n] - x[n-1] + coef * y[n-1]\n"
                "```\n\n"
                "Properties:\n"
                "- High-pass characteristic near DC\n"
                "- Very low computational cost\n"
                "- Stateful (one-sample memory)\n\n"
                "Notes:\n"
                "- `coef` should typically be close to 1.0 (e.g. 0.995–0.999)\n"
                "- Larger values remove DC more slowly but preserve low frequencies better"> {
  static inline PyGetSetDef properties[] = {
      property<&LeakDc::coef, Access::read_write>(
          ops::kLeakDcCoef.name,
          "Feedback coefficient controlling the cutoff frequency.\n\n"
          "Values closer to 1.0 result in slower DC removal."),
      {},
  };
  static inline PyMethodDef methods[] = {
      method<ops::LeakDcProcess,
             "Process one input sample and return the DC-blocked output.\n\n"
             "This method updates the internal state in-place.">(),
      method<"reset", &LeakDc::reset,
             "Reset the internal filter state.\n\n"
             "This clears any accumulated DC history.">(),
      {},
  };
};
template PyTypeObject* type_object<LeakDc>();

}  // namespace vorda
