// The arguments block calls and patches share: the block length `n`, the
// length the array arguments agree on, and modulation given all or none.
#pragma once

#include <optional>
#include <string>
#include <tuple>

#include "blocks/arrays.hpp"

namespace vorda::blocks {

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

// The common length of the array arguments, which `n` must repeat if
// given; `n` alone when every argument is one value.
Py_ssize_t block_length(const Input* inputs, int count, PyObject* n_slot);

}  // namespace vorda::blocks
