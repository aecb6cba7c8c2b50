// What the module file binds: the entry points of the block calls and of
// the patches, and the checks that tie this module to vorda's types.
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

// A call modulates all of an operation's extra parameters (`names[params]`
// on, `modulated` of them) or none; returns which. TypeError naming the
// missing ones otherwise.
bool check_modulation(const Signature& sig, int params, const char* where, PyObject* const* slots);

// "a SinOsc, WhiteNoise, ... or AllpassL": what a dispatch over rows takes.
template <class Rows>
std::string accepted_classes() {
  std::string list;
  std::apply(
      [&](auto... rows) {
        int i = 0, total = sizeof...(rows);
        ((list += (i == 0           ? ""
                   : i + 1 == total ? " or "
                                    : ", ") +
                  std::string(decltype(rows)::class_name),
          ++i),
         ...);
      },
      Rows{});
  return list;
}

// The block length `n` as a caller gives it: absent (None) or a
// non-negative integer.
std::optional<Py_ssize_t> length_argument(PyObject* n_slot);

struct Input;
// The common length of the array arguments, which `n` must repeat if
// given; `n` alone when every argument is one value.
Py_ssize_t block_length(const Input* inputs, int count, PyObject* n_slot);

}  // namespace vorda::blocks
