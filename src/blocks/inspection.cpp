// What a patch shows of itself: its recording as steps, its inputs,
// outputs and feedbacks, its schedule once compiled, and the reprs and
// properties of patches, values and feedbacks.
#include "blocks/arrays.hpp"
#include "blocks/patch_object.hpp"
#include "blocks/state.hpp"

namespace vorda::blocks {

PyObject* operand_object(PyObject* patch, const Operand& operand, Kind kind, bool wide) {
  if (operand.is_value()) return new_value(patch, operand.value);
  if (kind == Kind::count)
    return checked(PyLong_FromUnsignedLongLong(operand.constant.count)).release();
  return checked(PyFloat_FromDouble(wide ? operand.constant.wide : operand.constant.sample))
      .release();
}

namespace {

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

// A dict of `items` by their names, each value made by `make`.
template <class Items, class Make>
PyObject* by_name(const Items& items, Make make) {
  Owned dict = checked(PyDict_New());
  for (const auto& item : items) {
    Owned value(make(item));
    if (PyDict_SetItemString(dict.get(), item.name.c_str(), value.get()) < 0) throw_error_set();
  }
  return dict.release();
}

PyObject* steps_getter(PyObject* object, void*) noexcept {
  return reading(object, [&](const Patch& patch) -> PyObject* {
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
  return reading(object, [&](const Patch& patch) -> PyObject* {
    return by_name(patch.inputs,
                   [&](const InputInfo& input) { return new_value(object, input.value); });
  });
}

PyObject* outputs_getter(PyObject* object, void*) noexcept {
  return reading(object, [&](const Patch& patch) -> PyObject* {
    return by_name(patch.outputs, [&](const OutputInfo& output) {
      Owned source(operand_object(object, output.source, Kind::sample, true));
      return checked(Py_BuildValue("(OO)", source.get(), output.wide ? np.float64 : np.float32))
          .release();
    });
  });
}

PyObject* feedbacks_getter(PyObject* object, void*) noexcept {
  return reading(object, [&](const Patch& patch) -> PyObject* {
    std::vector<Owned> items;
    for (const FeedbackInfo& f : patch.feedbacks) items.emplace_back(new_value(object, f.value));
    return tuple_of(items);
  });
}

PyObject* schedule_getter(PyObject* object, void*) noexcept {
  return reading(object, [&](const Patch& patch) -> PyObject* {
    if (!patch.schedule) Py_RETURN_NONE;
    const Schedule& s = *patch.schedule;
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
  return reading(object, [&](const Patch& patch) -> PyObject* { return instances_of(patch); });
}

PyObject* chunk_getter(PyObject* object, void*) noexcept {
  return reading(object, [&](const Patch& patch) -> PyObject* {
    if (!patch.schedule) Py_RETURN_NONE;
    return checked(PyLong_FromSize_t(patch.schedule->chunk)).release();
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

}  // namespace

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

PyGetSetDef value_properties[] = {
    {"patch", &value_patch, nullptr, "The patch the value belongs to.", nullptr},
    {"index", &value_index, nullptr, "The value's number within its patch.", nullptr},
    {"count", &value_count, nullptr, "Whether it is a count input.", nullptr},
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

}  // namespace vorda::blocks
