// The patch's units, generated from the table of rows: for every operation
// a loop over a chunk (the block kernel, on doubles), one sample of it, and
// the two halves of a split step. And the arithmetic between operations.
#include "blocks/units.hpp"

#include <cmath>

#include "blocks/rows.hpp"

namespace vorda::blocks {
namespace {

template <class R>
using Proc = typename R::Proc;

template <class R>
Proc<R>& proc_of(const Unit& u) {
  if constexpr (R::is_function) {
    static Stateless nothing;
    return nothing;
  } else {
    return *static_cast<Proc<R>*>(u.proc);
  }
}

template <class R>
auto sink_of(const Unit& u) {
  using Sink = SinkFor<typename R::Result, double>;
  if constexpr (R::kResults == 0)
    return Sink{};
  else if constexpr (R::kResults == 1)
    return Sink{u.out[0]};
  else
    return Sink{u.out[0], u.out[1]};
}

template <class R, bool Modulated>
void block(const Unit& u, std::size_t n) {
  Proc<R>& p = proc_of<R>(u);
  auto sink = sink_of<R>(u);
  if constexpr (Modulated) {
    run<typename R::Full, DoubleArrays>(p, n, sink, u.args);
  } else if (!run_hoisted_if<typename R::Hoisted, R::kParams, DoubleArrays>(p, n, sink, u.args)) {
    run<typename R::Plain, DoubleArrays>(p, n, sink, u.args);
  }
}

template <class T>
T element(const Arg& arg, std::size_t i) {
  if constexpr (std::is_same_v<T, Sample>)
    return arg.constant ? arg.sample : static_cast<Sample>(static_cast<const double*>(arg.data)[i]);
  else
    return arg.constant ? arg.count : static_cast<const std::uint64_t*>(arg.data)[i];
}

template <class Step, class R>
void step(const Unit& u, std::size_t i) {
  using Args = typename Step::Args;
  Proc<R>& p = proc_of<R>(u);
  auto result = [&]<std::size_t... I>(std::index_sequence<I...>) {
    return Step::step(p, element<std::tuple_element_t<I, Args>>(u.args[I], i)...);
  };
  constexpr auto all = std::make_index_sequence<std::tuple_size_v<Args>>{};
  if constexpr (R::kResults == 0) {
    result(all);
  } else if constexpr (R::kResults == 1) {
    u.out[0][i] = result(all);
  } else {
    auto [first, second] = result(all);
    u.out[0][i] = first;
    u.out[1][i] = second;
  }
}

template <class R>
constexpr int delay_index() {
  return R::kParams == 1 ? 0 : 1;  // read(delay) or process(xn, delay, ...)
}

template <class R>
using Stateful = std::remove_const_t<Proc<R>>;

// The read half of a split step: the chunk's reads, ahead of its writes.
template <class R>
void read_ahead_of(const Unit& u, std::size_t n) {
  const auto& p = *static_cast<const Stateful<R>*>(u.proc);
  read_ahead(p, n, u.args[delay_index<R>()].template value<DelayOf<Stateful<R>>>(), u.ahead,
             u.out[0]);
}

template <class R>
std::uint64_t reach_of(const void* proc, const Arg& delay) {
  const auto& p = *static_cast<const Stateful<R>*>(proc);
  return reach(p, delay.template value<DelayOf<Stateful<R>>>());
}

// The feed half: (xn, delayed) and, for a feedback loop, its gain, the
// coefficient hoisted as the row hoists it (a split needs it constant).
template <class R>
void feed_of(const Unit& u, std::size_t n) {
  using T = Stateful<R>;
  Arg args[3];
  args[0] = u.args[0];
  args[1].constant = false;
  args[1].data = u.delayed;
  if constexpr (Feed<T>::loops) args[2] = hoisted_args<typename R::Hoisted, R::kParams>(u.args)[2];
  run<Feed<T>, DoubleArrays>(proc_of<R>(u), n, NoSink{}, args);
}

// Several units of one stateful row at once, every argument an array. Each
// lane works on a copy of its processor (in registers where they fit), as
// `loop` does for one.
template <class R, std::size_t W>
void lanes(const Unit* const* units, std::size_t n) {
  using T = std::remove_const_t<Proc<R>>;
  using Step = typename R::Plain;
  using Args = typename Step::Args;
  constexpr std::size_t A = std::tuple_size_v<Args>;
  const void* in[W][A > 0 ? A : 1];
  double* out[W][2];
  union Slot {  // room for a processor, constructed below
    T value;
    Slot() {}
    ~Slot() {}
  } slots[W];
  T* local[W];
  for (std::size_t w = 0; w < W; ++w) {
    for (std::size_t a = 0; a < A; ++a) in[w][a] = units[w]->args[a].data;
    out[w][0] = units[w]->out[0];
    out[w][1] = units[w]->out[1];
    local[w] = new (&slots[w].value) T(std::move(*static_cast<T*>(units[w]->proc)));
  }
  auto put_back = [&] {
    for (std::size_t w = 0; w < W; ++w) {
      *static_cast<T*>(units[w]->proc) = std::move(*local[w]);
      std::destroy_at(local[w]);
    }
  };
  auto one = [&]<std::size_t... I>(std::size_t w, std::size_t i, std::index_sequence<I...>) {
    [[maybe_unused]] auto arg = [&]<class V>(const void* data) {
      if constexpr (std::is_same_v<V, Sample>)
        return static_cast<Sample>(static_cast<const double*>(data)[i]);
      else
        return static_cast<const std::uint64_t*>(data)[i];
    };
    auto result =
        Step::step(*local[w], arg.template operator()<std::tuple_element_t<I, Args>>(in[w][I])...);
    if constexpr (R::kResults == 1) {
      out[w][0][i] = result;
    } else if constexpr (R::kResults == 2) {
      out[w][0][i] = result.first;
      out[w][1][i] = result.second;
    }
  };
  try {
    for (std::size_t i = 0; i < n; ++i)
      [&]<std::size_t... L>(std::index_sequence<L...>) {
        (one(L, i, std::make_index_sequence<A>{}), ...);
      }(std::make_index_sequence<W>{});
  } catch (...) {
    put_back();
    throw;
  }
  put_back();
}

template <class R>
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
  op.block = &block<R, false>;
  op.step = &step<typename R::Plain, R>;
  if constexpr (R::kModulated > 0) {
    op.block_modulated = &block<R, true>;
    op.step_modulated = &step<typename R::Full, R>;
  }
  if constexpr (R::split != Split::none) {
    op.split = R::split;
    op.delay_param = delay_index<R>();
    op.reach = &reach_of<R>;
    op.read_ahead = &read_ahead_of<R>;
    if constexpr (R::split == Split::step) op.feed = &feed_of<R>;
  }
  if constexpr (!R::is_function && !R::shared && R::kResults > 0) {
    op.lanes2 = &lanes<R, 2>;
    op.lanes4 = &lanes<R, 4>;
  }
  return op;
}

template <class Rows>
std::vector<RowInfo> describe_all() {
  return std::apply(
      [](auto... rows) { return std::vector<RowInfo>{describe<decltype(rows)>()...}; }, Rows{});
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

double operand(const Arg& arg, std::size_t i) {
  return arg.constant ? arg.wide : static_cast<const double*>(arg.data)[i];
}

template <Arith A, class First, class Second>
void arith_loop(double* __restrict y, std::size_t n, First a, Second b) {
  for (std::size_t i = 0; i < n; ++i) y[i] = apply<A>(a[i], b[i]);
}

struct Wide {
  const double* data;
  double operator[](std::size_t i) const { return data[i]; }
};

template <Arith A>
void arith_block_of(const Unit& u, std::size_t n) {
  const Arg &a = u.args[0], &b = u.args[1];
  auto source = [](const Arg& arg) { return Wide{static_cast<const double*>(arg.data)}; };
  if (a.constant && b.constant)
    arith_loop<A>(u.out[0], n, Constant<double>{a.wide}, Constant<double>{b.wide});
  else if (a.constant)
    arith_loop<A>(u.out[0], n, Constant<double>{a.wide}, source(b));
  else if (b.constant)
    arith_loop<A>(u.out[0], n, source(a), Constant<double>{b.wide});
  else
    arith_loop<A>(u.out[0], n, source(a), source(b));
}

template <Arith A>
void arith_step_of(const Unit& u, std::size_t i) {
  u.out[0][i] = apply<A>(operand(u.args[0], i), operand(u.args[1], i));
}

// Every arithmetic operation, indexed by Arith: its name in `steps`, how
// many operands it takes, and its loops.
struct ArithInfo {
  const char* name;
  int arity;
  BlockFn block;
  StepFn step;
};
template <Arith A>
constexpr ArithInfo arith(const char* name, int arity) {
  return {name, arity, &arith_block_of<A>, &arith_step_of<A>};
}
constexpr ArithInfo kArith[] = {
    arith<Arith::add>("+", 2),    arith<Arith::sub>("-", 2),   arith<Arith::mul>("*", 2),
    arith<Arith::div>("/", 2),    arith<Arith::neg>("neg", 1), arith<Arith::abs>("abs", 1),
    arith<Arith::min>("min", 2),  arith<Arith::max>("max", 2), arith<Arith::tanh>("tanh", 1),
    arith<Arith::copy>("set", 1),
};
static_assert(std::size(kArith) == static_cast<std::size_t>(Arith::copy) + 1);

const ArithInfo& info(Arith op) {
  return kArith[static_cast<std::size_t>(op)];
}

}  // namespace

std::span<const RowInfo> all_rows() {
  static const std::vector<RowInfo> rows = describe_all<AllRows>();
  return rows;
}
std::span<const RowInfo> process_rows() {
  return all_rows().subspan(0, std::tuple_size_v<ProcessRows>);
}
std::span<const RowInfo> read_rows() {
  return all_rows().subspan(std::tuple_size_v<ProcessRows>, std::tuple_size_v<ReadRows>);
}
std::span<const RowInfo> write_rows() {
  return all_rows().subspan(std::tuple_size_v<ProcessRows> + std::tuple_size_v<ReadRows>,
                            std::tuple_size_v<WriteRows>);
}
const RowInfo& pan2_row() {
  return all_rows().back();
}

BlockFn arith_block(Arith op) {
  return info(op).block;
}
StepFn arith_step(Arith op) {
  return info(op).step;
}
const char* arith_name(Arith op) {
  return info(op).name;
}
int arith_arity(Arith op) {
  return info(op).arity;
}

}  // namespace vorda::blocks
