// PyInit_vorda: the module object, its owner interpreter and the registration
// of every class and function, in the order users see in `__all__`.
#include "delay.hpp"
#include "frame.hpp"
#include "iir_filter.hpp"
#include "leak_dc.hpp"
#include "lfo.hpp"
#include "osc.hpp"
#include "ring_buffer.hpp"

namespace vorda {

// Instantiated next to each class's table.
extern template PyTypeObject* type_object<SinOsc>();
extern template PyTypeObject* type_object<WhiteNoise>();
extern template PyTypeObject* type_object<Lfo>();
extern template PyTypeObject* type_object<Biquad>();
extern template PyTypeObject* type_object<LeakDc>();
extern template PyTypeObject* type_object<DelayS>();
extern template PyTypeObject* type_object<DelayN>();
extern template PyTypeObject* type_object<DelayL>();
extern template PyTypeObject* type_object<CombS>();
extern template PyTypeObject* type_object<CombN>();
extern template PyTypeObject* type_object<CombL>();
extern template PyTypeObject* type_object<AllpassS>();
extern template PyTypeObject* type_object<AllpassN>();
extern template PyTypeObject* type_object<AllpassL>();
extern template PyTypeObject* type_object<RingBufferS>();
extern template PyTypeObject* type_object<RingBufferN>();
extern template PyTypeObject* type_object<RingBufferL>();
extern PyMethodDef pan2_function;

namespace {

// One row per public name, in registration order: a class, or the function.
struct Export {
  PyTypeObject* (*type)();
  PyMethodDef* function;
};

const Export exports[] = {
    {&type_object<SinOsc>, nullptr},
    {&type_object<WhiteNoise>, nullptr},
    {&type_object<Lfo>, nullptr},
    {&type_object<Biquad>, nullptr},
    {&type_object<LeakDc>, nullptr},
    {&type_object<DelayS>, nullptr},
    {&type_object<DelayN>, nullptr},
    {&type_object<DelayL>, nullptr},
    {&type_object<CombS>, nullptr},
    {&type_object<CombN>, nullptr},
    {&type_object<CombL>, nullptr},
    {&type_object<AllpassS>, nullptr},
    {&type_object<AllpassN>, nullptr},
    {&type_object<AllpassL>, nullptr},
    {nullptr, &pan2_function},
    {&type_object<RingBufferS>, nullptr},
    {&type_object<RingBufferN>, nullptr},
    {&type_object<RingBufferL>, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorda",
    "",  // an empty docstring, so vorda.__doc__ is '' rather than None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module belongs to the first interpreter that imports it; its type
// objects are process-wide and cannot be shared with another interpreter.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* cached_module = nullptr;
GilOnce module_once;

void add_to_all(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) throw_error_set();
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      throw_error_set();
    }
  } else if (!PyList_Check(all)) {
    // The module still holds `all`, so it outlives the message.
    Py_DECREF(all);
    cast_error(all, "list");
  }
  int appended = PyList_Append(all, name);
  Py_DECREF(all);
  if (appended < 0) {
    PyErr_Print();
    panic("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name, value) < 0) throw_error_set();
}

void add_named(PyObject* module, PyObject* value) {
  PyObject* name = PyObject_GetAttrString(value, "__name__");
  if (name == nullptr) throw_error_set();
  try {
    add_to_all(module, name, value);
  } catch (...) {
    Py_DECREF(name);
    throw;
  }
  Py_DECREF(name);
}

void register_exports(PyObject* module) {
  for (const Export& row : exports) {
    if (row.type != nullptr) {
      add_named(module, reinterpret_cast<PyObject*>(row.type()));
      continue;
    }
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) throw_error_set();
    PyObject* function = PyCFunction_NewEx(row.function, module, module_name);
    Py_DECREF(module_name);
    if (function == nullptr) throw_error_set();
    try {
      add_named(module, function);
    } catch (...) {
      Py_DECREF(function);
      throw;
    }
    Py_DECREF(function);
  }
}

PyObject* import_module() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) fail_with_pending_error();
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vorda does not support subinterpreters yet: it can only be imported in the "
                    "interpreter that imported it first");
    throw_error_set();
  }
  module_once.call([] {
    PyObject* module = PyModule_Create2(&module_def, 1013);
    if (module == nullptr) throw_error_set();
    try {
      register_exports(module);
    } catch (...) {
      Py_DECREF(module);
      throw;
    }
    cached_module = module;
  });
  return Py_NewRef(cached_module);
}

}  // namespace
}  // namespace vorda

PyMODINIT_FUNC PyInit_vorda(void) {
  return vorda::guarded([] { return vorda::import_module(); });
}
