// The arguments block calls and patches share (arguments.hpp).
#include "blocks/arguments.hpp"

namespace vorda::blocks {

std::optional<Py_ssize_t> length_argument(PyObject* n_slot) {
  if (n_slot == nullptr || n_slot == Py_None) return std::nullopt;
  if (!PyIndex_Check(n_slot))
    raise(PyExc_TypeError, std::string("n must be an integer, not ") + type_name(n_slot));
  Owned index = checked(PyNumber_Index(n_slot));
  Py_ssize_t n = PyLong_AsSsize_t(index.get());
  if (n == -1 && PyErr_Occurred()) throw_error_set();
  if (n < 0)
    raise(PyExc_ValueError, "n is " + std::to_string(n) + ": a block cannot be shorter than 0");
  return n;
}

bool check_modulation(const Signature& sig, int params, const char* where, PyObject* const* slots) {
  const int P = params, M = sig.count - params;
  int given = 0;
  for (int i = P; i < P + M; ++i) given += slots[i] != nullptr;
  if (given == 0 || given == M) return M > 0 && given == M;
  std::string all, missing;
  for (int i = P; i < P + M; ++i) {
    std::string quoted = std::string("'") + sig.names[i] + "'";
    all += (i == P ? "" : i + 1 == P + M ? " and " : ", ") + quoted;
    if (slots[i] == nullptr) missing += (missing.empty() ? "" : ", ") + quoted;
  }
  raise(PyExc_TypeError, std::string(sig.class_name) + "." + sig.callable + "() " + where +
                             " modulates " + all + " together: give all of them or none (missing " +
                             missing + ")");
}

Py_ssize_t block_length(const Input* inputs, int count, PyObject* n_slot) {
  const Input* first = nullptr;
  for (int i = 0; i < count; ++i) {
    if (inputs[i].arg.constant) continue;
    if (first == nullptr) {
      first = &inputs[i];
    } else if (inputs[i].length != first->length) {
      raise(PyExc_ValueError, std::string("arguments '") + first->name + "' and '" +
                                  inputs[i].name +
                                  "' have different lengths: " + std::to_string(first->length) +
                                  " and " + std::to_string(inputs[i].length));
    }
  }
  std::optional<Py_ssize_t> n = length_argument(n_slot);
  if (first == nullptr) {
    if (!n)
      raise(PyExc_TypeError, "n is required when no argument is an array: it is the block length");
    return *n;
  }
  if (n && *n != first->length)
    raise(PyExc_ValueError, "n is " + std::to_string(*n) + " but argument '" + first->name +
                                "' has " + std::to_string(first->length) + " samples");
  return first->length;
}

}  // namespace vorda::blocks
