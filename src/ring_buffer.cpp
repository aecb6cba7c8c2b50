// Python presentation of the ring buffers.
#include "operations.hpp"

namespace vorda {

template <>
struct PyClass<RingBufferS> {
  static constexpr const char* name = "RingBufferS";
  static constexpr const char* doc =
      "RingBufferS(max_delay_samp)\n--\n\n"
      "Ring buffer with integer-sample delay access.\n\n"
      "This buffer is optimized for integer delays and uses a power-of-two\n"
      "internal buffer size with bit masking for wrap-around.\n\n"
      "Typical use cases:\n"
      "- Integer-sample delay lines\n"
      "- Comb filters\n"
      "- Feedback delay networks";
  static constexpr newfunc init = constructor<RingBufferS(std::uint64_t), req("max_delay_samp")>;
  static inline PyGetSetDef properties[] = {
      property<&RingBufferS::max_delay_samp>("max_delay_samp",
                                             "Maximum delay in samples (requested by the user)."),
      {},
  };
  static inline PyMethodDef methods[] = {
      ops::RingBufferSRead::method(
          "read($self, delay_samp)\n--\n\n"
          "Read a sample delayed by `delay_samp` samples.\n\n"
          "No bounds checking is performed; delays larger than the internal\n"
          "buffer size will wrap around cyclically."),
      ops::RingBufferSWrite::method(
          "write($self, xn)\n--\n\nWrite a new sample into the buffer."),
      {},
  };
};
template PyTypeObject* type_object<RingBufferS>();

template <>
struct PyClass<RingBufferN> {
  static constexpr const char* name = "RingBufferN";
  static constexpr const char* doc =
      "RingBufferN(sample_rate, max_delay_sec)\n--\n\n"
      "Ring buffer with delay specified in seconds (no interpolation).\n\n"
      "The delay time is converted to samples using:\n\n"
      "```text\n"
      "delay_samples = floor(sample_rate * delay_sec)\n"
      "```\n\n"
      "Fractional delays are truncated.";
  static constexpr newfunc init =
      constructor<RingBufferN(Sample, Sample), req("sample_rate"), req("max_delay_sec")>;
  static inline PyGetSetDef properties[] = {
      property<&RingBufferN::sample_rate>("sample_rate", ""),
      property<&RingBufferN::max_delay_sec>("max_delay_sec", ""),
      {},
  };
  static inline PyMethodDef methods[] = {
      ops::RingBufferNRead::method(
          "read($self, delay_sec)\n--\n\nRead a delayed sample (fractional part is truncated)."),
      ops::RingBufferNWrite::method(
          "write($self, xn)\n--\n\nWrite a new sample into the buffer."),
      {},
  };
};
template PyTypeObject* type_object<RingBufferN>();

template <>
struct PyClass<RingBufferL> {
  static constexpr const char* name = "RingBufferL";
  static constexpr const char* doc =
      "RingBufferL(sample_rate, max_delay_sec)\n--\n\n"
      "Ring buffer with fractional-delay support using linear interpolation.\n\n"
      "This is suitable for:\n"
      "- Modulated delays\n"
      "- Chorus / flanger effects\n"
      "- Fractional-delay allpass structures\n\n"
      "Linear interpolation is used between adjacent samples.";
  static constexpr newfunc init =
      constructor<RingBufferL(Sample, Sample), req("sample_rate"), req("max_delay_sec")>;
  static inline PyGetSetDef properties[] = {
      property<&RingBufferL::sample_rate>("sample_rate", ""),
      property<&RingBufferL::max_delay_sec>("max_delay_sec", ""),
      {},
  };
  static inline PyMethodDef methods[] = {
      ops::RingBufferLRead::method(
          "read($self, delay_sec)\n--\n\nRead a delayed sample using linear interpolation."),
      ops::RingBufferLWrite::method(
          "write($self, xn)\n--\n\nWrite a new sample into the buffer."),
      {},
  };
};
template PyTypeObject* type_object<RingBufferL>();

}  // namespace vorda
