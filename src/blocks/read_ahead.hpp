// Reading a ring ahead of its writes: how a patch runs a loop through a
// delay line a chunk of samples at a time. When a read's delay is constant
// and reaches back further than the chunk is long, no read of the chunk
// reaches a sample the chunk writes; so all the chunk's reads can come
// first, then the rest of the loop, then the writes ("split" steps).
//
// The processors know nothing of this: it is built here on what each of them
// exposes of its ring (the ring buffer itself, or the one a delay line or a
// feedback loop embeds), and on the same read policy and the same `feed`
// formula their per-sample calls use, so the two cannot differ by a bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "blocks/kernel.hpp"

namespace vorda::blocks {

// How a row may be split for a run that takes its reads ahead.
enum class Split : std::uint8_t {
  none,  // never
  read,  // a ring buffer's read: it runs ahead of the ring's write
  step,  // a step that reads its ring, then writes it: a read half and a feed half
};

// The ring buffer a processor reads: itself, or the one it embeds.
template <class T>
decltype(auto) ring_of(T& p) {
  if constexpr (requires { p.ring(); })
    return (p.ring());
  else
    return (p);
}
template <class T>
using RingOf = std::remove_cvref_t<decltype(ring_of(std::declval<const T&>()))>;
template <class T>
using ReaderOf = typename RingOf<T>::Reader;
template <class T>
using DelayOf = typename RingOf<T>::Delay;

// How many writes back a read at `delay` reaches (1: the sample just
// written).
template <class T>
std::uint64_t reach(const T& p, DelayOf<T> delay) {
  const auto& ring = ring_of(p);
  return ReaderOf<T>::reach(ring.memory(), ring.prepare(delay));
}

// The reads of a chunk, the first `ahead` writes from now. A function of
// its own for the same reason as emit_shared: __restrict tells GCC that the
// stores leave the ring alone.
template <class T>
[[gnu::noinline]] void read_ahead(const T& __restrict p, std::size_t n, DelayOf<T> delay,
                                  std::uint64_t ahead, double* __restrict out) {
  const auto& ring = ring_of(p);
  const auto prepared = ring.prepare(delay);  // one delay for the whole chunk
  for (std::size_t i = 0; i < n; ++i)
    out[i] = ReaderOf<T>::read(ring.memory(), prepared, ahead + i);
}

// The second half of a split step as a kernel step, given what the first
// half read: a feedback loop feeds (xn, delayed, gain), a delay line writes
// its input.
template <class T>
struct Feed {
  static constexpr bool loops = requires(T& p) { p.feed(Sample{}, Sample{}, Sample{}); };
  using Args =
      std::conditional_t<loops, std::tuple<Sample, Sample, Sample>, std::tuple<Sample, Sample>>;
  using Result = void;
  template <class... A>
  static void step(T& p, Sample xn, Sample delayed, A... gain) {
    if constexpr (loops)
      p.feed(xn, delayed, gain...);
    else
      p.ring().write(xn);
  }
};

}  // namespace vorda::blocks
