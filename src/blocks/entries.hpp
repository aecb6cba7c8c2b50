// What the module file binds: the entry points of the block calls, and the
// patch types.
#pragma once

#include <optional>
#include <string>

#include "blocks/python.hpp"
#include "blocks/rows.hpp"

namespace vorda::blocks {

PyObject* process_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* read_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;
PyObject* write_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
PyObject* pan2_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;

// Adds Patch, Value and Feedback to the module.
void create_patch_types(PyObject* module);

}  // namespace vorda::blocks
