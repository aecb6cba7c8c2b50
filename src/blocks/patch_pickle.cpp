// Pickle and copy of patches, built on snapshots (state.cpp).
//
// A patch pickles as its class, made without __init__, and a state: its
// snapshot without its instances, the instances themselves (so that pickle
// keeps an instance shared with other objects shared), and its __dict__.
#include <memory>

#include "blocks/patch_object.hpp"
#include "blocks/state.hpp"

namespace vorda::blocks {
namespace {

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
    return checked(Py_BuildValue("(O(O)(OOO))", make.get(),
                                 reinterpret_cast<PyObject*>(Py_TYPE(object)), data.get(),
                                 instances.get(), dict.get()))
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

const PyMethodDef methods[] = {
    {"__reduce__", &reduce_method, METH_NOARGS, nullptr},
    {"__setstate__", &setstate_method, METH_O, nullptr},
    {"__copy__", &copy_method, METH_NOARGS, nullptr},
};

}  // namespace

std::span<const PyMethodDef> pickle_methods() {
  return methods;
}

}  // namespace vorda::blocks
