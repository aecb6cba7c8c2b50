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

// A block modulates all of a row's extra parameters or none of them;
// `modulated` says which. TypeError naming the missing ones otherwise.
template <class R>
void check_modulation(const char* where, PyObject* const* slots, bool& modulated) {
  constexpr int P = R::kParams, M = R::kModulated;
  int given = 0;
  for (int i = P; i < P + M; ++i) given += slots[i] != nullptr;
  modulated = M > 0 && given == M;
  if (given == 0 || given == M) return;
  std::string all, missing;
  for (int i = P; i < P + M; ++i) {
    std::string quoted = std::string("'") + R::Table::names[i] + "'";
    all += (i == P ? "" : i + 1 == P + M ? " and " : ", ") + quoted;
    if (slots[i] == nullptr) missing += (missing.empty() ? "" : ", ") + quoted;
  }
  raise(PyExc_TypeError, std::string(R::class_name) + "." + R::callee + "() " + where +
                             " modulates " + all + " together: give all of them or none (missing " +
                             missing + ")");
}

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

}  // namespace vorda::blocks
