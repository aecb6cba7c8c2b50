#include "ring_buffer.hpp"

#include <bit>
#include <new>

#include "frame.hpp"

namespace vorda {

namespace {

// The smallest power of two >= n (1 for n <= 1); 0 when it needs 65 bits.
std::uint64_t next_power_of_two(std::uint64_t n) {
  if (n <= 1) return 1;
  return (~std::uint64_t{0} >> std::countl_zero(n - 1)) + 1;
}

}  // namespace

SampleRing::SampleRing(std::uint64_t requested) {
  std::uint64_t slots = next_power_of_two(requested);
  // Beyond 2^61 slots the byte count no longer fits a signed size; a size
  // that wrapped to 0 would leave a ring on which every call panics, so it
  // is refused here as well.
  if (slots == 0 || slots >= (std::uint64_t{1} << 61)) panic("capacity overflow");
  // calloc: the zeros of a large buffer are not touched up front.
  buffer_.reset(static_cast<Sample*>(std::calloc(slots, sizeof(Sample))));
  if (!buffer_) throw std::bad_alloc();
  mask_ = slots - 1;
}

std::uint64_t samples_for(Sample sample_rate, Sample max_delay_sec) {
  checked_sample_rate(sample_rate);
  check(max_delay_sec > 0.0f, "max_delay_sec > 0.0");
  // The product is rounded to a Sample before it is rounded up, so sizes at
  // power-of-two boundaries follow the single-precision value.
  Sample samples = sample_rate * max_delay_sec;
  return saturating_count(ceilf(samples));
}

// --- Python presentation ---------------------------------------------------

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
      method<"read", &RingBufferS::read, req("delay_samp")>(
          "read($self, delay_samp)\n--\n\n"
          "Read a sample delayed by `delay_samp` samples.\n\n"
          "No bounds checking is performed; delays larger than the internal\n"
          "buffer size will wrap around cyclically."),
      method<"write", &RingBufferS::write, req("xn")>(
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
      method<"read", &RingBufferN::read, req("delay_sec")>(
          "read($self, delay_sec)\n--\n\nRead a delayed sample (fractional part is truncated)."),
      method<"write", &RingBufferN::write, req("xn")>(
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
      method<"read", &RingBufferL::read, req("delay_sec")>(
          "read($self, delay_sec)\n--\n\nRead a delayed sample using linear interpolation."),
      method<"write", &RingBufferL::write, req("xn")>(
          "write($self, xn)\n--\n\nWrite a new sample into the buffer."),
      {},
  };
};
template PyTypeObject* type_object<RingBufferL>();

}  // namespace vorda
