// A block call: vb.process, vb.read, vb.write and vb.pan2. Everything is
// matched, converted and checked before the first sample; then the
// interpreter lock is released for the loop, and the instance's borrow is
// held throughout, so a block and a per-sample call on one instance exclude
// each other exactly as two per-sample calls do.
#include <optional>
#include <string>

#include "blocks/arrays.hpp"
#include "blocks/entries.hpp"

namespace vorda::blocks {

std::optional<Py_ssize_t> length_argument(PyObject* n_slot) {
  if (n_slot == nullptr || n_slot == Py_None) return std::nullopt;
  if (!PyIndex_Check(n_slot))
    raise(PyExc_TypeError, std::string("n must be an integer, not ") + type_name(n_slot));
  Owned index = checked(PyNumber_Index(n_slot));
  Py_ssize_t n = PyLong_AsSsize_t(index.get());
  if (n == -1 && PyErr_Occurred()) throw_error_set();
  if (n < 0)
    raise(PyExc_ValueError, "n is " + std::to_string(n) + ": a block cannot be shorter than 0");
  return n;
}

bool check_modulation(const Signature& sig, int params, const char* where, PyObject* const* slots) {
  const int P = params, M = sig.count - params;
  int given = 0;
  for (int i = P; i < P + M; ++i) given += slots[i] != nullptr;
  if (given == 0 || given == M) return M > 0 && given == M;
  std::string all, missing;
  for (int i = P; i < P + M; ++i) {
    std::string quoted = std::string("'") + sig.names[i] + "'";
    all += (i == P ? "" : i + 1 == P + M ? " and " : ", ") + quoted;
    if (slots[i] == nullptr) missing += (missing.empty() ? "" : ", ") + quoted;
  }
  raise(PyExc_TypeError, std::string(sig.class_name) + "." + sig.callable + "() " + where +
                             " modulates " + all + " together: give all of them or none (missing " +
                             missing + ")");
}

Py_ssize_t block_length(const Input* inputs, int count, PyObject* n_slot) {
  const Input* first = nullptr;
  for (int i = 0; i < count; ++i) {
    if (inputs[i].arg.constant) continue;
    if (first == nullptr) {
      first = &inputs[i];
    } else if (inputs[i].length != first->length) {
      raise(PyExc_ValueError, std::string("arguments '") + first->name + "' and '" +
                                  inputs[i].name +
                                  "' have different lengths: " + std::to_string(first->length) +
                                  " and " + std::to_string(inputs[i].length));
    }
  }
  std::optional<Py_ssize_t> n = length_argument(n_slot);
  if (first == nullptr) {
    if (!n)
      raise(PyExc_TypeError, "n is required when no argument is an array: it is the block length");
    return *n;
  }
  if (n && *n != first->length)
    raise(PyExc_ValueError, "n is " + std::to_string(*n) + " but argument '" + first->name +
                                "' has " + std::to_string(first->length) + " samples");
  return first->length;
}

namespace {

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
  if constexpr (kOutputs > 0) {
    PyObject* out = slots[P + M + 1];
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
