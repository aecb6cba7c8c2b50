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

// The reads of a chunk, the first `ahead` writes from now (a span: the
// chunk is no longer than the reads reach).
template <class T, class Out>
void read_ahead(const T& p, std::size_t n, DelayOf<T> delay, std::uint64_t ahead, Out* out) {
  const auto& ring = ring_of(p);
  ring.memory().read_span(ring.prepare(delay), ahead, n, out);
}

// A processor whose every step reads its ring, then writes it: a delay line
// (which writes its input) or a feedback loop (which writes what goes into
// the loop, `into_loop`, and returns `output`).
template <class T>
concept Steps = requires(T& p) { p.ring(); };
template <class T>
concept Loops = Steps<T> && requires(Sample x) { T::into_loop(x, x, x); };

// The second half of `n` split steps, given what their reads gave: the
// writes, a span at a time. `gain` is a feedback loop's.
template <class T, class X, class... Gain>
void feed_span(T& p, std::size_t n, X xn, const Sample* delayed, Gain... gain) {
  constexpr std::size_t kSpan = 256;
  Sample values[kSpan];
  for (std::size_t start = 0; start < n; start += kSpan) {
    const std::size_t m = std::min(kSpan, n - start);
    for (std::size_t i = 0; i < m; ++i) {
      if constexpr (Loops<T>)
        values[i] = T::into_loop(xn[start + i], delayed[start + i], gain...);
      else
        values[i] = xn[start + i];
    }
    p.ring().write_span(values, m);
  }
}

// The shortest reach worth running steps a span at a time, and the longest
// span (its temporaries stay in the first-level cache).
inline constexpr std::uint64_t kMinSpan = 16;
inline constexpr std::size_t kMaxSpan = 256;

// `n` steps at a delay prepared once, one at a time: for reads that reach
// back too little for spans, whose fixed cost (reads and writes split where
// the ring wraps, loops with vector remainders) would outweigh them.
template <class T, class X, class Sink, class... Gain>
void run_steps(T& p, std::size_t n, X xn, typename ReaderOf<T>::Prepared delay, const Sink& sink,
               Gain... gain) {
  auto& ring = p.ring();
  for (std::size_t i = 0; i < n; ++i) {
    const Sample delayed = ReaderOf<T>::read(ring.memory(), delay, 0);
    const Sample input = xn[i];
    if constexpr (Loops<T>) {
      const Sample stored = T::into_loop(input, delayed, gain...);
      ring.write(stored);
      sink(i, T::output(delayed, gain..., stored));
    } else {
      ring.write(input);
      sink(i, delayed);
    }
  }
}

// `n` steps at one delay (and one gain, for a feedback loop), a span at a
// time: every read of the span first, one run of memory or two (which
// vectorizes), then the rest of the steps, then the span's writes. It gives
// the per-sample steps' bits because no read of a span reaches a sample the
// span writes. Shorter reaches run a step at a time (run_steps).
template <class T, class X, class Sink, class... Gain>
bool run_spans(T& p, std::size_t n, X xn, DelayOf<T> delay, const Sink& sink, Gain... gain) {
  auto& ring = p.ring();
  const auto prepared = ring.prepare(delay);
  const std::uint64_t reach = ReaderOf<T>::reach(ring.memory(), prepared);
  if (reach < kMinSpan) {
    run_steps(p, n, xn, prepared, sink, gain...);
    return true;
  }
  // Whole vectors where the reach allows: a span's loops then leave no
  // remainder, which a span of a few dozen samples would feel.
  const std::size_t span = std::min<std::uint64_t>(reach, kMaxSpan) & ~std::uint64_t{7};
  Sample delayed[kMaxSpan], stored[kMaxSpan];
  for (std::size_t start = 0; start < n; start += span) {
    const std::size_t m = std::min(span, n - start);
    ring.memory().read_span(prepared, 0, m, delayed);
    if constexpr (Loops<T>) {
      for (std::size_t i = 0; i < m; ++i)
        stored[i] = T::into_loop(xn[start + i], delayed[i], gain...);
      ring.write_span(stored, m);
      for (std::size_t i = 0; i < m; ++i)
        sink(start + i, T::output(delayed[i], gain..., stored[i]));
    } else {
      for (std::size_t i = 0; i < m; ++i) stored[i] = xn[start + i];
      ring.write_span(stored, m);
      for (std::size_t i = 0; i < m; ++i) sink(start + i, delayed[i]);
    }
  }
  return true;
}

}  // namespace vorda::blocks
