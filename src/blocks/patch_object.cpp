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

// A type of this module whose objects the collector tracks: its name,
// object size, flags, docstring and life (dealloc, traverse, clear), and
// whatever else `more` gives it.
struct TypeFace {
  const char* name;
  int size;
  unsigned flags;
  const char* doc;
  destructor dealloc;
  traverseproc traverse;
  inquiry clear;
};

PyTypeObject* new_type(const TypeFace& face, std::span<const PyType_Slot> more,
                       PyObject* bases = nullptr) {
  std::vector<PyType_Slot> slots = {{Py_tp_doc, const_cast<char*>(face.doc)}};
  if (face.dealloc != nullptr) {
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(face.dealloc)});
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(face.traverse)});
    slots.push_back({Py_tp_clear, reinterpret_cast<void*>(face.clear)});
  }
  slots.insert(slots.end(), more.begin(), more.end());
  slots.push_back({0, nullptr});
  PyType_Spec spec{face.name, face.size, 0, face.flags, slots.data()};
  return reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpecWithBases(&spec, bases)).release());
}

constexpr unsigned kGc = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;

void create_patch_type() {
  const PyType_Slot more[] = {
      {Py_tp_new, reinterpret_cast<void*>(&patch_new)},
      {Py_tp_methods, patch_methods()},
      {Py_tp_getset, patch_properties},
      {Py_tp_repr, reinterpret_cast<void*>(&patch_repr)},
  };
  patch_type = new_type({"vorda_blocks.Patch", sizeof(PatchObject), kGc | Py_TPFLAGS_BASETYPE,
                         "Patch()\n--\n\n"
                         "A network of vorda processors with feedback between them, recorded\n"
                         "once and run per sample in C++.\n\n"
                         "Record with input(), feedback(), process(), read(), write(),\n"
                         "pan2(), arithmetic on the values they return, and output(); then\n"
                         "run(). Each sample performs the recorded operations in order,\n"
                         "bit for bit as the Python loop making the same calls would, with\n"
                         "Python floats between them.",
                         &patch_dealloc, &patch_traverse, &patch_clear},
                        more);
}

void create_value_type() {
  std::vector<PyType_Slot> more = {
      {Py_tp_repr, reinterpret_cast<void*>(&value_repr)},
      {Py_tp_getset, value_properties},
  };
  for (const PyType_Slot& slot : value_number_slots()) more.push_back(slot);
  value_type = new_type({"vorda_blocks.Value", sizeof(ValueObject),
                         kGc | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         "A value of a patch: an input, a feedback, or what an operation or\n"
                         "arithmetic gives on each sample. It has no number until the patch\n"
                         "runs; arithmetic on it records arithmetic.",
                         &value_dealloc, &value_traverse, &value_clear},
                        more);
  // numpy scalars and arrays leave arithmetic with a value to the value
  // (np.float32(0.5) * v records a product instead of making an object array).
  if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(value_type), "__array_ufunc__", Py_None) <
      0)
    throw_error_set();
}

// A Value's subclass: its life (dealloc, GC) is a Value's, inherited.
void create_feedback_type() {
  const PyType_Slot more[] = {
      {Py_tp_methods, feedback_methods},
      {Py_tp_getset, feedback_properties},
  };
  Owned bases = checked(PyTuple_Pack(1, value_type));
  feedback_type =
      new_type({"vorda_blocks.Feedback", sizeof(ValueObject),
                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                "A patch's one-sample memory (Patch.feedback): a value that reads what\n"
                "set() was given on the previous sample.",
                nullptr, nullptr, nullptr},
               more, bases.get());
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
