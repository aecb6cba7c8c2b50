// Recording a patch: the methods that add inputs, feedbacks, operations and
// outputs, and the arithmetic on values.
//
// Recording converts every argument when it is recorded, as the per-sample
// call would convert it on every call, so a patch that records cannot fail
// later for an argument. A value has no number until the patch runs:
// float(), comparisons and truth tests refuse it, and a patch has no
// branches.
#include <optional>
#include <string>

#include "blocks/arguments.hpp"
#include "blocks/arrays.hpp"
#include "blocks/patch_object.hpp"
#include "blocks/rows.hpp"

namespace vorda::blocks {

// A number in arithmetic, as a Python float takes part in it: ints,
// floats and numpy's real scalars (by their value as a Python float).
bool arithmetic_number(PyObject* object, double& value) {
  bool real =
      PyFloat_Check(object) || PyLong_Check(object) ||
      (PyObject_TypeCheck(object, np.number) && !PyObject_TypeCheck(object, np.complexfloating)) ||
      PyObject_TypeCheck(object, np.bool_);
  if (!real) return false;
  value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_error_set();
  return true;
}

namespace {

using InputParams = ParamList<req("name"), opt("count", "False")>;
using FeedbackParams = ParamList<opt("initial", "0.0"), opt("name")>;
using OutputParams = ParamList<req("name"), req("value"), opt("dtype", "'float32'")>;
using BinaryParams = ParamList<req("a"), req("b")>;
using UnaryParams = ParamList<req("a")>;
using SetParams = ParamList<req("value")>;

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
          what +
              "a computed value cannot be a count, as a float cannot: give an int, or an input "
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

std::string accepted(std::span<const RowInfo> ops) {
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

template <std::span<const RowInfo> (*Ops)()>
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
  return guarded(
      [&] { return record_op(as_patch(self), "pan2", pan2_row(), nullptr, args, nargs, kwnames); });
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

PyObject* positive(PyObject* a) noexcept {
  return Py_NewRef(a);
}

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

// A name as the patch keeps it. A NUL would cut it short wherever it is
// passed on as a C string (a keyword of run(), a snapshot read back), so it
// is refused rather than recorded as something else.
std::string text_of_name(PyObject* name, const char* what) {
  if (!PyUnicode_Check(name))
    raise(PyExc_TypeError, std::string(what) + " must be a str, not " + type_name(name));
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) throw_error_set();
  std::string kept(text, static_cast<std::size_t>(size));
  if (kept.find('\0') != std::string::npos)
    raise(PyExc_ValueError, std::string(what) + " cannot contain a NUL character");
  return kept;
}

PyObject* input_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&] {
    auto [slots] = parse<InputParams>("Patch", "input", args, nargs, kwnames);
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
    auto [slots] = parse<FeedbackParams>("Patch", "feedback", args, nargs, kwnames);
    PatchObject* self = as_patch(object);
    double initial = 0.0;
    if (slots[0] != nullptr && !arithmetic_number(slots[0], initial))
      raise(PyExc_TypeError,
            "argument 'initial': must be a real number, not " + type_name(slots[0]));
    std::optional<std::string> name;
    if (slots[1] != nullptr && slots[1] != Py_None)
      name = text_of_name(slots[1], "a feedback's name");
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
    using List = std::conditional_t<Op == Arith::tanh, UnaryParams, BinaryParams>;
    auto [slots] = parse<List>("Patch", arith_name(Op), args, nargs, kwnames);
    return record_arith(as_patch(object), Op, slots[0], List::count > 1 ? slots[1] : nullptr);
  });
}

PyObject* output_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    auto [slots] = parse<OutputParams>("Patch", "output", args, nargs, kwnames);
    PatchObject* self = as_patch(object);
    std::string name = text_of_name(slots[0], "an output's name");
    bool wide = false;
    if (slots[2] != nullptr) {
      Owned dtype = checked(PyObject_CallOneArg(np.dtype, slots[2]));
      wide = PyObject_RichCompareBool(dtype.get(), np.float64, Py_EQ) == 1;
      if (!wide && PyObject_RichCompareBool(dtype.get(), np.float32, Py_EQ) != 1)
        raise(PyExc_TypeError, "output " + quoted(name) +
                                   ": dtype must be float32 or float64, not " +
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

PyObject* feedback_set(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    auto [slots] = parse<SetParams>("Feedback", "set", args, nargs, kwnames);
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

template <Name Callee, class List, Name Prose>
constexpr const char* doc = Docstring<Callee, true, List, Prose>::text;

const PyMethodDef methods[] = {
    {"input", fastcall<&input_method>(), kFast,
     doc<"input", InputParams,
         "A value given to run() by `name`, one per sample: an array or a number.\n\n"
         "With count=True it is a count (for `_samp` arguments only), and run()\n"
         "takes an integer array or an int for it.">},
    {"feedback", fastcall<&feedback_method>(), kFast,
     doc<"feedback", FeedbackParams,
         "A one-sample memory: reading it gives what its set() was given on the\n"
         "previous sample (`initial` on the first one).">},
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
     doc<"pan2", ops::Pan2::Params, "Record `vorda.pan2(x, pos)`: returns (left, right).">},
    {"min", fastcall<&arith_method<Arith::min>>(), kFast,
     doc<"min", BinaryParams, "Record Python's `min(a, b)`.">},
    {"max", fastcall<&arith_method<Arith::max>>(), kFast,
     doc<"max", BinaryParams, "Record Python's `max(a, b)`.">},
    {"tanh", fastcall<&arith_method<Arith::tanh>>(), kFast,
     doc<"tanh", UnaryParams, "Record `math.tanh(a)`.">},
    {"output", fastcall<&output_method>(), kFast,
     doc<"output", OutputParams,
         "Make `value` an output of run(), as an array of `dtype` (float32, or\n"
         "float64 to keep the double).">},
};

const PyType_Slot number_slots[] = {
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
    {Py_tp_richcompare, reinterpret_cast<void*>(&no_compare)},
    {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
};

}  // namespace

std::span<const PyMethodDef> recording_methods() {
  return methods;
}
std::span<const PyType_Slot> value_number_slots() {
  return number_slots;
}

PyMethodDef feedback_methods[] = {
    {"set", fastcall<&feedback_set>(), kFast,
     doc<"set", SetParams,
         "What the next sample reads from this feedback: a value or a number.\n"
         "Called exactly once.">},
    {},
};

}  // namespace vorda::blocks
