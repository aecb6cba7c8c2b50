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
#include "blocks/units.hpp"

namespace vorda::blocks {

namespace {

// How many samples a block call runs between two looks at Ctrl-C: a
// millisecond or so of the slowest operation.
constexpr std::size_t kSlice = std::size_t{1} << 16;

// Runs a block call a slice at a time, the lock released for a long one, and
// stops between two slices if a signal handler raised (the instance then in
// the state the slices so far left it).
void run_in_slices(const RowInfo& row, void* proc, std::size_t n, Sample** out, Arg* args, int used,
                   bool modulated) {
  {
    Unlocked unlocked(n >= kUnlockFrom);
    for (std::size_t done = 0; done < n;) {
      const std::size_t length = std::min(kSlice, n - done);
      row.block_call(proc, length, out, args, modulated);
      done += length;
      for (int k = 0; k < row.results; ++k) out[k] += length;
      for (int i = 0; i < used; ++i) advance(args[i], row.kinds[i], length);
      if (unlocked.interrupted()) break;
    }
  }
  if (PyErr_Occurred()) throw_error_set();
}

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
  constexpr int P = R::kParams, M = R::kModulated, kOutputs = R::kResults;
  static constexpr Signature sig{R::class_name, R::callee,           Table::names,
                                 Table::count,  R::Params::required, Table::count - P};
  PyObject* slots[Table::count];
  match_vector(sig, args, nargs, kwnames, slots);
  static constexpr Signature modulation{R::class_name, R::callee, Table::names, P + M, 0};
  const bool modulated = check_modulation(modulation, P, "block", slots);

  void* proc = nullptr;  // the processor in the instance (none for pan2)
  std::optional<BorrowFor<R::shared>> borrow;
  if constexpr (!R::is_function) {
    auto* instance = reinterpret_cast<Instance<std::remove_const_t<typename R::Proc>>*>(self);
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

  Sample* out[2] = {};
  for (int k = 0; k < kOutputs; ++k) out[k] = static_cast<Sample*>(outputs[k].data());
  Arg values[P + M > 0 ? P + M : 1];
  for (int i = 0; i < used; ++i) values[i] = inputs[i].arg;
  const RowInfo& row = all_rows()[row_index<typename R::Operation>];
  run_in_slices(row, proc, static_cast<std::size_t>(length), out, values, used, modulated);

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
