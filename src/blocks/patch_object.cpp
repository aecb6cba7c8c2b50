// The Patch, Value and Feedback types: their objects' lives, and the
// methods and properties the other files give them, put together.
#include "blocks/patch_object.hpp"

#include <memory>
#include <vector>

#include "blocks/entries.hpp"
#include "blocks/state.hpp"

namespace vorda::blocks {
namespace {

PyTypeObject* patch_type = nullptr;
PyTypeObject* value_type = nullptr;
PyTypeObject* feedback_type = nullptr;

PyObject* patch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (type == patch_type && ((args != nullptr && PyTuple_GET_SIZE(args) > 0) ||
                               (kwargs && PyDict_GET_SIZE(kwargs) > 0)))
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

}  // namespace

bool is_value(PyObject* object) {
  return PyObject_TypeCheck(object, value_type);
}

Patch& live_patch(PatchObject* self) {
  Patch& patch = *self->patch;
  if (patch.cleared) raise(PyExc_RuntimeError, "the patch has been taken apart by the collector");
  return patch;
}

Patch& open_patch(PatchObject* self, const char* what) {
  Patch& patch = live_patch(self);
  if (patch.schedule)
    raise(PyExc_RuntimeError,
          std::string("Patch.") + what +
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

FeedbackInfo& feedback_of(PyObject* object) {
  Patch& patch = *as_patch(as_value(object)->patch)->patch;
  return patch.feedbacks[patch.values[as_value(object)->index].feedback];
}

bool is_patch(PyObject* object) {
  return PyObject_TypeCheck(object, patch_type);
}
Patch& patch_in(PyObject* object) {
  return *as_patch(object)->patch;
}
BorrowFlag& patch_borrow(PyObject* object) {
  return as_patch(object)->borrow;
}
PyTypeObject* patch_type_object() {
  return patch_type;
}

PyObject* new_patch_object(PyTypeObject* type, std::unique_ptr<Patch> patch) {
  Owned empty = checked(PyTuple_New(0));
  Owned object = checked(type->tp_new(type, empty.get(), nullptr));
  delete as_patch(object.get())->patch;
  as_patch(object.get())->patch = patch.release();
  return object.release();
}

namespace {

// The methods the other files give Patch, in one table ending as Python
// expects; made once and kept, as the type keeps pointing at it.
PyMethodDef* patch_methods() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> all;
    for (auto part : {recording_methods(), running_methods(), pickle_methods()})
      all.insert(all.end(), part.begin(), part.end());
    all.push_back({});
    return all;
  }();
  return table.data();
}

PyTypeObject* new_type(PyType_Spec spec, PyObject* bases = nullptr) {
  return reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpecWithBases(&spec, bases)).release());
}

constexpr unsigned kGc = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;

void create_patch_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc,
       const_cast<char*>("Patch()\n--\n\n"
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
      {Py_tp_methods, patch_methods()},
      {Py_tp_getset, patch_properties},
      {Py_tp_repr, reinterpret_cast<void*>(&patch_repr)},
      {0, nullptr},
  };
  patch_type =
      new_type({"vorda_blocks.Patch", sizeof(PatchObject), 0, kGc | Py_TPFLAGS_BASETYPE, slots});
}

void create_value_type() {
  static std::vector<PyType_Slot> slots = [] {
    std::vector<PyType_Slot> all = {
        {Py_tp_doc,
         const_cast<char*>("A value of a patch: an input, a feedback, or what an operation or\n"
                           "arithmetic gives on each sample. It has no number until the patch\n"
                           "runs; arithmetic on it records arithmetic.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(&value_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(&value_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&value_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(&value_repr)},
        {Py_tp_getset, value_properties},
    };
    for (const PyType_Slot& slot : value_number_slots()) all.push_back(slot);
    all.push_back({0, nullptr});
    return all;
  }();
  value_type =
      new_type({"vorda_blocks.Value", sizeof(ValueObject), 0,
                kGc | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots.data()});
  // numpy scalars and arrays leave arithmetic with a value to the value
  // (np.float32(0.5) * v records a product instead of making an object array).
  if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(value_type), "__array_ufunc__", Py_None) <
      0)
    throw_error_set();
}

void create_feedback_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc,
       const_cast<char*>("A patch's one-sample memory (Patch.feedback): a value that reads what\n"
                         "set() was given on the previous sample.")},
      {Py_tp_methods, feedback_methods},
      {Py_tp_getset, feedback_properties},
      {Py_tp_dealloc, reinterpret_cast<void*>(&value_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(&value_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(&value_clear)},
      {0, nullptr},
  };
  Owned bases = checked(PyTuple_Pack(1, value_type));
  feedback_type = new_type({"vorda_blocks.Feedback", sizeof(ValueObject), 0,
                            kGc | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots},
                           bases.get());
}

}  // namespace

void create_patch_types(PyObject* module) {
  create_patch_type();
  create_value_type();
  create_feedback_type();
  for (PyTypeObject* type : {patch_type, value_type, feedback_type})
    if (PyModule_AddObjectRef(module, _PyType_Name(type), reinterpret_cast<PyObject*>(type)) < 0)
      throw_error_set();
}

}  // namespace vorda::blocks
