// Every per-sample operation of the processors: the class it belongs to, its
// Python name, the member function that performs it and its parameters.
//
// The per-sample presentation (one table per class) and vorda_blocks (its
// block and patch rows) both take an operation from here, so a parameter
// list is written once.
#pragma once

#include "delay.hpp"
#include "frame.hpp"
#include "iir_filter.hpp"
#include "leak_dc.hpp"
#include "lfo.hpp"
#include "osc.hpp"
#include "pan.hpp"
#include "ring_buffer.hpp"

namespace vorda {

template <Name ClassName, Name Callee, auto Fn, class Params>
struct Operation;

template <Name ClassName, Name Callee, auto Fn, auto... P>
struct Operation<ClassName, Callee, Fn, ParamList<P...>> {
  static constexpr auto fn = Fn;
  using Params = ParamList<P...>;
  static constexpr const char* class_name = ClassName.text;  // "" for a module function
  static constexpr const char* callee = Callee.text;

  // The entry of the class's method table (or of the module's function).
  static constexpr PyMethodDef method(const char* doc) { return vorda::method<Callee, Fn, P...>(doc); }
  static constexpr PyMethodDef function(const char* doc) {
    return vorda::function<Callee, Fn, P...>(doc);
  }
};

namespace ops {

using SinOscProcess = Operation<"SinOsc", "process", &SinOsc::process, ParamList<req("frequency")>>;
using WhiteNoiseProcess = Operation<"WhiteNoise", "process", &WhiteNoise::process, ParamList<>>;
using LfoProcess = Operation<"Lfo", "process", &Lfo::process, ParamList<req("frequency")>>;
using BiquadProcess = Operation<"Biquad", "process", &Biquad::process, ParamList<req("x")>>;
using BiquadSetCoefs =
    Operation<"Biquad", "set_coefs", &Biquad::set_coefs,
              ParamList<req("b0"), req("b1"), req("b2"), req("a1"), req("a2")>>;
using LeakDcProcess = Operation<"LeakDc", "process", &LeakDc::process, ParamList<req("xn")>>;
// The property that modulates a LeakDc, as a parameter.
inline constexpr auto kLeakDcCoef = req("coef");

template <Name ClassName, class T>
using DelayProcess =
    Operation<ClassName, "process", &T::process,
              std::conditional_t<std::is_same_v<typename T::Delay, Sample>,
                                 ParamList<req("xn"), req("delay_sec")>,
                                 ParamList<req("xn"), req("delay_samp")>>>;
template <Name ClassName, class T>
using FeedbackProcess = Operation<
    ClassName, "process", &T::process,
    std::conditional_t<std::is_same_v<typename T::Delay, Sample>,
                       ParamList<req("xn"), req("delay_sec"), req("decay_sec")>,
                       ParamList<req("xn"), req("delay_samp"), req("decay_samp")>>>;

using DelaySProcess = DelayProcess<"DelayS", DelayS>;
using DelayNProcess = DelayProcess<"DelayN", DelayN>;
using DelayLProcess = DelayProcess<"DelayL", DelayL>;
using CombSProcess = FeedbackProcess<"CombS", CombS>;
using CombNProcess = FeedbackProcess<"CombN", CombN>;
using CombLProcess = FeedbackProcess<"CombL", CombL>;
using AllpassSProcess = FeedbackProcess<"AllpassS", AllpassS>;
using AllpassNProcess = FeedbackProcess<"AllpassN", AllpassN>;
using AllpassLProcess = FeedbackProcess<"AllpassL", AllpassL>;

template <Name ClassName, class T>
using RingRead = Operation<ClassName, "read", &T::read,
                           std::conditional_t<std::is_same_v<typename T::Delay, Sample>,
                                              ParamList<req("delay_sec")>,
                                              ParamList<req("delay_samp")>>>;
template <Name ClassName, class T>
using RingWrite = Operation<ClassName, "write", &T::write, ParamList<req("xn")>>;

using RingBufferSRead = RingRead<"RingBufferS", RingBufferS>;
using RingBufferNRead = RingRead<"RingBufferN", RingBufferN>;
using RingBufferLRead = RingRead<"RingBufferL", RingBufferL>;
using RingBufferSWrite = RingWrite<"RingBufferS", RingBufferS>;
using RingBufferNWrite = RingWrite<"RingBufferN", RingBufferN>;
using RingBufferLWrite = RingWrite<"RingBufferL", RingBufferL>;

using Pan2 = Operation<"", "pan2", &pan2, ParamList<req("x"), opt("pos", 0.0)>>;

}  // namespace ops
}  // namespace vorda
