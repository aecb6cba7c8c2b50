// Python presentation of the ring buffers.
#include "frame.hpp"
#include "operations.hpp"

namespace vorda {

template <>
struct PyClass<RingBufferS>
    : ClassFace<"RingBufferS", RingBufferS(std::uint64_t), ParamList<req("max_delay_samp")>,
                "Ring buffer with integer-sample delay access.\n\n"
                "This buffer is optimized for integer delays and uses a power-of-two\n"
                "internal buffer size with bit masking for wrap-around.\n\n"
                "Typical use cases:\n"
                "- Integer-sample delay lines\n"
                "- Comb filters\n"
                "- Feedback delay networks"> {
  static inline PyGetSetDef properties[] = {
      property<&RingBufferS::max_delay_samp>("max_delay_samp",
                                             "Maximum delay in samples (requested by the user)."),
      {},
  };
  static inline PyMethodDef methods[] = {
      method<ops::RingBufferSOps::Read,
             "Read a sample delayed by `delay_samp` samples.\n\n"
             "No bounds checking is performed; delays larger than the internal\n"
             "buffer size will wrap around cyclically.">(),
      method<ops::RingBufferSOps::Write, "Write a new sample into the buffer.">(),
      {},
  };
};
template PyTypeObject* type_object<RingBufferS>();

template <>
struct PyClass<RingBufferN>
    : ClassFace<"RingBufferN", RingBufferN(Sample, Sample),
                ParamList<req("sample_rate"), req("max_delay_sec")>,
                "Ring buffer with delay specified in seconds (no interpolation).\n\n"
                "The delay time is converted to samples using:\n\n"
                "```text\n"
                "delay_samples = floor(sample_rate * delay_sec)\n"
                "```\n\n"
                "Fractional delays are truncated."> {
  static inline PyGetSetDef properties[] = {
      property<&RingBufferN::sample_rate>("sample_rate", ""),
      property<&RingBufferN::max_delay_sec>("max_delay_sec", ""),
      {},
  };
  static inline PyMethodDef methods[] = {
      method<ops::RingBufferNOps::Read, "Read a delayed sample (fractional part is truncated).">(),
      method<ops::RingBufferNOps::Write, "Write a new sample into the buffer.">(),
      {},
  };
};
template PyTypeObject* type_object<RingBufferN>();

template <>
struct PyClass<RingBufferL>
    : ClassFace<"RingBufferL", RingBufferL(Sample, Sample),
                ParamList<req("sample_rate"), req("max_delay_sec")>,
                "Ring buffer with fractional-delay support using linear interpolation.\n\n"
                "This is suitable for:\n"
                "- Modulated delays\n"
                "- Chorus / flanger effects\n"
                "- Fractional-delay allpass structures\n\n"
                "Linear interpolation is used between adjacent samples."> {
  static inline PyGetSetDef properties[] = {
      property<&RingBufferL::sample_rate>("sample_rate", ""),
      property<&RingBufferL::max_delay_sec>("max_delay_sec", ""),
      {},
  };
  static inline PyMethodDef methods[] = {
      method<ops::RingBufferLOps::Read, "Read a delayed sample using linear interpolation.">(),
      method<ops::RingBufferLOps::Write, "Write a new sample into the buffer.">(),
      {},
  };
};
template PyTypeObject* type_object<RingBufferL>();

}  // namespace vorda
