// Python presentation of the delay lines, comb filters and allpass filters.
#include "operations.hpp"

namespace vorda {

template <>
struct PyClass<DelayS> {
  static constexpr const char* name = "DelayS";
  static constexpr const char* doc =
      "DelayS(max_delay_samp)\n--\n\n"
      "Integer-sample delay line.\n\n"
      "This delay operates on discrete sample offsets only.\n"
      "Fractional delays are not supported.";
  static constexpr newfunc init = constructor<DelayS(std::uint64_t), req("max_delay_samp")>;
  static inline PyMethodDef methods[] = {
      ops::DelaySProcess::method(
          "process($self, xn, delay_samp)\n--\n\n"
          "Process one input sample and return the delayed output."),
      {},
  };
};
template PyTypeObject* type_object<DelayS>();

template <>
struct PyClass<DelayN> {
  static constexpr const char* name = "DelayN";
  static constexpr const char* doc =
      "DelayN(sample_rate, max_delay_sec)\n--\n\n"
      "Time-based delay line without interpolation.\n\n"
      "Fractional delay times are truncated to integer samples.";
  static constexpr newfunc init =
      constructor<DelayN(Sample, Sample), req("sample_rate"), req("max_delay_sec")>;
  static inline PyMethodDef methods[] = {
      ops::DelayNProcess::method(
          "process($self, xn, delay_sec)\n--\n\n"
          "Process one input sample with a time-based delay."),
      {},
  };
};
template PyTypeObject* type_object<DelayN>();

template <>
struct PyClass<DelayL> {
  static constexpr const char* name = "DelayL";
  static constexpr const char* doc =
      "DelayL(sample_rate, max_delay_sec)\n--\n\n"
      "Time-based delay line with linear interpolation.\n\n"
      "Fractional delays are handled smoothly via linear interpolation.";
  static constexpr newfunc init =
      constructor<DelayL(Sample, Sample), req("sample_rate"), req("max_delay_sec")>;
  static inline PyMethodDef methods[] = {
      ops::DelayLProcess::method(
          "process($self, xn, delay_sec)\n--\n\n"
          "Process one input sample with a fractional delay."),
      {},
  };
};
template PyTypeObject* type_object<DelayL>();

template <>
struct PyClass<CombS> {
  static constexpr const char* name = "CombS";
  static constexpr const char* doc =
      "CombS(max_delay_samp)\n--\n\n"
      "Integer-sample comb filter.\n\n"
      "A feedback delay line whose decay is the time, in samples, for the\n"
      "circulating signal to fall by 60 dB.";
  static constexpr newfunc init = constructor<CombS(std::uint64_t), req("max_delay_samp")>;
  static inline PyMethodDef methods[] = {
      ops::CombSProcess::method(
          "process($self, xn, delay_samp, decay_samp)\n--\n\n"
          "Process one sample through the comb filter."),
      {},
  };
};
template PyTypeObject* type_object<CombS>();

template <>
struct PyClass<CombN> {
  static constexpr const char* name = "CombN";
  static constexpr const char* doc =
      "CombN(sample_rate, max_delay_sec)\n--\n\n"
      "Time-based comb filter without interpolation.";
  static constexpr newfunc init =
      constructor<CombN(Sample, Sample), req("sample_rate"), req("max_delay_sec")>;
  static inline PyMethodDef methods[] = {
      ops::CombNProcess::method(
          "process($self, xn, delay_sec, decay_sec)\n--\n\n"
          "Process one sample through the comb filter."),
      {},
  };
};
template PyTypeObject* type_object<CombN>();

template <>
struct PyClass<CombL> {
  static constexpr const char* name = "CombL";
  static constexpr const char* doc =
      "CombL(sample_rate, max_delay_sec)\n--\n\n"
      "Time-based comb filter with linear interpolation.";
  static constexpr newfunc init =
      constructor<CombL(Sample, Sample), req("sample_rate"), req("max_delay_sec")>;
  static inline PyMethodDef methods[] = {
      ops::CombLProcess::method(
          "process($self, xn, delay_sec, decay_sec)\n--\n\n"
          "Process one sample through the comb filter."),
      {},
  };
};
template PyTypeObject* type_object<CombL>();

template <>
struct PyClass<AllpassS> {
  static constexpr const char* name = "AllpassS";
  static constexpr const char* doc =
      "AllpassS(max_delay_samp)\n--\n\n"
      "Integer-sample allpass filter.";
  static constexpr newfunc init = constructor<AllpassS(std::uint64_t), req("max_delay_samp")>;
  static inline PyMethodDef methods[] = {
      ops::AllpassSProcess::method(
          "process($self, xn, delay_samp, decay_samp)\n--\n\n"
          "Process one sample through the allpass filter."),
      {},
  };
};
template PyTypeObject* type_object<AllpassS>();

template <>
struct PyClass<AllpassN> {
  static constexpr const char* name = "AllpassN";
  static constexpr const char* doc =
      "AllpassN(sample_rate, max_delay_sec)\n--\n\n"
      "Time-based allpass filter without interpolation.";
  static constexpr newfunc init =
      constructor<AllpassN(Sample, Sample), req("sample_rate"), req("max_delay_sec")>;
  static inline PyMethodDef methods[] = {
      ops::AllpassNProcess::method(
          "process($self, xn, delay_sec, decay_sec)\n--\n\n"
          "Process one sample through the allpass filter."),
      {},
  };
};
template PyTypeObject* type_object<AllpassN>();

template <>
struct PyClass<AllpassL> {
  static constexpr const char* name = "AllpassL";
  static constexpr const char* doc =
      "AllpassL(sample_rate, max_delay_sec)\n--\n\n"
      "Time-based allpass filter with linear interpolation.";
  static constexpr newfunc init =
      constructor<AllpassL(Sample, Sample), req("sample_rate"), req("max_delay_sec")>;
  static inline PyMethodDef methods[] = {
      ops::AllpassLProcess::method(
          "process($self, xn, delay_sec, decay_sec)\n--\n\n"
          "Process one sample through the allpass filter."),
      {},
  };
};
template PyTypeObject* type_object<AllpassL>();

}  // namespace vorda
