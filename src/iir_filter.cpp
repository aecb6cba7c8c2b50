// Python presentation of the biquad filter.
#include "frame.hpp"
#include "operations.hpp"

namespace vorda {

template <>
struct PyClass<Biquad> : ClassFace<"Biquad", Biquad(Sample, Sample, Sample, Sample, Sample),
                                   ParamList<req("b0"), req("b1"), req("b2"), req("a1"), req("a2")>,
                                   "A stateful biquad filter processor.\n\n"
                                   "This struct exposes a minimal and explicit API:\n"
                                   "- Construct with normalized coefficients\n"
                                   "- Process samples one-by-one\n"
                                   "- Reset or update coefficients explicitly"> {
  static inline PyMethodDef methods[] = {
      method<ops::BiquadProcess,
             "Process one input sample and return the output.\n\n"
             "This method performs no allocations and updates\n"
             "the internal state in-place.">(),
      method<"reset", &Biquad::reset,
             "Reset the internal delay state to zero.\n\n"
             "This clears filter memory but keeps the current coefficients.">(),
      // All five are converted before any is stored, so a failed call never
      // leaves a mixture of old and new coefficients.
      method<ops::BiquadSetCoefs,
             "Update filter coefficients in-place.\n\n"
             "This allows efficient coefficient modulation without\n"
             "reallocating or recreating the filter object.">(),
      {},
  };
};
template PyTypeObject* type_object<Biquad>();

}  // namespace vorda
