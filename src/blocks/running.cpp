// Running a patch from Python: compile() and run(). Everything is matched,
// converted and checked before the first sample; then every instance's
// borrow is taken, and the interpreter lock released for the run.
#include <cstring>
#include <deque>
#include <vector>

#include "blocks/arguments.hpp"
#include "blocks/arrays.hpp"
#include "blocks/patch_object.hpp"

namespace vorda::blocks {
namespace {

PyObject* compile_method(PyObject* object, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    ExclusiveBorrow borrow(self->borrow);
    Patch& patch = live_patch(self);
    if (!patch.schedule) compile(patch);
    Py_RETURN_NONE;
  });
}

// run()'s arguments: `n` by position or keyword, every input by name.
struct RunArguments {
  PyObject* n = nullptr;
  std::vector<PyObject*> inputs;  // in the patch's order
};

RunArguments bind_run_arguments(const Patch& patch, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  if (nargs > 1)
    raise(PyExc_TypeError, "Patch.run() takes 1 positional argument (n) but " +
                               std::to_string(nargs) + " were given: give the inputs by name");
  RunArguments bound;
  bound.n = nargs == 1 ? args[0] : nullptr;
  bound.inputs.assign(patch.inputs.size(), nullptr);
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
    if (name == nullptr) throw_error_set();
    if (std::strcmp(name, "n") == 0) {
      if (bound.n != nullptr)
        raise(PyExc_TypeError, "Patch.run() got multiple values for argument 'n'");
      bound.n = args[nargs + k];
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
    bound.inputs[i] = args[nargs + k];
  }
  std::string missing;
  for (std::size_t i = 0; i < bound.inputs.size(); ++i)
    if (bound.inputs[i] == nullptr)
      missing += (missing.empty() ? "" : ", ") + quoted(patch.inputs[i].name);
  if (!missing.empty()) raise(PyExc_TypeError, "Patch.run() missing input " + missing);
  return bound;
}

// The outputs of a run: the only one's array, a tuple of them, or None.
PyObject* results(std::vector<Output>& outputs) {
  if (outputs.empty()) Py_RETURN_NONE;
  if (outputs.size() == 1) return outputs[0].array.release();
  Owned tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(outputs.size())));
  for (std::size_t o = 0; o < outputs.size(); ++o)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(o), outputs[o].array.release());
  return tuple.release();
}

PyObject* run_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    ExclusiveBorrow borrow(self->borrow);
    Patch& patch = live_patch(self);
    const RunArguments bound = bind_run_arguments(patch, args, nargs, kwnames);
    if (!patch.schedule) compile(patch);

    std::vector<Input> inputs(patch.inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      inputs[i].name = patch.inputs[i].name.c_str();
      convert(bound.inputs[i], patch.inputs[i].kind, inputs[i], Width::wide);
    }
    const Py_ssize_t length = block_length(inputs.data(), static_cast<int>(inputs.size()), bound.n);
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
      run.unlocked = &unlocked;
      execute(patch, run);
    }
    // Ctrl-C stopped the run between two chunks: the patch and its
    // instances are where those chunks left them.
    if (PyErr_Occurred()) throw_error_set();
    return results(outputs);
  });
}

const PyMethodDef methods[] = {
    {"compile", &compile_method, METH_NOARGS,
     "compile($self, /)\n--\n\n"
     "Turn the recording into a schedule (the first run does it otherwise).\n"
     "Nothing more can be recorded after it."},
    {"run", fastcall<&run_method>(), kFast,
     "run($self, /, n=None, **inputs)\n--\n\n"
     "Run the patch over n samples: each input by name, a 1-D array or a\n"
     "number. Returns the only output's array, or a tuple of them in the order\n"
     "they were declared (None without outputs). The patch and its instances\n"
     "keep their state: a run continues where the last one stopped."},
};

}  // namespace

std::span<const PyMethodDef> running_methods() {
  return methods;
}

}  // namespace vorda::blocks
