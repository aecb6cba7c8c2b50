// A block call: vb.process, vb.read, vb.write and vb.pan2. Everything is
// matched, converted and checked before the first sample; then the
// interpreter lock is released for the loop, and the instance's borrow is
// held throughout, so a block and a per-sample call on one instance exclude
// each other exactly as two per-sample calls do.
#include <optional>
#include <string>

#include "blocks/arguments.hpp"
#include "blocks/arrays.hpp"
#include "blocks/entries.hpp"

namespace vorda::blocks {

namespace {

// The arrays a block writes its results to: new ones, or the caller's
// `out` (a pair for two results), separated from the inputs they overlap.
template <int kOutputs>
void take_outputs(PyObject* out, Py_ssize_t length, Output* outputs, Input* inputs, int used) {
  if (out == nullptr || out == Py_None) {
    for (int k = 0; k < kOutputs; ++k) new_out(outputs[k], length, np.float32);
  } else if constexpr (kOutputs == 1) {
    take_out(outputs[0], out, length);
  } else {
    if (!(PyTuple_Check(out) || PyList_Check(out)) || PySequence_Size(out) != 2)
      raise(PyExc_TypeError, "out: expected a pair of float32 arrays, not " + type_name(out));
    Owned pair = checked(PySequence_Tuple(out));
    for (int k = 0; k < 2; ++k) take_out(outputs[k], PyTuple_GET_ITEM(pair.get(), k), length);
    if (overlap(outputs[0].view->buf, outputs[0].view->len, outputs[1].view->buf,
                outputs[1].view->len))
      raise(PyExc_ValueError, "out: the two arrays overlap");
  }
  for (int i = 0; i < used; ++i)
    for (int k = 0; k < kOutputs; ++k) separate(inputs[i], outputs[k]);
}

template <class R>
PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Table = typename R::Table;
  using Sink = SinkFor<typename R::Result, Sample>;
  constexpr int P = R::kParams, M = R::kModulated, kOutputs = R::kResults;
  static constexpr Signature sig{R::class_name, R::callee,           Table::names,
                                 Table::count,  R::Params::required, Table::count - P};
  PyObject* slots[Table::count];
  match_vector(sig, args, nargs, kwnames, slots);
  static constexpr Signature modulation{R::class_name, R::callee, Table::names, P + M, 0};
  const bool modulated = check_modulation(modulation, P, "block", slots);

  using Proc = typename R::Proc;
  Proc* proc = nullptr;
  Stateless nothing;
  std::optional<BorrowFor<R::shared>> borrow;
  if constexpr (R::is_function) {
    proc = &nothing;
  } else {
    auto* instance = reinterpret_cast<Instance<std::remove_const_t<Proc>>*>(self);
    borrow.emplace(instance->borrow);
    proc = &instance->value;
  }

  Input inputs[P + M > 0 ? P + M : 1];
  const int used = P + (modulated ? M : 0);
  for (int i = 0; i < used; ++i) {
    inputs[i].name = Table::names[i];
    if (slots[i] == nullptr) {
      inputs[i].arg.sample = static_cast<Sample>(Table::fallback[i]);
      continue;
    }
    convert(slots[i], R::kinds[i], inputs[i]);
  }
  const Py_ssize_t length = block_length(inputs, used, slots[P + M]);

  Output outputs[kOutputs > 0 ? kOutputs : 1];
  if constexpr (kOutputs > 0)
    take_outputs<kOutputs>(slots[P + M + 1], length, outputs, inputs, used);

  Sink sink{};
  if constexpr (kOutputs == 1) sink = {static_cast<Sample*>(outputs[0].data())};
  if constexpr (kOutputs == 2)
    sink = {static_cast<Sample*>(outputs[0].data()), static_cast<Sample*>(outputs[1].data())};
  Arg values[P + M > 0 ? P + M : 1];
  for (int i = 0; i < used; ++i) values[i] = inputs[i].arg;
  const auto n = static_cast<std::size_t>(length);
  {
    Unlocked unlocked(n >= kUnlockFrom);
    if (modulated) {
      run<typename R::Full, FloatArrays>(*proc, n, sink, values);
    } else if (!run_hoisted_if<typename R::Hoisted, P, FloatArrays>(*proc, n, sink, values)) {
      run<typename R::Plain, FloatArrays>(*proc, n, sink, values);
    }
  }

  if constexpr (kOutputs == 0) {
    Py_RETURN_NONE;
  } else if constexpr (kOutputs == 1) {
    return outputs[0].array.release();
  } else {
    return PyTuple_Pack(2, outputs[0].array.get(), outputs[1].array.get());
  }
}

template <class Rows>
PyObject* dispatch(const char* entry, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 1)
    raise(PyExc_TypeError, "vorda_blocks." + std::string(entry) +
                               "() missing 1 required positional argument: 'obj'");
  PyObject* obj = args[0];
  PyObject* result = nullptr;
  bool found = std::apply(
      [&](auto... rows) {
        return ((Py_TYPE(obj) == decltype(rows)::type &&
                 (result = call<decltype(rows)>(obj, args + 1, nargs - 1, kwnames), true)) ||
                ...);
      },
      Rows{});
  if (!found) {
    static const std::string accepted = accepted_classes<Rows>();
    raise(PyExc_TypeError, "vorda_blocks." + std::string(entry) + "() takes a " + accepted +
                               ", not " + type_name(obj));
  }
  return result;
}

}  // namespace

PyObject* process_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&] { return dispatch<ProcessRows>("process", args, nargs, kwnames); });
}
PyObject* read_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded([&] { return dispatch<ReadRows>("read", args, nargs, kwnames); });
}
PyObject* write_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded([&] { return dispatch<WriteRows>("write", args, nargs, kwnames); });
}
PyObject* pan2_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded([&] { return call<Pan2Row>(nullptr, args, nargs, kwnames); });
}

}  // namespace vorda::blocks
