// Every per-sample operation of the processors: the class it belongs to, its
// Python name, the member function that performs it and its parameters.
//
// The per-sample presentation (one table per class) and vorda_blocks (its
// block and patch rows) both take an operation from here, so a parameter
// list is written once. Nothing here knows Python.
#pragma once

#include <type_traits>

#include "delay.hpp"
#include "iir_filter.hpp"
#include "leak_dc.hpp"
#include "lfo.hpp"
#include "osc.hpp"
#include "pan.hpp"
#include "params.hpp"
#include "ring_buffer.hpp"

namespace vorda {

template <Name ClassName, Name Callee, auto Fn, class List>
struct Operation {
  static_assert(params_fit<Fn, List>, "one parameter name per argument");
  static constexpr auto fn = Fn;
  using Params = List;
  static constexpr auto callee_name = Callee;
  static constexpr const char* class_name = ClassName.text;  // "" for a module function
  static constexpr const char* callee = Callee.text;
};

namespace ops {

using SinOscProcess = Operation<"SinOsc", "process", &SinOsc::process, ParamList<req("frequency")>>;
using WhiteNoiseProcess = Operation<"WhiteNoise", "process", &WhiteNoise::process, ParamList<>>;
using LfoProcess = Operation<"Lfo", "process", &Lfo::process, ParamList<req("frequency")>>;
using BiquadProcess = Operation<"Biquad", "process", &Biquad::process, ParamList<req("x")>>;
using BiquadSetCoefs = Operation<"Biquad", "set_coefs", &Biquad::set_coefs,
                                 ParamList<req("b0"), req("b1"), req("b2"), req("a1"), req("a2")>>;
using LeakDcProcess = Operation<"LeakDc", "process", &LeakDc::process, ParamList<req("xn")>>;
// The property that modulates a LeakDc, as a parameter.
inline constexpr Param kLeakDcCoef = req("coef");

// Delays and decays are in seconds for the N and L classes, in whole
// samples for the S ones, and their names say which.
template <class T>
inline constexpr bool kInSeconds = std::is_same_v<typename T::Delay, Sample>;
template <class T>
inline constexpr Param kDelay = req(kInSeconds<T> ? "delay_sec" : "delay_samp");
template <class T>
inline constexpr Param kDecay = req(kInSeconds<T> ? "decay_sec" : "decay_samp");

template <Name ClassName, class T>
using DelayProcess = Operation<ClassName, "process", &T::process, ParamList<req("xn"), kDelay<T>>>;
template <Name ClassName, class T>
using FeedbackProcess =
    Operation<ClassName, "process", &T::process, ParamList<req("xn"), kDelay<T>, kDecay<T>>>;

using DelaySProcess = DelayProcess<"DelayS", DelayS>;
using DelayNProcess = DelayProcess<"DelayN", DelayN>;
using DelayLProcess = DelayProcess<"DelayL", DelayL>;

using CombSProcess = FeedbackProcess<"CombS", CombS>;
using CombNProcess = FeedbackProcess<"CombN", CombN>;
using CombLProcess = FeedbackProcess<"CombL", CombL>;

using AllpassSProcess = FeedbackProcess<"AllpassS", AllpassS>;
using AllpassNProcess = FeedbackProcess<"AllpassN", AllpassN>;
using AllpassLProcess = FeedbackProcess<"AllpassL", AllpassL>;

// A ring buffer's two operations: `Read` takes a delay, `Write` a sample.
template <Name ClassName, class T>
struct RingOps {
  using Read = Operation<ClassName, "read", &T::read, ParamList<kDelay<T>>>;
  using Write = Operation<ClassName, "write", &T::write, ParamList<req("xn")>>;
};

using RingBufferSOps = RingOps<"RingBufferS", RingBufferS>;
using RingBufferNOps = RingOps<"RingBufferN", RingBufferN>;
using RingBufferLOps = RingOps<"RingBufferL", RingBufferL>;

using Pan2 = Operation<"", "pan2", &pan2, ParamList<req("x"), opt("pos", "0.0")>>;

}  // namespace ops
}  // namespace vorda
