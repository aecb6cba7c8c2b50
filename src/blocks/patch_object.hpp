// The Python objects of patches: Patch, which records operations and runs
// them, and Value (with its subclass Feedback), what recording returns.
// Their methods and properties live by concern: recording.cpp (recording
// and the arithmetic on values), running.cpp (compile and run),
// inspection.cpp (what a patch shows of itself), patch_pickle.cpp (pickle
// and copy); patch_object.cpp puts the types together.
#pragma once

#include <span>
#include <string>

#include "blocks/patch.hpp"

namespace vorda::blocks {

struct PatchObject {
  PyObject_HEAD Patch* patch;
  BorrowFlag borrow;
};

struct ValueObject {
  PyObject_HEAD PyObject* patch;  // the PatchObject
  int index;
};

inline PatchObject* as_patch(PyObject* object) {
  return reinterpret_cast<PatchObject*>(object);
}
inline ValueObject* as_value(PyObject* object) {
  return reinterpret_cast<ValueObject*>(object);
}
inline const Patch& patch_of(PyObject* value) {
  return *as_patch(as_value(value)->patch)->patch;
}

bool is_value(PyObject* object);

// The patch, refusing one the collector has taken apart.
Patch& live_patch(PatchObject* self);
// The patch, still recording: `what` names the method that asked.
Patch& open_patch(PatchObject* self, const char* what);

// A new Value (or Feedback) object for value `index` of `patch`.
PyObject* new_value(PyObject* patch, int index);
// What an operand is, as Python sees it: a value, or its number.
PyObject* operand_object(PyObject* patch, const Operand& operand, Kind kind, bool wide);

FeedbackInfo& feedback_of(PyObject* feedback);

// The body of a getter, given the patch while it shares the patch's borrow.
template <class Body>
PyObject* reading(PyObject* object, Body body) noexcept {
  return guarded([&]() -> PyObject* {
    PatchObject* self = as_patch(object);
    SharedBorrow borrow(self->borrow);
    return body(*self->patch);
  });
}

// A number in arithmetic (ints, floats, numpy's real scalars) as the double
// it takes part as; false for anything else.
bool arithmetic_number(PyObject* object, double& value);

inline std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// The matched arguments of a method of Patch or Feedback whose parameters
// are `List`.
template <class List>
struct Parsed {
  PyObject* slots[List::count > 0 ? List::count : 1] = {};
};
template <class List>
Parsed<List> parse(const char* class_name, const char* callee, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  Parsed<List> parsed;
  const Signature sig{class_name, callee, List::names, List::count, List::required};
  match_vector(sig, args, nargs, kwnames, parsed.slots);
  return parsed;
}

// What each file adds to the types.
std::span<const PyMethodDef> recording_methods();
std::span<const PyMethodDef> running_methods();
std::span<const PyMethodDef> pickle_methods();
extern PyMethodDef feedback_methods[];
std::span<const PyType_Slot> value_number_slots();
extern PyGetSetDef patch_properties[];
extern PyGetSetDef value_properties[];
extern PyGetSetDef feedback_properties[];
PyObject* patch_repr(PyObject* object) noexcept;
PyObject* value_repr(PyObject* object) noexcept;

}  // namespace vorda::blocks
