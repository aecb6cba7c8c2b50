// The numbers snapshots give classes and operations. They are part of the
// format: a snapshot written today must read the same tomorrow, so each
// list is written once, here, and its numbers are pinned below; reordering a
// list, or a row of the operation table, fails to compile. New classes and
// operations are appended.
#pragma once

#include <cstdint>
#include <tuple>
#include <type_traits>

#include "blocks/rows.hpp"

namespace vorda::blocks {

template <class... T>
struct TypeList {};

// Class tags: vorda's registration order.
using Classes =
    TypeList<SinOsc, WhiteNoise, Lfo, Biquad, LeakDc, DelayS, DelayN, DelayL, CombS, CombN, CombL,
             AllpassS, AllpassN, AllpassL, RingBufferS, RingBufferN, RingBufferL>;

namespace detail {
template <class T, class... List>
constexpr int index_in(TypeList<List...>) {
  constexpr bool found[] = {std::is_same_v<T, List>...};
  for (int i = 0; i < static_cast<int>(sizeof...(List)); ++i)
    if (found[i]) return i;
  return -1;
}
}  // namespace detail

template <class T>
inline constexpr int class_tag = detail::index_in<T>(Classes{});

// Operation tags: the rows of AllRows (rows.hpp) in order.
template <class Op>
inline constexpr int operation_tag = row_index<Op>;

static_assert(class_tag<SinOsc> == 0 && class_tag<WhiteNoise> == 1 && class_tag<Lfo> == 2 &&
              class_tag<Biquad> == 3 && class_tag<LeakDc> == 4 && class_tag<DelayS> == 5 &&
              class_tag<DelayN> == 6 && class_tag<DelayL> == 7 && class_tag<CombS> == 8 &&
              class_tag<CombN> == 9 && class_tag<CombL> == 10 && class_tag<AllpassS> == 11 &&
              class_tag<AllpassN> == 12 && class_tag<AllpassL> == 13 &&
              class_tag<RingBufferS> == 14 && class_tag<RingBufferN> == 15 &&
              class_tag<RingBufferL> == 16);

static_assert(
    operation_tag<ops::SinOscProcess> == 0 && operation_tag<ops::WhiteNoiseProcess> == 1 &&
    operation_tag<ops::LfoProcess> == 2 && operation_tag<ops::BiquadProcess> == 3 &&
    operation_tag<ops::LeakDcProcess> == 4 && operation_tag<ops::DelaySProcess> == 5 &&
    operation_tag<ops::DelayNProcess> == 6 && operation_tag<ops::DelayLProcess> == 7 &&
    operation_tag<ops::CombSProcess> == 8 && operation_tag<ops::CombNProcess> == 9 &&
    operation_tag<ops::CombLProcess> == 10 && operation_tag<ops::AllpassSProcess> == 11 &&
    operation_tag<ops::AllpassNProcess> == 12 && operation_tag<ops::AllpassLProcess> == 13 &&
    operation_tag<ops::RingBufferSOps::Read> == 14 && operation_tag<ops::RingBufferNOps::Read> == 15 &&
    operation_tag<ops::RingBufferLOps::Read> == 16 && operation_tag<ops::RingBufferSOps::Write> == 17 &&
    operation_tag<ops::RingBufferNOps::Write> == 18 && operation_tag<ops::RingBufferLOps::Write> == 19 &&
    operation_tag<ops::Pan2> == 20 && std::tuple_size_v<AllRows> == 21);

}  // namespace vorda::blocks
