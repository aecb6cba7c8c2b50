// The instruction sets every kernel is built for, once each, from the same
// source: the baseline of the architecture, and on x86-64 also x86-64-v3
// (AVX2). A target is a set of entry points with the target's attributes;
// `flatten` inlines the whole kernel into each, so the loops inside are
// compiled (and vectorized) for that target, while every function the
// kernel shares with the rest of the module stays compiled for the
// baseline: nothing built for AVX2 can be reached on a CPU without it.
// Contraction stays off (-ffp-contract=off) on every target: AVX2 brings
// FMA instructions, and a fused multiply-add would change bits.
#pragma once

#include <cstddef>

#include "blocks/units.hpp"

namespace vorda::blocks {

#define VORDA_TARGET(Target, Name, Lanes, ...)                                              \
  struct Target {                                                                           \
    static constexpr const char* name = Name;                                               \
    static constexpr int kLanes = Lanes; /* Samples in a vector register */                 \
    template <auto Kernel>                                                                  \
    __VA_ARGS__ static void unit(const Unit& u, std::size_t n) {                            \
      Kernel(u, n);                                                                         \
    }                                                                                       \
    template <auto Kernel>                                                                  \
    __VA_ARGS__ static void lanes(const Unit* const* units, int count, std::size_t n) {     \
      Kernel(units, count, n);                                                              \
    }                                                                                       \
    template <auto Kernel>                                                                  \
    __VA_ARGS__ static void block(void* proc, std::size_t n, Sample** out, const Arg* args, \
                                  bool modulated) {                                         \
      Kernel(proc, n, out, args, modulated);                                                \
    }                                                                                       \
  };

VORDA_TARGET(Baseline, "baseline", 4, [[gnu::flatten]])
#if defined(__x86_64__)
VORDA_TARGET(X86_64_V3, "x86-64-v3", 8, [[gnu::flatten, gnu::target("arch=x86-64-v3")]])
#endif

#undef VORDA_TARGET

}  // namespace vorda::blocks
