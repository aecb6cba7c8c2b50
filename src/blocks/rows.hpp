// The one table of operations for blocks and patches: each row is an
// operation (class, Python name, member function, parameters) together with
// how a block may modulate it, hoist work out of its loop, or split it into
// its read and the rest (read_ahead.hpp). A block call and a patch operation go through the same
// row.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>

#include "blocks/kernel.hpp"
#include "blocks/read_ahead.hpp"
#include "frame.hpp"
#include "operations.hpp"

namespace vorda::blocks {

struct Unmodulated {
  static constexpr const char* name = nullptr;
  using Params = ParamList<>;
};
// `Name` is what a per-sample caller modulates: a method (called with the
// extra arguments) or a property (assigned).
template <Name Setter, auto Set, class P>
struct Modulated {
  static constexpr auto set = Set;
  static constexpr const char* name = Setter.text;
  using Params = P;
};

template <class Main, class Extra, bool WithOut>
struct Names;
template <auto... P, auto... M, bool WithOut>
struct Names<ParamList<P...>, ParamList<M...>, WithOut> {
  static constexpr const char* names[] = {P.name..., M.name..., "n", "out"};
  static constexpr bool required[] = {P.required..., M.required..., false};
  static constexpr double fallback[] = {P.fallback..., M.fallback..., 0.0};
  static constexpr int count = sizeof...(P) + sizeof...(M) + 1 + (WithOut ? 1 : 0);
};

template <class Args, std::size_t... I>
constexpr auto kinds_of(std::index_sequence<I...>) {
  return std::array<Kind, sizeof...(I) + 1>{kind_of<std::tuple_element_t<I, Args>>()...,
                                            Kind::sample};
}

// What a step works on. A const operation works on the instance in place
// (other readers may share it); anything else on a copy of its own (`loop`).
template <auto Fn, bool IsFunction = !std::is_member_function_pointer_v<decltype(Fn)>>
struct Target {
  using type = Stateless;
  static constexpr bool shared = false;
};
template <auto Fn>
struct Target<Fn, false> {
  using Info = Callable<decltype(Fn)>;
  static constexpr bool shared = Info::is_const;
  using type = std::conditional_t<shared, const typename Info::Class, typename Info::Class>;
};

template <auto Fn, class Modulation>
struct FullStep {
  using type = SetThenCall<Fn, Modulation::set>;
};
template <auto Fn>
struct FullStep<Fn, Unmodulated> {
  using type = Call<Fn>;
};

template <class Op, class Modulation = Unmodulated, class Hoisting = NoHoist,
          Split Splits = Split::none>
struct Row {
  using Operation = Op;
  using Params = typename Op::Params;
  static constexpr auto fn = Op::fn;
  using Plain = Call<fn>;
  using Full = typename FullStep<fn, Modulation>::type;
  using Result = typename Plain::Result;
  static constexpr bool is_function = !std::is_member_function_pointer_v<decltype(fn)>;
  using Proc = typename Target<fn>::type;
  static constexpr bool shared = Target<fn>::shared;
  static constexpr int kParams = Params::count;
  static constexpr int kModulated = Modulation::Params::count;
  static constexpr int kResults = results_of<Result>();
  using Table = Names<Params, typename Modulation::Params, kResults != 0>;
  static constexpr auto kinds =
      kinds_of<typename Full::Args>(std::make_index_sequence<kParams + kModulated>{});
  static constexpr const char* class_name = is_function ? nullptr : Op::class_name;
  static constexpr const char* callee = Op::callee;
  using Hoisted = Hoisting;
  static constexpr Split split = Splits;
  static constexpr const char* modulation = Modulation::name;

  static inline PyTypeObject* type = nullptr;  // vorda's, found at import
};

template <class T>
using CoefficientOnce = Hoist<&T::process_at, &T::at_coefficient>;

using ProcessRows = std::tuple<
    Row<ops::SinOscProcess>, Row<ops::WhiteNoiseProcess>, Row<ops::LfoProcess>,
    Row<ops::BiquadProcess,
        Modulated<"set_coefs", ops::BiquadSetCoefs::fn, ops::BiquadSetCoefs::Params>>,
    Row<ops::LeakDcProcess, Modulated<"coef", &LeakDc::coef, ParamList<ops::kLeakDcCoef>>>,
    Row<ops::DelaySProcess, Unmodulated, NoHoist, Split::step>,
    Row<ops::DelayNProcess, Unmodulated, NoHoist, Split::step>,
    Row<ops::DelayLProcess, Unmodulated, NoHoist, Split::step>,
    Row<ops::CombSProcess, Unmodulated, CoefficientOnce<CombS>, Split::step>,
    Row<ops::CombNProcess, Unmodulated, CoefficientOnce<CombN>, Split::step>,
    Row<ops::CombLProcess, Unmodulated, CoefficientOnce<CombL>, Split::step>,
    Row<ops::AllpassSProcess, Unmodulated, CoefficientOnce<AllpassS>>,
    Row<ops::AllpassNProcess, Unmodulated, CoefficientOnce<AllpassN>>,
    Row<ops::AllpassLProcess, Unmodulated, CoefficientOnce<AllpassL>>>;

using ReadRows = std::tuple<Row<ops::RingBufferSOps::Read, Unmodulated, NoHoist, Split::read>,
                            Row<ops::RingBufferNOps::Read, Unmodulated, NoHoist, Split::read>,
                            Row<ops::RingBufferLOps::Read, Unmodulated, NoHoist, Split::read>>;

using WriteRows =
    std::tuple<Row<ops::RingBufferSOps::Write>, Row<ops::RingBufferNOps::Write>, Row<ops::RingBufferLOps::Write>>;

using Pan2Row = Row<ops::Pan2, Unmodulated, Hoist<&pan_at, &pan_gains>>;

// Every row, in the order that numbers them: the kernels' tables
// (units.hpp) and snapshots (snapshot_tags.hpp, which pins the numbers).
using AllRows =
    decltype(std::tuple_cat(ProcessRows{}, ReadRows{}, WriteRows{}, std::tuple<Pan2Row>{}));

template <class Op, class... Rows>
constexpr int row_index_in(std::tuple<Rows...>*) {
  constexpr bool found[] = {std::is_same_v<Op, typename Rows::Operation>...};
  for (int i = 0; i < static_cast<int>(sizeof...(Rows)); ++i)
    if (found[i]) return i;
  return -1;
}
// The number of the row of operation `Op`.
template <class Op>
inline constexpr int row_index = row_index_in<Op>(static_cast<AllRows*>(nullptr));

}  // namespace vorda::blocks
