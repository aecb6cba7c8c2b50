// The Python face of patches: Patch, whose methods record operations and
// run them, and Value (with its subclass Feedback), what the recording
// methods and the arithmetic on values return.
//
// Recording converts every argument when it is recorded, as the per-sample
// call would convert it on every call, so a patch that records cannot fail
// later for an argument. A value has no number until the patch runs:
// float(), comparisons and truth tests refuse it, and a patch has no
// branches.
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "blocks/arrays.hpp"
#include "blocks/entries.hpp"
#include "blocks/patch.hpp"
#include "blocks/state.hpp"

namespace vorda::blocks {
namespace {

struct PatchObject {
  PyObject_HEAD
  Patch* patch;
  BorrowFlag borrow;
};

struct ValueObject {
  PyObject_HEAD
  PyObject* patch;  // the PatchObject
  int index;
};

PyTypeObject* patch_type = nullptr;
PyTypeObject* value_type = nullptr;
PyTypeObject* feedback_type = nullptr;

PatchObject* as_patch(PyObject* object) { return reinterpret_cast<PatchObject*>(object); }
ValueObject* as_value(PyObject* object) { return reinterpret_cast<ValueObject*>(object); }
bool is_value(PyObject* object) { return PyObject_TypeCheck(object, value_type); }

Patch& open_patch(PatchObject* self, const char* what) {
  Patch& patch = *self->patch;
  if (patch.cleared) raise(PyExc_RuntimeError, "the patch has been taken apart by the collector");
  if (patch.schedule)
    raise(PyExc_RuntimeError, std::string("Patch.") + what +
                                  "(): the patch is compiled (it has run): it records nothing more");
  return patch;
}

PyObject* new_value(PyObject* patch, int index) {
  const Patch& p = *as_patch(patch)->patch;
  PyTypeObject* type = p.values[index].feedback >= 0 ? feedback_type : value_type;
  auto* value = PyObject_GC_New(ValueObject, type);
  if (value == nullptr) throw_error_set();
  value->patch = Py_NewRef(patch);
  value->index = index;
  PyObject_GC_Track(value);
  return reinterpret_cast<PyObject*>(value);
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// --- Operands ------------------------------------------------------------------

// A value of this patch, checked for its kind.
int value_operand(PatchObject* self, PyObject* object, Kind kind, const std::string& what) {
  ValueObject* value = as_value(object);
  if (value->patch != reinterpret_cast<PyObject*>(self))
    raise(PyExc_ValueError, what + "the value belongs to another patch");
  Kind has = self->patch->values[value->index].kind;
  if (kind == Kind::sample && has == Kind::count)
    raise(PyExc_TypeError, what +
                               "a count input takes part only as a count (a _samp argument), not "
                               "as a sample or in arithmetic");
  if (kind == Kind::count && has == Kind::sample)
    raise(PyExc_TypeError,
          what + "a computed value cannot be a count, as a float cannot: give an int, or an input "
                 "declared with count=True");
  return value->index;
}

// A processor's argument: a value, or a number converted now as the
// per-sample call converts it.
Operand op_operand(PatchObject* self, PyObject* object, Kind kind, const char* name) {
  Operand operand;
  if (is_value(object)) {
    operand.value = value_operand(self, object, kind, argument(name));
    return operand;
  }
  operand.constant.constant = true;
  if (kind == Kind::sample) {
    operand.constant.sample = FromPython<Sample>::convert(object, name);
    operand.constant.wide = operand.constant.sample;
  } else {
    operand.constant.count = FromPython<std::uint64_t>::convert(object, name);
  }
  return operand;
}

// A number in arithmetic, as a Python float takes part in it: ints,
// floats and numpy's real scalars (by their value as a Python float).
bool arithmetic_number(PyObject* object, double& value) {
  bool real = PyFloat_Check(object) || PyLong_Check(object) ||
              (PyObject_TypeCheck(object, np.number) &&
               !PyObject_TypeCheck(object, np.complexfloating)) ||
              PyObject_TypeCheck(object, np.bool_);
  if (!real) return false;
  value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_error_set();
  return true;
}

Operand wide_operand(PatchObject* self, PyObject* object, const char* name) {
  Operand operand;
  if (is_value(object)) {
    operand.value = value_operand(self, object, Kind::sample, argument(name));
    return operand;
  }
  operand.constant.constant = true;
  if (!arithmetic_number(object, operand.constant.wide))
    raise(PyExc_TypeError,
          argument(name) + "must be a patch value or a real number, not " + type_name(object));
  return operand;
}

// --- Recording -----------------------------------------------------------------

PyObject* results_of(PatchObject* self, const Node& node) {
  PyObject* patch = reinterpret_cast<PyObject*>(self);
  if (node.results.empty()) Py_RETURN_NONE;
  if (node.results.size() == 1) return new_value(patch, node.results[0]);
  Owned first(new_value(patch, node.results[0]));
  Owned second(new_value(patch, node.results[1]));
  return checked(PyTuple_Pack(2, first.get(), second.get())).release();
}

PyObject* record(PatchObject* self, Node node, int results, Kind kind = Kind::sample) {
  Patch& patch = *self->patch;
  const int index = static_cast<int>(patch.nodes.size());
  for (int r = 0; r < results; ++r) {
    int value = patch.new_value(kind);
    patch.values[value].node = index;
    node.results.push_back(value);
  }
  patch.nodes.push_back(std::move(node));
  return results_of(self, patch.nodes.back());
}

std::string accepted(const std::vector<RowInfo>& ops) {
  std::string list;
  for (std::size_t i = 0; i < ops.size(); ++i)
    list += (i == 0 ? "" : i + 1 == ops.size() ? " or " : ", ") + std::string(ops[i].class_name);
  return list;
}

PyObject* record_op(PatchObject* self, const char* entry, const RowInfo& op, PyObject* instance,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ExclusiveBorrow borrow(self->borrow);
  open_patch(self, entry);
  PyObject* slots[kMaxArgs] = {};
  match_vector(op.signature, args, nargs, kwnames, slots);
  Node node;
  node.type = NodeType::op;
  node.row = &op;
  node.modulated = check_modulation(op.signature, op.params, "patch", slots);
  const int used = op.params + (node.modulated ? op.modulated : 0);
  for (int i = 0; i < used; ++i) {
    if (slots[i] == nullptr) {
      Operand fallback;
      fallback.constant.sample = static_cast<Sample>(op.fallback[i]);
      fallback.constant.wide = fallback.constant.sample;
      node.args.push_back(fallback);
    } else {
      node.args.push_back(op_operand(self, slots[i], op.kinds[i], op.signature.names[i]));
    }
  }
  node.instance = Py_XNewRef(instance);
  return record(self, std::move(node), op.results);
}

template <const std::vector<RowInfo>& (*Ops)()>
PyObject* dispatch(PyObject* self, const char* entry, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  if (nargs < 1)
    raise(PyExc_TypeError,
          std::string("Patch.") + entry + "() missing 1 required positional argument: 'obj'");
  for (const RowInfo& op : Ops())
    if (*op.type == Py_TYPE(args[0]))
      return record_op(as_patch(self), entry, op, args[0], args + 1, nargs - 1, kwnames);
  raise(PyExc_TypeError, std::string("Patch.") + entry + "() takes a " + accepted(Ops()) +
                             ", not " + type_name(args[0]));
}

PyObject* process_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded([&] { return dispatch<process_rows>(self, "process", args, nargs, kwnames); });
}
PyObject* read_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded([&] { return dispatch<read_rows>(self, "read", args, nargs, kwnames); });
}
PyObject* write_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&] { return dispatch<write_rows>(self, "write", args, nargs, kwnames); });
}
PyObject* pan2_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded([&] {
    return record_op(as_patch(self), "pan2", pan2_row(), nullptr, args, nargs, kwnames);
  });
}

// Arithmetic, from the number protocol (either side may be the value) or
// from Patch.min, max and tanh.
PyObject* record_arith(PatchObject* self, Arith op, PyObject* a, PyObject* b) {
  ExclusiveBorrow borrow(self->borrow);
  open_patch(self, arith_name(op));
  Node node;
  node.type = NodeType::arith;
  node.arith = op;
  node.args.push_back(wide_operand(self, a, "a"));
  if (b != nullptr) node.args.push_back(wide_operand(self, b, "b"));
  return record(self, std::move(node), 1);
}

template <Arith Op>
PyObject* binary(PyObject* a, PyObject* b) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* value = is_value(a) ? a : b;
    double unused;
    for (PyObject* side : {a, b})
      if (!is_value(side) && !arithmetic_number(side, unused)) Py_RETURN_NOTIMPLEMENTED;
    return record_arith(as_patch(as_value(value)->patch), Op, a, b);
  });
}

template <Arith Op>
PyObject* unary(PyObject* a) noexcept {
  return guarded([&] { return record_arith(as_patch(as_value(a)->patch), Op, a, nullptr); });
}

PyObject* positive(PyObject* a) noexcept { return Py_NewRef(a); }

[[noreturn]] void no_number() {
  raise(PyExc_TypeError,
        "a patch value has no number until the patch runs (a patch has no branches: "
        "use Patch.min, Patch.max or arithmetic instead)");
}
PyObject* no_float(PyObject*) noexcept {
  return guarded([]() -> PyObject* { no_number(); });
}
int no_bool(PyObject*) noexcept {
  return guarded([]() -> int { no_number(); });
}
PyObject* no_compare(PyObject*, PyObject*, int) noexcept {
  return guarded([]() -> PyObject* { no_number(); });
}

// --- Patch methods ----------------------------------------------------------------

template <std::size_t N>
struct Parsed {
  PyObject* slots[N] = {};
};

template <std::size_t N>
Parsed<N> parse(const char* callee, const char* const (&names)[N], int required,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, int keyword_only = 0) {
  Parsed<N> parsed;
  const Signature sig{"Patch", callee, names, static_cast<int>(N), required, keyword_only};
  match_vector(sig, args, nargs, kwnames, parsed.slots);
  return parsed;
}

std::string text_of_name(PyObject* name, const char* what) {
  if (!PyUnicode_Check(name))
    raise(PyExc_TypeError, std::string(what) + " must be a str, not " + type_name(name));
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) throw_error_set();
  return text;
}

PyObject* input_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&] {
    static constexpr const char* names[] = {"name", "count"};
    auto [slots] = parse("input", names, 1, args, nargs, kwnames);
    PatchObject* self = as_patch(object);
    std::string name = text_of_name(slots[0], "an input's name");
    bool count = false;
    if (slots[1] != nullptr) {
      int truth = PyObject_IsTrue(slots[1]);
      if (truth < 0) throw_error_set();
      count = truth == 1;
    }
    ExclusiveBorrow borrow(self->borrow);
    Patch& patch = open_patch(self, "input");
    if (name == "n")
      raise(PyExc_ValueError, "an input cannot be named 'n': run(n=...) is the length of a run");
    for (const InputInfo& input : patch.inputs)
      if (input.name == name) raise(PyExc_ValueError, "the patch has an input " + quoted(name));
    Kind kind = count ? Kind::count : Kind::sample;
    int value = patch.new_value(kind);
    patch.values[value].input = static_cast<int>(patch.inputs.size());
    patch.inputs.push_back({name, kind, value});
    return new_value(object, value);
  });
}

PyObject* feedback_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return guarded([&] {
    static constexpr const char* names[] = {"initial", "name"};
    auto [slots] = parse("feedback", names, 0, args, nargs, kwnames);
    PatchObject* self = as_patch(object);
    double initial = 0.0;
    if (slots[0] != nullptr && !arithmetic_number(slots[0], initial))
      raise(PyExc_TypeError,
            "argument 'initial': must be a real number, not " + type_name(slots[0]));
    std::optional<std::string> name;
    if (slots[1] != nullptr && slots[1] != Py_None) name = text_of_name(slots[1], "a feedback's name");
    ExclusiveBorrow borrow(self->borrow);
    Patch& patch = open_patch(self, "feedback");
    int value = patch.new_value(Kind::sample);
    patch.values[value].feedback = static_cast<int>(patch.feedbacks.size());
    patch.feedbacks.push_back({name, initial, initial, value, -1});
    return new_value(object, value);
  });
}

// Patch.min(a, b), Patch.max(a, b) and Patch.tanh(a).
template <Arith Op>
PyObject* arith_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&] {
    static constexpr const char* names[] = {"a", "b"};
    const Signature sig{"Patch", arith_name(Op), names, arith_arity(Op), arith_arity(Op), 0};
    PyObject* slots[2] = {};
    match_vector(sig, args, nargs, kwnames, slots);
    return record_arith(as_patch(object), Op, slots[0], slots[1]);
  });
}

PyObject* output_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"name", "value", "dtype"};
    auto [slots] = parse("output", names, 2, args, nargs, kwnames);
    PatchObject* self = as_patch(object);
    std::string name = text_of_name(slots[0], "an output's name");
    bool wide = false;
    if (slots[2] != nullptr) {
      Owned dtype = checked(PyObject_CallOneArg(np.dtype, slots[2]));
      wide = PyObject_RichCompareBool(dtype.get(), np.float64, Py_EQ) == 1;
      if (!wide && PyObject_RichCompareBool(dtype.get(), np.float32, Py_EQ) != 1)
        raise(PyExc_TypeError, "output " + quoted(name) + ": dtype must be float32 or float64, not " +
                                   str_of(dtype.get()));
    }
    ExclusiveBorrow borrow(self->borrow);
    Patch& patch = open_patch(self, "output");
    for (const OutputInfo& output : patch.outputs)
      if (output.name == name) raise(PyExc_ValueError, "the patch has an output " + quoted(name));
    Operand source = wide_operand(self, slots[1], "value");
    patch.outputs.push_back({name, source, wide});
    Py_RETURN_NONE;
  });
}

PyObject* compile_method(PyObject* object, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    ExclusiveBorrow borrow(self->borrow);
    if (self->patch->cleared)
      raise(PyExc_RuntimeError, "the patch has been taken apart by the collector");
    if (!self->patch->schedule) compile(*self->patch);
    Py_RETURN_NONE;
  });
}

PyObject* run_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    Patch& patch = *self->patch;
    if (nargs > 1)
      raise(PyExc_TypeError, "Patch.run() takes 1 positional argument (n) but " +
                                 std::to_string(nargs) + " were given: give the inputs by name");
    PyObject* n_slot = nargs == 1 ? args[0] : nullptr;
    ExclusiveBorrow borrow(self->borrow);
    if (patch.cleared) raise(PyExc_RuntimeError, "the patch has been taken apart by the collector");
    std::vector<PyObject*> given(patch.inputs.size(), nullptr);
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const char* name = PyUnicode_AsUTF8(key);
      if (name == nullptr) throw_error_set();
      if (std::strcmp(name, "n") == 0) {
        if (n_slot != nullptr)
          raise(PyExc_TypeError, "Patch.run() got multiple values for argument 'n'");
        n_slot = args[nargs + k];
        continue;
      }
      std::size_t i = 0;
      while (i < patch.inputs.size() && patch.inputs[i].name != name) ++i;
      if (i == patch.inputs.size()) {
        std::string known;
        for (const InputInfo& input : patch.inputs)
          known += (known.empty() ? "" : ", ") + quoted(input.name);
        raise(PyExc_TypeError, "Patch.run() got an unexpected input " + quoted(name) +
                                   (known.empty() ? " (the patch has no inputs)"
                                                  : " (the patch's inputs: " + known + ")"));
      }
      given[i] = args[nargs + k];
    }
    std::string missing;
    for (std::size_t i = 0; i < given.size(); ++i)
      if (given[i] == nullptr) missing += (missing.empty() ? "" : ", ") + quoted(patch.inputs[i].name);
    if (!missing.empty()) raise(PyExc_TypeError, "Patch.run() missing input " + missing);
    if (!patch.schedule) compile(patch);

    std::vector<Input> inputs(patch.inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      inputs[i].name = patch.inputs[i].name.c_str();
      convert(given[i], patch.inputs[i].kind, inputs[i], Width::wide);
    }
    const Py_ssize_t length =
        block_length(inputs.data(), static_cast<int>(inputs.size()), n_slot);
    std::vector<Output> outputs(patch.outputs.size());
    RunData run;
    run.n = static_cast<std::size_t>(length);
    for (std::size_t o = 0; o < outputs.size(); ++o) {
      new_out(outputs[o], length, patch.outputs[o].wide ? np.float64 : np.float32);
      run.outputs.push_back(outputs[o].data());
    }
    for (const Input& input : inputs) {
      run.inputs.push_back(input.arg);
      run.float32.push_back(!input.arg.constant && input.itemsize == sizeof(float));
    }

    std::deque<ExclusiveBorrow> held;
    for (BorrowFlag* flag : patch.schedule->borrows) held.emplace_back(*flag);
    {
      Unlocked unlocked(run.n >= kUnlockFrom);
      execute(patch, run);
    }
    if (outputs.empty()) Py_RETURN_NONE;
    if (outputs.size() == 1) return outputs[0].array.release();
    Owned tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(outputs.size())));
    for (std::size_t o = 0; o < outputs.size(); ++o)
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(o), outputs[o].array.release());
    return tuple.release();
  });
}

// --- Looking at a patch ---------------------------------------------------------

PyObject* operand_object(PyObject* patch, const Operand& operand, Kind kind, bool wide) {
  if (operand.is_value()) return new_value(patch, operand.value);
  if (kind == Kind::count) return checked(PyLong_FromUnsignedLongLong(operand.constant.count)).release();
  return checked(PyFloat_FromDouble(wide ? operand.constant.wide : operand.constant.sample)).release();
}

PyObject* tuple_of(std::vector<Owned>& items) {
  Owned tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
  return tuple.release();
}

PyObject* step_object(const char* name, PyObject* target, std::vector<Owned> args,
                      std::vector<Owned> results) {
  Owned arguments(tuple_of(args)), outcome(tuple_of(results));
  return checked(Py_BuildValue("(sOOO)", name, target ? target : Py_None, arguments.get(),
                               outcome.get()))
      .release();
}

PyObject* steps_getter(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    SharedBorrow borrow(self->borrow);
    const Patch& patch = *self->patch;
    Owned list = checked(PyList_New(0));
    auto append = [&](PyObject* step) {
      Owned held(step);
      if (PyList_Append(list.get(), step) < 0) throw_error_set();
    };
    for (const Node& node : patch.nodes) {
      std::vector<Owned> results;
      for (int r : node.results) results.emplace_back(new_value(object, r));
      if (node.type == NodeType::op) {
        if (node.modulated) {
          std::vector<Owned> extra;
          for (int i = node.row->params; i < node.row->params + node.row->modulated; ++i)
            extra.emplace_back(operand_object(object, node.args[i], node.row->kinds[i], false));
          append(step_object(node.row->modulation, node.instance, std::move(extra), {}));
        }
        std::vector<Owned> args;
        for (int i = 0; i < node.row->params; ++i)
          args.emplace_back(operand_object(object, node.args[i], node.row->kinds[i], false));
        append(step_object(node.row->callee, node.instance, std::move(args), std::move(results)));
        continue;
      }
      std::vector<Owned> args;
      for (const Operand& arg : node.args)
        args.emplace_back(operand_object(object, arg, Kind::sample, true));
      if (node.type == NodeType::arith) {
        append(step_object(arith_name(node.arith), nullptr, std::move(args), std::move(results)));
      } else {
        Owned target(new_value(object, patch.feedbacks[node.feedback].value));
        append(step_object("set", target.get(), std::move(args), {}));
      }
    }
    return PyList_AsTuple(list.get());
  });
}

PyObject* inputs_getter(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    SharedBorrow borrow(self->borrow);
    Owned dict = checked(PyDict_New());
    for (const InputInfo& input : self->patch->inputs) {
      Owned value(new_value(object, input.value));
      if (PyDict_SetItemString(dict.get(), input.name.c_str(), value.get()) < 0) throw_error_set();
    }
    return dict.release();
  });
}

PyObject* outputs_getter(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    SharedBorrow borrow(self->borrow);
    Owned dict = checked(PyDict_New());
    for (const OutputInfo& output : self->patch->outputs) {
      Owned source(operand_object(object, output.source, Kind::sample, true));
      Owned pair = checked(
          Py_BuildValue("(OO)", source.get(), output.wide ? np.float64 : np.float32));
      if (PyDict_SetItemString(dict.get(), output.name.c_str(), pair.get()) < 0) throw_error_set();
    }
    return dict.release();
  });
}

PyObject* feedbacks_getter(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    SharedBorrow borrow(self->borrow);
    std::vector<Owned> items;
    for (const FeedbackInfo& f : self->patch->feedbacks) items.emplace_back(new_value(object, f.value));
    return tuple_of(items);
  });
}

PyObject* schedule_getter(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    SharedBorrow borrow(self->borrow);
    if (!self->patch->schedule) Py_RETURN_NONE;
    const Schedule& s = *self->patch->schedule;
    std::vector<Owned> items;
    for (const Schedule::Stage& item : s.stages) {
      std::vector<Owned> labels;
      for (int u : item.units)
        labels.emplace_back(checked(PyUnicode_FromString(s.labels[u].c_str())));
      if (item.per_sample || item.lanes != nullptr) {
        Owned group(tuple_of(labels));
        items.emplace_back(checked(
            Py_BuildValue("(sO)", item.lanes ? "side by side" : "per sample", group.get())));
      } else {
        items.emplace_back(checked(Py_BuildValue("(sO)", "block", labels[0].get())));
      }
    }
    return tuple_of(items);
  });
}

PyObject* instances_getter(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    SharedBorrow borrow(self->borrow);
    return instances_of(*self->patch);
  });
}

// --- Pickle and copy ----------------------------------------------------------------
//
// A patch pickles as its class, made without __init__, and a state: its
// snapshot without its instances, the instances themselves (so that pickle
// keeps an instance shared with other objects shared), and its __dict__.

PyObject* dict_of(PyObject* object) {
  PyObject** slot = _PyObject_GetDictPtr(object);
  if (slot == nullptr || *slot == nullptr) Py_RETURN_NONE;
  return Py_NewRef(*slot);
}

PyObject* reduce_method(PyObject* object, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    Owned data(snapshot_patch(object, false));
    Owned instances;
    {
      SharedBorrow borrow(self->borrow);
      instances = Owned(instances_of(*self->patch));
    }
    Owned dict(dict_of(object));
    Owned copyreg = checked(PyImport_ImportModule("copyreg"));
    Owned make = checked(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
    return checked(Py_BuildValue("(O(O)(OOO))", make.get(), reinterpret_cast<PyObject*>(Py_TYPE(object)),
                                 data.get(), instances.get(), dict.get()))
        .release();
  });
}

void adopt(PyObject* object, std::unique_ptr<Patch> patch, PyObject* dict) {
  PatchObject* self = as_patch(object);
  ExclusiveBorrow borrow(self->borrow);
  const Patch& old = *self->patch;
  if (!old.nodes.empty() || !old.inputs.empty() || !old.feedbacks.empty() || !old.outputs.empty())
    raise(PyExc_RuntimeError, "a patch that has recorded cannot take another's state");
  delete self->patch;
  self->patch = patch.release();
  if (dict != nullptr && dict != Py_None) {
    Owned own = checked(PyObject_GetAttrString(object, "__dict__"));
    if (PyDict_Update(own.get(), dict) < 0) throw_error_set();
  }
}

PyObject* setstate_method(PyObject* object, PyObject* state) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject *data, *instances, *dict;
    if (!PyTuple_Check(state) || !PyArg_ParseTuple(state, "OOO", &data, &instances, &dict))
      raise(PyExc_TypeError, "a patch's state is (snapshot, instances, __dict__)");
    adopt(object, restore_patch(data, instances), dict);
    Py_RETURN_NONE;
  });
}

// A copy is a patch of its own over copies of the instances, as copy.copy
// of an instance is an independent twin; deepcopy goes through __reduce__
// and keeps instances shared with whatever else it copies.
PyObject* copy_method(PyObject* object, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    PyTypeObject* type = Py_TYPE(object);
    Owned empty = checked(PyTuple_New(0));
    Owned copy = checked(type->tp_new(type, empty.get(), nullptr));
    Owned data(snapshot_patch(object, true));
    Owned dict(dict_of(object));
    Owned shallow;
    if (dict.get() != Py_None) shallow = checked(PyDict_Copy(dict.get()));
    adopt(copy.get(), restore_patch(data.get(), nullptr), shallow ? shallow.get() : nullptr);
    return copy.release();
  });
}

PyObject* chunk_getter(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    SharedBorrow borrow(self->borrow);
    if (!self->patch->schedule) Py_RETURN_NONE;
    return checked(PyLong_FromSize_t(self->patch->schedule->chunk)).release();
  });
}

PyObject* patch_repr(PyObject* object) noexcept {
  return guarded([&]() -> PyObject* {
    const Patch& patch = *as_patch(object)->patch;
    std::string text = "<vorda_blocks.Patch: " + std::to_string(patch.nodes.size()) + " operations";
    auto list = [&](const char* what, auto const& items) {
      std::string names;
      for (const auto& item : items) names += (names.empty() ? "" : ", ") + quoted(item.name);
      if (!names.empty()) text += std::string(", ") + what + " " + names;
    };
    list("inputs", patch.inputs);
    list("outputs", patch.outputs);
    text += patch.schedule ? ", compiled>" : ">";
    return checked(PyUnicode_FromString(text.c_str())).release();
  });
}

// --- Patch type --------------------------------------------------------------------

PyObject* patch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (type == patch_type &&
        ((args != nullptr && PyTuple_GET_SIZE(args) > 0) || (kwargs && PyDict_GET_SIZE(kwargs) > 0)))
      raise(PyExc_TypeError, "Patch() takes no arguments");
    auto patch = std::make_unique<Patch>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw_error_set();
    as_patch(self)->patch = patch.release();
    new (&as_patch(self)->borrow) BorrowFlag(0);
    return self;
  });
}

int patch_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  if (Patch* patch = as_patch(object)->patch)
    for (const Node& node : patch->nodes) Py_VISIT(node.instance);
  return 0;
}

int patch_clear(PyObject* object) {
  if (Patch* patch = as_patch(object)->patch) {
    patch->clear_instances();
    patch->cleared = true;
  }
  return 0;
}

void patch_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  delete as_patch(object)->patch;
  as_patch(object)->patch = nullptr;
  type->tp_free(object);
  Py_DECREF(type);
}

template <auto Entry>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef patch_methods[] = {
    {"input", fastcall<&input_method>(), kFast,
     "input($self, /, name, count=False)\n--\n\n"
     "A value given to run() by `name`, one per sample: an array or a number.\n\n"
     "With count=True it is a count (for `_samp` arguments only), and run()\n"
     "takes an integer array or an int for it."},
    {"feedback", fastcall<&feedback_method>(), kFast,
     "feedback($self, /, initial=0.0, name=None)\n--\n\n"
     "A one-sample memory: reading it gives what its set() was given on the\n"
     "previous sample (`initial` on the first one)."},
    {"process", fastcall<&process_method>(), kFast,
     "process($self, obj, /, *args, **kwargs)\n--\n\n"
     "Record `obj.process(*args, **kwargs)`: the arguments are patch values or\n"
     "numbers; returns the value (a pair for `Lfo`). `Biquad` also takes `b0`\n"
     "to `a2` and `LeakDc` `coef`, set before each sample as a block does."},
    {"read", fastcall<&read_method>(), kFast,
     "read($self, obj, /, *args, **kwargs)\n--\n\nRecord `obj.read(delay)` of a ring buffer."},
    {"write", fastcall<&write_method>(), kFast,
     "write($self, obj, /, *args, **kwargs)\n--\n\nRecord `obj.write(xn)` of a ring buffer."},
    {"pan2", fastcall<&pan2_method>(), kFast,
     "pan2($self, /, x, pos=0.0)\n--\n\nRecord `vorda.pan2(x, pos)`: returns (left, right)."},
    {"min", fastcall<&arith_method<Arith::min>>(), kFast,
     "min($self, /, a, b)\n--\n\nRecord Python's `min(a, b)`."},
    {"max", fastcall<&arith_method<Arith::max>>(), kFast,
     "max($self, /, a, b)\n--\n\nRecord Python's `max(a, b)`."},
    {"tanh", fastcall<&arith_method<Arith::tanh>>(), kFast,
     "tanh($self, /, a)\n--\n\nRecord `math.tanh(a)`."},
    {"output", fastcall<&output_method>(), kFast,
     "output($self, /, name, value, dtype=numpy.float32)\n--\n\n"
     "Make `value` an output of run(), as an array of `dtype` (float32, or\n"
     "float64 to keep the double)."},
    {"compile", &compile_method, METH_NOARGS,
     "compile($self, /)\n--\n\n"
     "Turn the recording into a schedule (the first run does it otherwise).\n"
     "Nothing more can be recorded after it."},
    {"__reduce__", &reduce_method, METH_NOARGS, nullptr},
    {"__setstate__", &setstate_method, METH_O, nullptr},
    {"__copy__", &copy_method, METH_NOARGS, nullptr},
    {"run", fastcall<&run_method>(), kFast,
     "run($self, /, n=None, **inputs)\n--\n\n"
     "Run the patch over n samples: each input by name, a 1-D array or a\n"
     "number. Returns the only output's array, or a tuple of them in the order\n"
     "they were declared (None without outputs). The patch and its instances\n"
     "keep their state: a run continues where the last one stopped."},
    {},
};

PyGetSetDef patch_properties[] = {
    {"steps", &steps_getter, nullptr,
     "The recording as the per-sample loop performs it: tuples (name, target,\n"
     "args, results), one per call, in order. `name` is a method of `target`\n"
     "(or the property `coef`, assigned), 'pan2', 'set' (target: the feedback)\n"
     "or an arithmetic operation ('+', '-', '*', '/', 'neg', 'abs', 'min',\n"
     "'max', 'tanh'); args are values or numbers.",
     nullptr},
    {"inputs", &inputs_getter, nullptr, "The inputs by name.", nullptr},
    {"outputs", &outputs_getter, nullptr, "The outputs by name: (value, dtype).", nullptr},
    {"feedbacks", &feedbacks_getter, nullptr, "The feedbacks, in order of creation.", nullptr},
    {"schedule", &schedule_getter, nullptr,
     "Once compiled, how a chunk runs: ('block', operation) for an operation\n"
     "run over the whole chunk, ('side by side', operations) for independent\n"
     "operations of one kind run over it together, ('per sample', operations)\n"
     "for operations that take turns sample by sample; None before.",
     nullptr},
    {"chunk", &chunk_getter, nullptr, "Once compiled, the chunk length in samples.", nullptr},
    {"instances", &instances_getter, nullptr,
     "The instances the patch uses, each once, in order of first use.", nullptr},
    {},
};

// --- Values --------------------------------------------------------------------------

const Patch& patch_of(PyObject* value) { return *as_patch(as_value(value)->patch)->patch; }

PyObject* value_repr(PyObject* object) noexcept {
  return guarded([&]() -> PyObject* {
    const Patch& patch = patch_of(object);
    const ValueInfo& info = patch.values[as_value(object)->index];
    std::string what;
    if (info.input >= 0)
      what = std::string(info.kind == Kind::count ? "count input " : "input ") +
             quoted(patch.inputs[info.input].name);
    else if (info.feedback >= 0)
      what = "feedback " + (patch.feedbacks[info.feedback].name
                                ? quoted(*patch.feedbacks[info.feedback].name)
                                : std::to_string(info.feedback));
    else
      what = patch.label(info.node);
    std::string text = "<vorda_blocks." + std::string(_PyType_Name(Py_TYPE(object))) + " " +
                       std::to_string(as_value(object)->index) + ": " + what + ">";
    return checked(PyUnicode_FromString(text.c_str())).release();
  });
}

PyObject* value_patch(PyObject* object, void*) noexcept {
  return Py_NewRef(as_value(object)->patch);
}
PyObject* value_index(PyObject* object, void*) noexcept {
  return PyLong_FromLong(as_value(object)->index);
}
PyObject* value_count(PyObject* object, void*) noexcept {
  return PyBool_FromLong(patch_of(object).values[as_value(object)->index].kind == Kind::count);
}

int value_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(as_value(object)->patch);
  return 0;
}
int value_clear(PyObject* object) {
  Py_CLEAR(as_value(object)->patch);
  return 0;
}
void value_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  value_clear(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyGetSetDef value_properties[] = {
    {"patch", &value_patch, nullptr, "The patch the value belongs to.", nullptr},
    {"index", &value_index, nullptr, "The value's number within its patch.", nullptr},
    {"count", &value_count, nullptr, "Whether it is a count input.", nullptr},
    {},
};

// --- Feedback ------------------------------------------------------------------------

FeedbackInfo& feedback_of(PyObject* object) {
  Patch& patch = *as_patch(as_value(object)->patch)->patch;
  return patch.feedbacks[patch.values[as_value(object)->index].feedback];
}

PyObject* feedback_set(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"value"};
    const Signature sig{"Feedback", "set", names, 1, 1, 0};
    PyObject* slots[1] = {};
    match_vector(sig, args, nargs, kwnames, slots);
    PatchObject* self = as_patch(as_value(object)->patch);
    ExclusiveBorrow borrow(self->borrow);
    Patch& patch = open_patch(self, "set");
    const int index = patch.values[as_value(object)->index].feedback;
    FeedbackInfo& feedback = patch.feedbacks[index];
    if (feedback.setter >= 0)
      raise(PyExc_RuntimeError, "the feedback is set already: a feedback is set exactly once");
    Node node;
    node.type = NodeType::set;
    node.feedback = index;
    node.args.push_back(wide_operand(self, slots[0], "value"));
    feedback.setter = static_cast<int>(patch.nodes.size());
    patch.nodes.push_back(std::move(node));
    Py_RETURN_NONE;
  });
}

PyObject* feedback_name(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const FeedbackInfo& f = feedback_of(object);
    if (!f.name) Py_RETURN_NONE;
    return checked(PyUnicode_FromString(f.name->c_str())).release();
  });
}
PyObject* feedback_initial(PyObject* object, void*) noexcept {
  return PyFloat_FromDouble(feedback_of(object).initial);
}
PyObject* feedback_value(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    SharedBorrow borrow(as_patch(as_value(object)->patch)->borrow);
    return checked(PyFloat_FromDouble(feedback_of(object).current)).release();
  });
}
int feedback_assign(PyObject* object, PyObject* value, void*) noexcept {
  return guarded([&]() -> int {
    if (value == nullptr) cannot_delete_attribute();
    double number;
    if (!arithmetic_number(value, number))
      raise(PyExc_TypeError, "a feedback's value must be a real number, not " + type_name(value));
    ExclusiveBorrow borrow(as_patch(as_value(object)->patch)->borrow);
    feedback_of(object).current = number;
    return 0;
  });
}
PyObject* feedback_source(PyObject* object, void*) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* patch_object = as_value(object)->patch;
    SharedBorrow borrow(as_patch(patch_object)->borrow);
    const FeedbackInfo& f = feedback_of(object);
    if (f.setter < 0) Py_RETURN_NONE;
    const Patch& patch = *as_patch(patch_object)->patch;
    return operand_object(patch_object, patch.nodes[f.setter].args[0], Kind::sample, true);
  });
}

PyMethodDef feedback_methods[] = {
    {"set", fastcall<&feedback_set>(), kFast,
     "set($self, /, value)\n--\n\n"
     "What the next sample reads from this feedback: a value or a number.\n"
     "Called exactly once."},
    {},
};

PyGetSetDef feedback_properties[] = {
    {"name", &feedback_name, nullptr, "The name given, or None.", nullptr},
    {"initial", &feedback_initial, nullptr, "What the first sample read.", nullptr},
    {"value", &feedback_value, &feedback_assign,
     "What the next sample reads: `initial` until the patch runs, then what\n"
     "the last sample set. It can be assigned (to start a loop afresh).",
     nullptr},
    {"source", &feedback_source, nullptr, "What set() was given, or None.", nullptr},
    {},
};

}  // namespace

bool is_patch(PyObject* object) { return PyObject_TypeCheck(object, patch_type); }
Patch& patch_in(PyObject* object) { return *as_patch(object)->patch; }
BorrowFlag& patch_borrow(PyObject* object) { return as_patch(object)->borrow; }
PyTypeObject* patch_type_object() { return patch_type; }

PyObject* new_patch_object(PyTypeObject* type, std::unique_ptr<Patch> patch) {
  Owned empty = checked(PyTuple_New(0));
  Owned object = checked(type->tp_new(type, empty.get(), nullptr));
  delete as_patch(object.get())->patch;
  as_patch(object.get())->patch = patch.release();
  return object.release();
}

void create_patch_types(PyObject* module) {
  PyType_Slot patch_slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "Patch()\n--\n\n"
                      "A network of vorda processors with feedback between them, recorded\n"
                      "once and run per sample in C++.\n\n"
                      "Record with input(), feedback(), process(), read(), write(),\n"
                      "pan2(), arithmetic on the values they return, and output(); then\n"
                      "run(). Each sample performs the recorded operations in order,\n"
                      "bit for bit as the Python loop making the same calls would, with\n"
                      "Python floats between them.")},
      {Py_tp_new, reinterpret_cast<void*>(&patch_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&patch_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(&patch_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(&patch_clear)},
      {Py_tp_methods, patch_methods},
      {Py_tp_getset, patch_properties},
      {Py_tp_repr, reinterpret_cast<void*>(&patch_repr)},
      {0, nullptr},
  };
  PyType_Spec patch_spec{"vorda_blocks.Patch", sizeof(PatchObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                         patch_slots};
  patch_type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&patch_spec)).release());

  PyType_Slot value_slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "A value of a patch: an input, a feedback, or what an operation or\n"
                      "arithmetic gives on each sample. It has no number until the patch\n"
                      "runs; arithmetic on it records arithmetic.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(&value_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(&value_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(&value_clear)},
      {Py_tp_repr, reinterpret_cast<void*>(&value_repr)},
      {Py_tp_getset, value_properties},
      {Py_tp_richcompare, reinterpret_cast<void*>(&no_compare)},
      {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
      {Py_nb_add, reinterpret_cast<void*>(&binary<Arith::add>)},
      {Py_nb_subtract, reinterpret_cast<void*>(&binary<Arith::sub>)},
      {Py_nb_multiply, reinterpret_cast<void*>(&binary<Arith::mul>)},
      {Py_nb_true_divide, reinterpret_cast<void*>(&binary<Arith::div>)},
      {Py_nb_negative, reinterpret_cast<void*>(&unary<Arith::neg>)},
      {Py_nb_absolute, reinterpret_cast<void*>(&unary<Arith::abs>)},
      {Py_nb_positive, reinterpret_cast<void*>(&positive)},
      {Py_nb_float, reinterpret_cast<void*>(&no_float)},
      {Py_nb_int, reinterpret_cast<void*>(&no_float)},
      {Py_nb_bool, reinterpret_cast<void*>(&no_bool)},
      {0, nullptr},
  };
  PyType_Spec value_spec{"vorda_blocks.Value", sizeof(ValueObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         value_slots};
  value_type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&value_spec)).release());
  // numpy scalars and arrays leave arithmetic with a value to the value
  // (np.float32(0.5) * v records a product instead of making an object array).
  if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(value_type), "__array_ufunc__",
                             Py_None) < 0)
    throw_error_set();

  PyType_Slot feedback_slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "A patch's one-sample memory (Patch.feedback): a value that reads what\n"
                      "set() was given on the previous sample.")},
      {Py_tp_methods, feedback_methods},
      {Py_tp_getset, feedback_properties},
      {Py_tp_dealloc, reinterpret_cast<void*>(&value_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(&value_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(&value_clear)},
      {0, nullptr},
  };
  PyType_Spec feedback_spec{"vorda_blocks.Feedback", sizeof(ValueObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            feedback_slots};
  Owned bases = checked(PyTuple_Pack(1, value_type));
  feedback_type = reinterpret_cast<PyTypeObject*>(
      checked(PyType_FromSpecWithBases(&feedback_spec, bases.get())).release());

  for (PyTypeObject* type : {patch_type, value_type, feedback_type})
    if (PyModule_AddObjectRef(module, _PyType_Name(type), reinterpret_cast<PyObject*>(type)) < 0)
      throw_error_set();
}

}  // namespace vorda::blocks
