// The generic loop: one member function of one processor over n samples,
// each parameter either a constant or an array of per-sample values. The
// compiler writes a loop for every combination (`run`), so no class has a
// loop of its own and every formula stays in its processor's header.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "params.hpp"
#include "sample.hpp"

namespace vorda::blocks {

enum class Kind { sample, count };

template <class T>
constexpr Kind kind_of() {
  static_assert(std::is_same_v<T, Sample> || std::is_same_v<T, std::uint64_t>);
  return std::is_same_v<T, Sample> ? Kind::sample : Kind::count;
}

// What the loop sees of one parameter: one value for every sample, or an
// array of them. Count arrays are uint64 (or int64 checked to be
// non-negative, which has the same bits). Sample arrays are float32
// (`narrow`: a block's arrays, a patch's values that a processor computed)
// or float64 (a patch's other values: Python floats, which a processor takes
// narrowed); a patch's double constants travel in `wide`.
struct Arg {
  bool constant = true;
  bool narrow = false;
  Sample sample = 0.0f;
  std::uint64_t count = 0;
  const void* data = nullptr;
  double wide = 0.0;

  template <class T>
  T value() const {
    if constexpr (std::is_same_v<T, Sample>)
      return sample;
    else
      return count;
  }
};

// The same argument `by` samples on: an array's data moves; a constant
// stays.
inline void advance(Arg& arg, Kind kind, std::size_t by) {
  if (arg.constant) return;
  const std::size_t bytes = kind == Kind::count ? sizeof(std::uint64_t)
                            : arg.narrow        ? sizeof(Sample)
                                                : sizeof(double);
  arg.data = static_cast<const char*>(arg.data) + by * bytes;
}

template <class T>
struct Constant {
  T value;
  T operator[](std::size_t) const { return value; }
};

template <class T>
inline constexpr bool is_constant = false;
template <class T>
inline constexpr bool is_constant<Constant<T>> = true;

template <class T>
struct Stream {
  const T* data;
  T operator[](std::size_t i) const { return data[i]; }
};

// A float64 array a processor takes narrowed, as the per-sample call
// narrows a Python float.
struct Narrowed {
  const double* data;
  Sample operator[](std::size_t i) const { return static_cast<Sample>(data[i]); }
};

// Either width, told at run time: for the arguments past the third, where a
// loop for every combination of widths would be more code than it saves.
struct EitherWidth {
  const void* data;
  bool narrow;
  Sample operator[](std::size_t i) const {
    return narrow ? static_cast<const Sample*>(data)[i]
                  : static_cast<Sample>(static_cast<const double*>(data)[i]);
  }
};

struct NoSink {};
template <class T>
struct OneSink {
  T* y;
  void operator()(std::size_t i, Sample value) const { y[i] = value; }
};
template <class T>
struct TwoSinks {
  T* first;
  T* second;
  void operator()(std::size_t i, std::pair<Sample, Sample> value) const {
    first[i] = value.first;
    second[i] = value.second;
  }
};

// The sink for a result type, writing elements of type T.
template <class R, class T>
using SinkFor = std::conditional_t<
    std::is_void_v<R>, NoSink,
    std::conditional_t<std::is_same_v<R, std::pair<Sample, Sample>>, TwoSinks<T>, OneSink<T>>>;

template <class R>
constexpr int results_of() {
  if constexpr (std::is_void_v<R>)
    return 0;
  else if constexpr (std::is_same_v<R, std::pair<Sample, Sample>>)
    return 2;
  else
    return 1;
}

// What one sample does: a member function of the processor, or a module
// function (on no state).
struct Stateless {};

template <auto Fn>
struct Call {
  using Info = Callable<decltype(Fn)>;
  using Args = typename Info::Args;
  using Result = typename Info::Result;
  template <class P, class... A>
  static Result step(P& p, A... a) {
    if constexpr (std::is_member_function_pointer_v<decltype(Fn)>)
      return (p.*Fn)(a...);
    else
      return Fn(a...);
  }
};

template <auto Member>
struct SetterArgs {
  using type = typename Callable<decltype(Member)>::Args;
};
template <class C, class V, V C::* Member>
  requires(!std::is_function_v<V>)
struct SetterArgs<Member> {
  using type = std::tuple<V>;
};

// Modulation: the trailing arguments go to `Set` (a setter, or a data member
// to assign) before `Fn` runs with the leading ones, as a caller would set
// the coefficients before each per-sample call.
template <auto Fn, auto Set>
struct SetThenCall {
  using Main = Call<Fn>;
  using SetArgs = typename SetterArgs<Set>::type;
  using Args =
      decltype(std::tuple_cat(std::declval<typename Main::Args>(), std::declval<SetArgs>()));
  using Result = typename Main::Result;
  static constexpr std::size_t kLeading = std::tuple_size_v<typename Main::Args>;

  template <class P, class... A>
  static Result step(P& p, A... a) {
    std::tuple<A...> all{a...};
    return [&]<std::size_t... I, std::size_t... J>(std::index_sequence<I...>,
                                                   std::index_sequence<J...>) {
      if constexpr (std::is_member_function_pointer_v<decltype(Set)>)
        (p.*Set)(std::get<kLeading + J>(all)...);
      else
        ((p.*Set = std::get<kLeading + J>(all)), ...);
      return (p.*Fn)(std::get<I>(all)...);
    }(std::make_index_sequence<kLeading>{}, std::make_index_sequence<sizeof...(A) - kLeading>{});
  }
};

template <class Step, class P, class Sink, class... Sources>
void emit(P& p, std::size_t n, const Sink& sink, const Sources&... sources) {
  for (std::size_t i = 0; i < n; ++i) {
    if constexpr (std::is_void_v<typename Step::Result>)
      Step::step(p, sources[i]...);
    else
      sink(i, Step::step(p, sources[i]...));
  }
}

// A const operation works on the shared instance in place, and nothing
// tells the compiler that the output stores leave it alone: it would reload
// the instance's fields (and redo what depends on them, such as a delay in
// samples) for every sample. __restrict says so, but GCC honours it only on
// the parameters of a function it compiles on its own, hence this one. The
// sources come by value, for the same reason.
template <class Step, class P, class Sink, class... Sources>
[[gnu::noinline]] void emit_shared(P& __restrict p, std::size_t n, Sink sink, Sources... sources) {
  if constexpr ((is_constant<Sources> && ...)) {
    // Nothing changes from one sample to the next: one result fills the block.
    if (n == 0) return;
    const auto value = Step::step(p, sources[0]...);
    for (std::size_t i = 0; i < n; ++i) sink(i, value);
  } else {
    emit<Step>(p, n, sink, sources...);
  }
}

template <class Step, class P, class Sink, class... Sources>
void loop(P& p, std::size_t n, const Sink& sink, Sources... sources) {
  if constexpr (std::is_const_v<P> || std::is_empty_v<P>) {
    emit_shared<Step>(p, n, sink, sources...);
  } else {
    // The loop works on a copy of its own: nothing it stores through can
    // alias that, so the state stays in registers between samples.
    P local = std::move(p);
    try {
      emit<Step>(local, n, sink, sources...);
    } catch (...) {
      p = std::move(local);
      throw;
    }
    p = std::move(local);
  }
}

// Calls `use` with the source of argument `arg`: a constant, or an array of
// its width; the compiler writes a loop for each.
template <class T, std::size_t I, class Use>
decltype(auto) with_source(const Arg& arg, Use&& use) {
  if (arg.constant) return use(Constant<T>{arg.template value<T>()});
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    return use(Stream<std::uint64_t>{static_cast<const std::uint64_t*>(arg.data)});
  } else if constexpr (I >= 3) {
    return use(EitherWidth{arg.data, arg.narrow});
  } else {
    if (arg.narrow) return use(Stream<Sample>{static_cast<const Sample*>(arg.data)});
    return use(Narrowed{static_cast<const double*>(arg.data)});
  }
}

// Picks the source of each argument in turn; the compiler writes one loop
// per combination.
template <class Step, class P, class Sink, class... Chosen>
void run(P& p, std::size_t n, const Sink& sink, const Arg* args, Chosen... chosen) {
  constexpr std::size_t I = sizeof...(Chosen);
  using Args = typename Step::Args;
  if constexpr (I == std::tuple_size_v<Args>) {
    loop<Step>(p, n, sink, chosen...);
  } else {
    with_source<std::tuple_element_t<I, Args>, I>(
        args[I], [&](auto source) { run<Step>(p, n, sink, args, chosen..., source); });
  }
}

// Work that constant trailing arguments let a block do once: `Prepare`
// turns them into the trailing arguments of `At`, and At(leading...,
// Prepare(trailing...)...) gives the bits of the plain step.
struct NoHoist {};
template <auto At, auto Prepare>
struct Hoist {
  using Step = Call<At>;
  using From = typename Callable<decltype(Prepare)>::Args;
  static constexpr auto prepare = Prepare;
};

template <class A>
Arg constant(A value) {
  Arg arg;
  if constexpr (std::is_same_v<A, Sample>)
    arg.sample = value;
  else
    arg.count = value;
  return arg;
}

// The arguments of the hoisted step: the leading ones as they are, then
// what Prepare makes of the trailing ones (all constant).
template <class H, std::size_t Count>
auto hoisted_args(const Arg* args) {
  constexpr std::size_t kFolded = std::tuple_size_v<typename H::From>, kFirst = Count - kFolded;
  auto prepared = [&]<std::size_t... I>(std::index_sequence<I...>) {
    return H::prepare(
        args[kFirst + I].template value<std::tuple_element_t<I, typename H::From>>()...);
  }(std::make_index_sequence<kFolded>{});
  constexpr std::size_t kPrepared = std::tuple_size_v<decltype(prepared)>;
  std::array<Arg, kFirst + kPrepared> hoisted;
  std::copy(args, args + kFirst, hoisted.begin());
  std::apply(
      [&](auto... value) {
        std::size_t i = kFirst;
        ((hoisted[i++] = constant(value)), ...);
      },
      prepared);
  return hoisted;
}

template <class H, std::size_t Count>
bool can_hoist(const Arg* args) {
  if constexpr (std::is_same_v<H, NoHoist>) {
    return false;
  } else {
    constexpr std::size_t kFirst = Count - std::tuple_size_v<typename H::From>;
    for (std::size_t i = kFirst; i < Count; ++i)
      if (!args[i].constant) return false;
    return true;
  }
}

// Runs the hoisted step if the trailing arguments it folds are constant.
template <class H, std::size_t Count, class P, class Sink>
bool run_hoisted_if(P& p, std::size_t n, const Sink& sink, const Arg* args) {
  if constexpr (std::is_same_v<H, NoHoist>) {
    return false;
  } else {
    if (!can_hoist<H, Count>(args)) return false;
    auto hoisted = hoisted_args<H, Count>(args);
    run<typename H::Step>(p, n, sink, hoisted.data());
    return true;
  }
}

}  // namespace vorda::blocks
