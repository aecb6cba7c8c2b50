// Every kernel of blocks and patches, written once and built once per
// target (targets.hpp): kernels_baseline.cpp and kernels_x86_64_v3.cpp each
// instantiate `kernels_for<Target>()` and nothing else. A kernel is a
// template on the row (rows.hpp) it runs; the target only wraps it.
#pragma once

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "blocks/rows.hpp"
#include "blocks/targets.hpp"

namespace vorda::blocks::kernel {

template <class R>
using Proc = typename R::Proc;
template <class R>
using Stateful = std::remove_const_t<Proc<R>>;

template <class R>
Proc<R>& proc_of(const Unit& u) {
  if constexpr (R::is_function) {
    static Stateless nothing;
    return nothing;
  } else {
    return *static_cast<Proc<R>*>(u.proc);
  }
}

// A processor's results are Samples: a unit keeps them in float32 arrays.
template <class R>
auto sink_of(const Unit& u) {
  using Sink = SinkFor<typename R::Result, Sample>;
  if constexpr (R::kResults == 0)
    return Sink{};
  else if constexpr (R::kResults == 1)
    return Sink{static_cast<Sample*>(u.out[0])};
  else
    return Sink{static_cast<Sample*>(u.out[0]), static_cast<Sample*>(u.out[1])};
}

// A row whose steps can run a span at a time (read_ahead.hpp).
template <class R>
inline constexpr bool kSpans = !R::is_function && !R::shared && Steps<Stateful<R>>;

// Runs the block a span at a time if its delay (and decay) are constant
// and reach back far enough; false if not (nothing done).
template <class R, class Sink>
bool run_spans_if(Proc<R>& p, std::size_t n, const Sink& sink, const Arg* args) {
  if constexpr (!kSpans<R>) {
    return false;
  } else {
    using T = Stateful<R>;
    for (int i = 1; i < R::kParams; ++i)
      if (!args[i].constant) return false;
    const auto delay = args[1].template value<DelayOf<T>>();
    return with_source<Sample, 0>(args[0], [&](auto xn) {
      if constexpr (Loops<T>) {
        const auto decay = args[2].template value<DelayOf<T>>();
        return run_spans(p, n, xn, delay, sink, std::get<1>(T::at_coefficient(delay, decay)));
      } else {
        return run_spans(p, n, xn, delay, sink);
      }
    });
  }
}

// One row over n samples: modulated, a span at a time, with work hoisted
// out of the loop, or plainly, whichever the arguments allow.
template <class R, class Sink>
void run_row(Proc<R>& p, std::size_t n, const Sink& sink, const Arg* args, bool modulated) {
  if constexpr (R::kModulated > 0) {
    if (modulated) return run<typename R::Full>(p, n, sink, args);
  }
  if (run_spans_if<R>(p, n, sink, args)) return;
  if (run_hoisted_if<typename R::Hoisted, R::kParams>(p, n, sink, args)) return;
  run<typename R::Plain>(p, n, sink, args);
}

template <class R, bool Modulated>
void block(const Unit& u, std::size_t n) {
  run_row<R>(proc_of<R>(u), n, sink_of<R>(u), u.args, Modulated);
}

// Sample i of an argument, whatever it is.
template <class T>
T element(const Arg& arg, std::size_t i) {
  if constexpr (std::is_same_v<T, Sample>) {
    if (arg.constant) return arg.sample;
    return arg.narrow ? static_cast<const Sample*>(arg.data)[i]
                      : static_cast<Sample>(static_cast<const double*>(arg.data)[i]);
  } else {
    return arg.constant ? arg.count : static_cast<const std::uint64_t*>(arg.data)[i];
  }
}

// Sample i's step, and its results stored.
template <class Step, class P>
void step_into(P& p, const Arg* args, void* const* out, std::size_t i) {
  using Args = typename Step::Args;
  auto call = [&]<std::size_t... I>(std::index_sequence<I...>) {
    return Step::step(p, element<std::tuple_element_t<I, Args>>(args[I], i)...);
  };
  constexpr auto all = std::make_index_sequence<std::tuple_size_v<Args>>{};
  using Result = typename Step::Result;
  if constexpr (std::is_void_v<Result>) {
    call(all);
  } else if constexpr (std::is_same_v<Result, Sample>) {
    static_cast<Sample*>(out[0])[i] = call(all);
  } else {
    const auto result = call(all);
    static_cast<Sample*>(out[0])[i] = result.first;
    static_cast<Sample*>(out[1])[i] = result.second;
  }
}

template <class Step, class R>
void step(const Unit& u, std::size_t i) {
  step_into<Step>(proc_of<R>(u), u.args, u.out, i);
}

template <class R>
constexpr int delay_index() {
  return R::kParams == 1 ? 0 : 1;  // read(delay) or process(xn, delay, ...)
}

// The read half of a split step: the chunk's reads, ahead of its writes.
template <class R>
void read_ahead_of(const Unit& u, std::size_t n) {
  const auto& p = *static_cast<const Stateful<R>*>(u.proc);
  read_ahead(p, n, u.args[delay_index<R>()].template value<DelayOf<Stateful<R>>>(), u.ahead,
             static_cast<Sample*>(u.out[0]));
}

template <class R>
std::uint64_t reach_of(const void* proc, const Arg& delay) {
  const auto& p = *static_cast<const Stateful<R>*>(proc);
  return reach(p, delay.template value<DelayOf<Stateful<R>>>());
}

// The feed half: the writes, given what the read half read (and for a
// feedback loop its gain, hoisted as the row hoists it: a split needs the
// decay constant).
template <class R>
void feed_of(const Unit& u, std::size_t n) {
  using T = Stateful<R>;
  auto& p = *static_cast<T*>(u.proc);
  with_source<Sample, 0>(u.args[0], [&](auto xn) {
    if constexpr (Loops<T>)
      feed_span(p, n, xn, u.delayed,
                hoisted_args<typename R::Hoisted, R::kParams>(u.args)[2].sample);
    else
      feed_span(p, n, xn, u.delayed);
  });
}

// Several units of one stateful row at once, interleaved sample by sample
// so that their recurrences overlap. Each lane works on a copy of its
// processor (in registers where they fit), as `loop` does for one.
template <class R, std::size_t W>
void interleaved(const Unit* const* units, std::size_t n) {
  using T = Stateful<R>;
  union Slot {  // room for a processor, constructed below
    T value;
    Slot() {}
    ~Slot() {}
  } slots[W];
  T* local[W];
  for (std::size_t w = 0; w < W; ++w)
    local[w] = new (&slots[w].value) T(std::move(*static_cast<T*>(units[w]->proc)));
  auto put_back = [&] {
    for (std::size_t w = 0; w < W; ++w) {
      *static_cast<T*>(units[w]->proc) = std::move(*local[w]);
      std::destroy_at(local[w]);
    }
  };
  try {
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t w = 0; w < W; ++w)
        step_into<typename R::Plain>(*local[w], units[w]->args, units[w]->out, i);
  } catch (...) {
    put_back();
    throw;
  }
  put_back();
}

// A processor written for a vector of Samples as well (BasicBiquad,
// BasicLeakDc): Twin<T, V> holds a filter in each lane of V.
template <class T, class V>
struct TwinOf {};
template <template <class> class Basic, class V>
struct TwinOf<Basic<Sample>, V> {
  using type = Basic<V>;
};

// GCC's vectors of W Samples (its operators act lane by lane).
template <int W>
struct VectorOf;
template <>
struct VectorOf<4> {
  typedef Sample type __attribute__((vector_size(4 * sizeof(Sample))));
  typedef int mask __attribute__((vector_size(4 * sizeof(int))));  // picks lanes in shuffles
};
template <>
struct VectorOf<8> {
  typedef Sample type __attribute__((vector_size(8 * sizeof(Sample))));
  typedef int mask __attribute__((vector_size(8 * sizeof(int))));
};
template <int W>
using Vector = typename VectorOf<W>::type;

template <class R, int W>
inline constexpr bool kVectorLanes = !R::is_function && !R::shared && R::kResults == 1 &&
                                     requires { typename TwinOf<Stateful<R>, Vector<W>>::type; };

// The fields of a processor's state, in the order its `state` lists them.
template <class F, class T>
int fields_of(T& p, F** fields) {
  int count = 0;
  auto take = [&](F& field) { fields[count++] = &field; };
  T::state(p, take);
  return count;
}

// Rows to columns: r[i][j] becomes r[j][i], for a W x W block of Samples,
// in the interleaving steps every vector instruction set has (unpack, then
// pairs, then halves). __builtin_shuffle moves the Samples with the
// target's own instructions; no value is computed.
template <class V, class... Lanes>
V shuffle(V a, V b, Lanes... lanes) {
  return __builtin_shuffle(a, b, typename VectorOf<sizeof...(Lanes)>::mask{lanes...});
}

template <class V>
void transpose(V (&r)[4]) {
  const V t0 = shuffle(r[0], r[1], 0, 4, 1, 5), t1 = shuffle(r[0], r[1], 2, 6, 3, 7);
  const V t2 = shuffle(r[2], r[3], 0, 4, 1, 5), t3 = shuffle(r[2], r[3], 2, 6, 3, 7);
  r[0] = shuffle(t0, t2, 0, 1, 4, 5);
  r[1] = shuffle(t0, t2, 2, 3, 6, 7);
  r[2] = shuffle(t1, t3, 0, 1, 4, 5);
  r[3] = shuffle(t1, t3, 2, 3, 6, 7);
}

template <class V>
void transpose(V (&r)[8]) {
  // Interleave pairs of rows, then pairs of pairs, then the halves.
  auto low = [](V a, V b) { return shuffle(a, b, 0, 8, 1, 9, 4, 12, 5, 13); };
  auto high = [](V a, V b) { return shuffle(a, b, 2, 10, 3, 11, 6, 14, 7, 15); };
  auto pairs_low = [](V a, V b) { return shuffle(a, b, 0, 1, 8, 9, 4, 5, 12, 13); };
  auto pairs_high = [](V a, V b) { return shuffle(a, b, 2, 3, 10, 11, 6, 7, 14, 15); };
  auto halves_low = [](V a, V b) { return shuffle(a, b, 0, 1, 2, 3, 8, 9, 10, 11); };
  auto halves_high = [](V a, V b) { return shuffle(a, b, 4, 5, 6, 7, 12, 13, 14, 15); };
  const V t0 = low(r[0], r[1]), t1 = high(r[0], r[1]), t2 = low(r[2], r[3]), t3 = high(r[2], r[3]);
  const V t4 = low(r[4], r[5]), t5 = high(r[4], r[5]), t6 = low(r[6], r[7]), t7 = high(r[6], r[7]);
  const V u0 = pairs_low(t0, t2), u1 = pairs_high(t0, t2), u2 = pairs_low(t1, t3);
  const V u3 = pairs_high(t1, t3), u4 = pairs_low(t4, t6), u5 = pairs_high(t4, t6);
  const V u6 = pairs_low(t5, t7), u7 = pairs_high(t5, t7);
  r[0] = halves_low(u0, u4), r[4] = halves_high(u0, u4);
  r[1] = halves_low(u1, u5), r[5] = halves_high(u1, u5);
  r[2] = halves_low(u2, u6), r[6] = halves_high(u2, u6);
  r[3] = halves_low(u3, u7), r[7] = halves_high(u3, u7);
}

// Samples [start, start + m) of W arguments, one a lane, as m vectors: each
// argument's samples converted into a row of its own first (one plain loop
// each), then transposed W samples at a time.
template <class V, int W>
void gather(const Arg* const* args, std::size_t start, std::size_t m, Sample (*rows)[kMaxSpan],
            V* to) {
  for (int w = 0; w < W; ++w)
    with_source<Sample, 0>(*args[w], [&](auto source) {
      for (std::size_t i = 0; i < m; ++i) rows[w][i] = source[start + i];
    });
  std::size_t i = 0;
  for (; i + W <= m; i += W) {
    V block[W];
    for (int w = 0; w < W; ++w) std::memcpy(&block[w], rows[w] + i, sizeof(V));
    transpose(block);
    for (int k = 0; k < W; ++k) to[i + k] = block[k];
  }
  for (; i < m; ++i)
    for (int w = 0; w < W; ++w) to[i][w] = rows[w][i];
}

// The other way: m vectors into the first `count` lanes' arrays.
template <class V, int W>
void scatter(const V* from, std::size_t m, Sample* const* to, int count) {
  std::size_t i = 0;
  for (; i + W <= m; i += W) {
    V block[W];
    for (int k = 0; k < W; ++k) block[k] = from[i + k];
    transpose(block);
    for (int w = 0; w < count; ++w) std::memcpy(to[w] + i, &block[w], sizeof(V));
  }
  for (; i < m; ++i)
    for (int w = 0; w < count; ++w) to[w][i] = from[i][w];
}

// Up to W units of one row, each filter in a lane of vector registers: the
// same operations on every lane, in the same order, so each lane's bits are
// its filter's own. Lanes past `count` repeat the last unit's and are
// dropped. A block at a time, the inputs are gathered into vectors, the
// block runs on vectors alone, and the outputs are scattered back.
template <class R, int W>
void vector_lanes(const Unit* const* units, int count, std::size_t n) {
  using T = Stateful<R>;
  using V = Vector<W>;
  using Twin = typename TwinOf<T, V>::type;
  using Args = typename R::Plain::Args;
  constexpr std::size_t A = std::tuple_size_v<Args>;
  Twin twin(Blank{});
  V* vector_fields[16];
  const int fields = fields_of<V>(twin, vector_fields);
  const Unit* lane[W];
  for (int w = 0; w < W; ++w) lane[w] = units[w < count ? w : count - 1];
  for (int w = 0; w < W; ++w) {
    Sample* scalar_fields[16];
    fields_of<Sample>(*static_cast<T*>(lane[w]->proc), scalar_fields);
    for (int k = 0; k < fields; ++k) (*vector_fields[k])[w] = *scalar_fields[k];
  }
  Sample rows[W][kMaxSpan];
  V in[A > 0 ? A : 1][kMaxSpan];
  V out[kMaxSpan];
  for (std::size_t start = 0; start < n; start += kMaxSpan) {
    const std::size_t m = std::min(kMaxSpan, n - start);
    for (std::size_t a = 0; a < A; ++a) {
      const Arg* args[W];
      for (int w = 0; w < W; ++w) args[w] = &lane[w]->args[a];
      gather<V, W>(args, start, m, rows, in[a]);
    }
    for (std::size_t i = 0; i < m; ++i)
      out[i] = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return twin.process(in[I][i]...);
      }(std::make_index_sequence<A>{});
    Sample* to[W];
    for (int w = 0; w < count; ++w) to[w] = static_cast<Sample*>(lane[w]->out[0]) + start;
    scatter<V, W>(out, m, to, count);
  }
  for (int w = 0; w < count; ++w) {
    Sample* scalar_fields[16];
    fields_of<Sample>(*static_cast<T*>(lane[w]->proc), scalar_fields);
    for (int k = 0; k < fields; ++k) *scalar_fields[k] = (*vector_fields[k])[w];
  }
}

// Up to `count` units of one row side by side: in vector lanes where the
// processor allows it, else interleaved in fours and twos.
template <class R, class Target>
void lanes(const Unit* const* units, int count, std::size_t n) {
  if constexpr (kVectorLanes<R, Target::kLanes>) {
    vector_lanes<R, Target::kLanes>(units, count, n);
  } else {
    for (int at = 0; at < count;) {
      const int left = count - at;
      if (left >= 4) {
        interleaved<R, 4>(units + at, n);
        at += 4;
      } else if (left >= 2) {
        interleaved<R, 2>(units + at, n);
        at += 2;
      } else {
        block<R, false>(*units[at], n);
        at += 1;
      }
    }
  }
}

// A block call: n samples of float32 arrays, the instance's state the
// per-sample calls' (block_call.cpp has matched and converted everything).
template <class R>
void block_call(void* proc, std::size_t n, Sample** out, const Arg* args, bool modulated) {
  using Sink = SinkFor<typename R::Result, Sample>;
  Sink sink{};
  if constexpr (R::kResults == 1) sink = {out[0]};
  if constexpr (R::kResults == 2) sink = {out[0], out[1]};
  Stateless nothing;
  auto& p = [&]() -> Proc<R>& {
    if constexpr (R::is_function)
      return nothing;
    else
      return *static_cast<Proc<R>*>(proc);
  }();
  run_row<R>(p, n, sink, args, modulated);
}

// --- Arithmetic ----------------------------------------------------------------

template <Arith A>
inline double apply(double a, double b) {
  if constexpr (A == Arith::add) return a + b;
  if constexpr (A == Arith::sub) return a - b;
  if constexpr (A == Arith::mul) return a * b;
  if constexpr (A == Arith::div) return a / b;  // IEEE: ±inf or NaN where Python raises
  if constexpr (A == Arith::neg) return -a;
  if constexpr (A == Arith::abs) return std::fabs(a);
  // Python's min and max keep the first argument unless the second compares
  // below (above) it: min(nan, 1.0) is nan, min(1.0, nan) is 1.0, and
  // min(0.0, -0.0) is 0.0.
  if constexpr (A == Arith::min) return b < a ? b : a;
  if constexpr (A == Arith::max) return b > a ? b : a;
  if constexpr (A == Arith::tanh) return std::tanh(a);  // the C library's, as math.tanh
  if constexpr (A == Arith::copy) return a;
}

// An operand of arithmetic: a double constant, or an array of either width
// (a float32 value is widened exactly, as Python widens nothing: it was a
// float all along).
struct Widened {
  const Sample* data;
  double operator[](std::size_t i) const { return data[i]; }
};

template <class Use>
void with_operand(const Arg& arg, Use&& use) {
  if (arg.constant)
    use(Constant<double>{arg.wide});
  else if (arg.narrow)
    use(Widened{static_cast<const Sample*>(arg.data)});
  else
    use(Stream<double>{static_cast<const double*>(arg.data)});
}

inline double operand(const Arg& arg, std::size_t i) {
  if (arg.constant) return arg.wide;
  return arg.narrow ? static_cast<const Sample*>(arg.data)[i]
                    : static_cast<const double*>(arg.data)[i];
}

template <Arith A, class First, class Second>
void arith_loop(double* __restrict y, std::size_t n, First a, Second b) {
  for (std::size_t i = 0; i < n; ++i) y[i] = apply<A>(a[i], b[i]);
}

template <Arith A>
void arith_block_of(const Unit& u, std::size_t n) {
  with_operand(u.args[0], [&](auto a) {
    with_operand(u.args[1],
                 [&](auto b) { arith_loop<A>(static_cast<double*>(u.out[0]), n, a, b); });
  });
}

template <Arith A>
void arith_step_of(const Unit& u, std::size_t i) {
  static_cast<double*>(u.out[0])[i] = apply<A>(operand(u.args[0], i), operand(u.args[1], i));
}

template <class Target, class R>
RowInfo describe() {
  RowInfo op;
  op.class_name = R::class_name;
  op.callee = R::callee;
  op.type = R::is_function ? nullptr : &R::type;
  op.params = R::kParams;
  op.modulated = R::kModulated;
  op.modulation = R::modulation;
  op.results = R::kResults;
  op.signature = {R::class_name,       R::callee,    R::Table::names, R::kParams + R::kModulated,
                  R::Params::required, R::kModulated};
  op.kinds = R::kinds.data();
  op.required = R::Table::required;
  op.fallback = R::Table::fallback;
  op.shared = R::shared;
  if constexpr (!R::is_function) {
    using T = std::remove_const_t<Proc<R>>;
    op.value_of = [](PyObject* o) -> void* { return &reinterpret_cast<Instance<T>*>(o)->value; };
    op.borrow_of = [](PyObject* o) { return &reinterpret_cast<Instance<T>*>(o)->borrow; };
  }
  op.block_call = &Target::template block<&block_call<R>>;
  op.block = &Target::template unit<&block<R, false>>;
  op.step = &Target::template unit<&step<typename R::Plain, R>>;
  if constexpr (R::kModulated > 0) {
    op.block_modulated = &Target::template unit<&block<R, true>>;
    op.step_modulated = &Target::template unit<&step<typename R::Full, R>>;
  }
  if constexpr (R::split != Split::none) {
    op.split = R::split;
    op.delay_param = delay_index<R>();
    op.reach = &reach_of<R>;
    op.read_ahead = &Target::template unit<&read_ahead_of<R>>;
    if constexpr (R::split == Split::step) op.feed = &Target::template unit<&feed_of<R>>;
  }
  if constexpr (!R::is_function && !R::shared && R::kResults > 0) {
    op.lanes = &Target::template lanes<&lanes<R, Target>>;
    op.max_lanes = kVectorLanes<R, Target::kLanes> ? Target::kLanes : 4;
  }
  return op;
}

template <class Target>
const std::vector<RowInfo>& rows() {
  static const std::vector<RowInfo> table = std::apply(
      [](auto... rows) { return std::vector<RowInfo>{describe<Target, decltype(rows)>()...}; },
      AllRows{});
  return table;
}

template <class Target, Arith A>
constexpr ArithInfo arith(const char* name, int arity) {
  return {name, arity, &Target::template unit<&arith_block_of<A>>,
          &Target::template unit<&arith_step_of<A>>};
}

template <class Target>
constexpr ArithInfo kArith[] = {
    arith<Target, Arith::add>("+", 2),     arith<Target, Arith::sub>("-", 2),
    arith<Target, Arith::mul>("*", 2),     arith<Target, Arith::div>("/", 2),
    arith<Target, Arith::neg>("neg", 1),   arith<Target, Arith::abs>("abs", 1),
    arith<Target, Arith::min>("min", 2),   arith<Target, Arith::max>("max", 2),
    arith<Target, Arith::tanh>("tanh", 1), arith<Target, Arith::copy>("set", 1),
};

}  // namespace vorda::blocks::kernel

namespace vorda::blocks {

template <class Target>
Kernels kernels_for() {
  static_assert(std::size(kernel::kArith<Target>) == static_cast<std::size_t>(Arith::copy) + 1);
  return {Target::name, kernel::rows<Target>(), kernel::kArith<Target>};
}

}  // namespace vorda::blocks
