// Python presentation of the delay lines, comb filters and allpass filters.
#include "frame.hpp"
#include "operations.hpp"

namespace vorda {

template <>
struct PyClass<DelayS>
    : ClassFace<"DelayS", DelayS(std::uint64_t), ParamList<req("max_delay_samp")>,
                "Integer-sample delay line.\n\n"
                "This delay operates on discrete sample offsets only.\n"
                "Fractional delays are not supported."> {
  static inline PyMethodDef methods[] = {
      method<ops::DelaySProcess, "Process one input sample and return the delayed output.">(),
      {},
  };
};
template PyTypeObject* type_object<DelayS>();

template <>
struct PyClass<DelayN> : ClassFace<"DelayN", DelayN(Sample, Sample),
                                   ParamList<req("sample_rate"), req("max_delay_sec")>,
                                   "Time-based delay line without interpolation.\n\n"
                                   "Fractional delay times are truncated to integer samples."> {
  static inline PyMethodDef methods[] = {
      method<ops::DelayNProcess, "Process one input sample with a time-based delay.">(),
      {},
  };
};
template PyTypeObject* type_object<DelayN>();

template <>
struct PyClass<DelayL>
    : ClassFace<"DelayL", DelayL(Sample, Sample),
                ParamList<req("sample_rate"), req("max_delay_sec")>,
                "Time-based delay line with linear interpolation.\n\n"
                "Fractional delays are handled smoothly via linear interpolation."> {
  static inline PyMethodDef methods[] = {
      method<ops::DelayLProcess, "Process one input sample with a fractional delay.">(),
      {},
  };
};
template PyTypeObject* type_object<DelayL>();

template <>
struct PyClass<CombS>
    : ClassFace<"CombS", CombS(std::uint64_t), ParamList<req("max_delay_samp")>,
                "Integer-sample comb filter.\n\n"
                "A feedback delay line whose decay is the time, in samples, for the\n"
                "circulating signal to fall by 60 dB."> {
  static inline PyMethodDef methods[] = {
      method<ops::CombSProcess, "Process one sample through the comb filter.">(),
      {},
  };
};
template PyTypeObject* type_object<CombS>();

template <>
struct PyClass<CombN>
    : ClassFace<"CombN", CombN(Sample, Sample), ParamList<req("sample_rate"), req("max_delay_sec")>,
                "Time-based comb filter without interpolation."> {
  static inline PyMethodDef methods[] = {
      method<ops::CombNProcess, "Process one sample through the comb filter.">(),
      {},
  };
};
template PyTypeObject* type_object<CombN>();

template <>
struct PyClass<CombL>
    : ClassFace<"CombL", CombL(Sample, Sample), ParamList<req("sample_rate"), req("max_delay_sec")>,
                "Time-based comb filter with linear interpolation."> {
  static inline PyMethodDef methods[] = {
      method<ops::CombLProcess, "Process one sample through the comb filter.">(),
      {},
  };
};
template PyTypeObject* type_object<CombL>();

template <>
struct PyClass<AllpassS>
    : ClassFace<"AllpassS", AllpassS(std::uint64_t), ParamList<req("max_delay_samp")>,
                "Integer-sample allpass filter."> {
  static inline PyMethodDef methods[] = {
      method<ops::AllpassSProcess, "Process one sample through the allpass filter.">(),
      {},
  };
};
template PyTypeObject* type_object<AllpassS>();

template <>
struct PyClass<AllpassN> : ClassFace<"AllpassN", AllpassN(Sample, Sample),
                                     ParamList<req("sample_rate"), req("max_delay_sec")>,
                                     "Time-based allpass filter without interpolation."> {
  static inline PyMethodDef methods[] = {
      method<ops::AllpassNProcess, "Process one sample through the allpass filter.">(),
      {},
  };
};
template PyTypeObject* type_object<AllpassN>();

template <>
struct PyClass<AllpassL> : ClassFace<"AllpassL", AllpassL(Sample, Sample),
                                     ParamList<req("sample_rate"), req("max_delay_sec")>,
                                     "Time-based allpass filter with linear interpolation."> {
  static inline PyMethodDef methods[] = {
      method<ops::AllpassLProcess, "Process one sample through the allpass filter.">(),
      {},
  };
};
template PyTypeObject* type_object<AllpassL>();

}  // namespace vorda
