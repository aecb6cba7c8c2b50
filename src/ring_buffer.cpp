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

}  // namespace vorda
