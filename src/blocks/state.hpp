// Snapshots of instances and patches, and what pickle and copy build on
// them (state.cpp holds the format).
#pragma once

#include <memory>
#include <string>

#include "blocks/patch.hpp"

namespace vorda::blocks {

// What state.cpp needs of the Patch type (patch_types.cpp).
bool is_patch(PyObject* object);
Patch& patch_in(PyObject* object);
BorrowFlag& patch_borrow(PyObject* object);
// A new Patch object around `patch`, of `type` (Patch or a subclass).
PyObject* new_patch_object(PyTypeObject* type, std::unique_ptr<Patch> patch);
PyTypeObject* patch_type_object();

// vb.snapshot and vb.restore.
PyObject* snapshot_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;
PyObject* restore_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

// A patch's snapshot (bytes), with its instances in it or referred to by
// position in `Patch.instances`; and the recording of such a snapshot read
// into a new Patch, over the given instances when the snapshot left them out.
PyObject* snapshot_patch(PyObject* patch, bool with_instances);
std::unique_ptr<Patch> restore_patch(PyObject* data, PyObject* instances);

// The instances a patch uses, each once, in order of first use.
PyObject* instances_of(const Patch& patch);

// Registers every vorda class with copyreg: pickle and copy then go
// through snapshots.
void register_with_copyreg(PyObject* module);

}  // namespace vorda::blocks
