// Python presentation of the biquad filter.
#include "operations.hpp"

namespace vorda {

template <>
struct PyClass<Biquad> {
  static constexpr const char* name = "Biquad";
  static constexpr const char* doc =
      "Biquad(b0, b1, b2, a1, a2)\n--\n\n"
      "A stateful biquad filter processor.\n\n"
      "This struct exposes a minimal and explicit API:\n"
      "- Construct with normalized coefficients\n"
      "- Process samples one-by-one\n"
      "- Reset or update coefficients explicitly";
  static constexpr newfunc init = constructor<Biquad(Sample, Sample, Sample, Sample, Sample),
                                              req("b0"), req("b1"), req("b2"), req("a1"),
                                              req("a2")>;
  static inline PyMethodDef methods[] = {
      ops::BiquadProcess::method(
          "process($self, x)\n--\n\n"
          "Process one input sample and return the output.\n\n"
          "This method performs no allocations and updates\n"
          "the internal state in-place."),
      method<"reset", &Biquad::reset>(
          "reset($self)\n--\n\n"
          "Reset the internal delay state to zero.\n\n"
          "This clears filter memory but keeps the current coefficients."),
      // All five are converted before any is stored, so a failed call never
      // leaves a mixture of old and new coefficients.
      ops::BiquadSetCoefs::method(
          "set_coefs($self, b0, b1, b2, a1, a2)\n--\n\n"
          "Update filter coefficients in-place.\n\n"
          "This allows efficient coefficient modulation without\n"
          "reallocating or recreating the filter object."),
      {},
  };
};
template PyTypeObject* type_object<Biquad>();

}  // namespace vorda
