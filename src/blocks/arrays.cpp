#include "blocks/arrays.hpp"

#include <cstring>

namespace vorda::blocks {

Numpy np;

void name_pending_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
    throw_error_set();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Owned message(PyUnicode_FromFormat("%s%S", argument(name).c_str(), value));
  Owned renamed(message ? PyObject_CallOneArg(type, message.get()) : nullptr);
  if (!renamed) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    throw_error_set();
  }
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(traceback);
  PyException_SetCause(renamed.get(), value);  // steals `value`
  PyErr_SetObject(type, renamed.get());
  Py_DECREF(type);
  throw_error_set();
}

void load_numpy() {
  Owned numpy = checked(PyImport_ImportModule("numpy"));
  auto attribute = [&](const char* name) {
    return checked(PyObject_GetAttrString(numpy.get(), name)).release();
  };
  auto dtype = [&](const char* name) {
    Owned make = checked(PyObject_GetAttrString(numpy.get(), "dtype"));
    return checked(PyObject_CallFunction(make.get(), "s", name)).release();
  };
  np.asarray = attribute("asarray");
  np.ascontiguousarray = attribute("ascontiguousarray");
  np.empty = attribute("empty");
  np.dtype = attribute("dtype");
  np.generic = reinterpret_cast<PyTypeObject*>(attribute("generic"));
  np.number = reinterpret_cast<PyTypeObject*>(attribute("number"));
  np.complexfloating = reinterpret_cast<PyTypeObject*>(attribute("complexfloating"));
  np.bool_ = reinterpret_cast<PyTypeObject*>(attribute("bool_"));
  np.float32 = dtype("float32");
  np.float64 = dtype("float64");
  np.int64 = dtype("int64");
  np.uint64 = dtype("uint64");
}

Owned new_array(Py_ssize_t length, PyObject* dtype) {
  return checked(PyObject_CallFunction(np.empty, "nO", length, dtype));
}

namespace {

bool aligned(const void* data, std::size_t alignment) {
  return reinterpret_cast<std::uintptr_t>(data) % alignment == 0;
}

// Holds `array` (numpy, 1-D, C-contiguous after the call) as the input's data.
void hold(Input& in, PyObject* array, std::size_t alignment) {
  Owned contiguous = checked(PyObject_CallOneArg(np.ascontiguousarray, array));
  if (!in.view.take(contiguous.get(), kContiguous)) raise(PyExc_SystemError, "no array buffer");
  if (!aligned(in.view->buf, alignment)) {
    // A view at an odd offset into other memory: take an aligned copy.
    Owned copy = new_array(in.view->shape ? in.view->shape[0] : 0,
                           checked(PyObject_GetAttrString(contiguous.get(), "dtype")).get());
    View target;
    target.take(copy.get(), kContiguous | PyBUF_WRITABLE);
    std::memcpy(target->buf, in.view->buf, static_cast<std::size_t>(in.view->len));
    target.reset();
    in.view.take(copy.get(), kContiguous);
  }
  in.arg = Arg{};
  in.arg.constant = false;
  in.arg.data = in.view->buf;
  in.arg.narrow = in.view->itemsize == static_cast<Py_ssize_t>(sizeof(Sample));
  in.itemsize = in.view->itemsize;
  in.length = in.view->len / in.view->itemsize;
}

// Sample arrays. Every real dtype but float32 becomes float64 by numpy's
// cast (exact for floats, correctly rounded for large integers, as the
// interpreter turns an int into a float), which is what `float(a[i])` gives
// a Python loop. A block narrows each double here exactly as the per-sample
// call narrows it; float32 is used as it is.
void take_samples(Input& in, PyObject* array, PyObject* dtype, char kind, Width width) {
  // float32 stays as it is either way: a patch widens it a chunk at a time
  // (exactly), rather than in a copy of the whole array.
  if (PyObject_RichCompareBool(dtype, np.float32, Py_EQ) == 1) {
    hold(in, array, alignof(Sample));
    return;
  }
  if (std::strchr("fiub", kind) == nullptr)
    raise(PyExc_TypeError, argument(in.name) + "an array of dtype " + str_of(dtype) +
                               " cannot be read as samples (they are real numbers)");
  Owned wide =
      checked(PyObject_CallFunctionObjArgs(np.ascontiguousarray, array, np.float64, nullptr));
  // Held first either way: an array numpy already had as float64 may start
  // at any byte, and hold() copies it to where doubles can be read.
  hold(in, wide.get(), alignof(double));
  if (width == Width::wide) return;
  const Py_ssize_t length = in.length;
  Owned narrow = new_array(length, np.float32);
  View target;
  target.take(narrow.get(), kContiguous | PyBUF_WRITABLE);
  const double* from = static_cast<const double*>(in.arg.data);
  Sample* to = static_cast<Sample*>(target->buf);
  for (Py_ssize_t i = 0; i < length; ++i) to[i] = static_cast<Sample>(from[i]);
  target.reset();
  hold(in, narrow.get(), alignof(Sample));
}

// Count arrays: integers and booleans only, as the per-sample call takes
// only what has an exact integer value.
void take_counts(Input& in, PyObject* array, PyObject* dtype, char kind) {
  if (std::strchr("iub", kind) == nullptr)
    raise(PyExc_TypeError, argument(in.name) + "an array of dtype " + str_of(dtype) +
                               " cannot be interpreted as an integer");
  PyObject* target = kind == 'i' ? np.int64 : np.uint64;
  Owned counts =
      checked(PyObject_CallFunctionObjArgs(np.ascontiguousarray, array, target, nullptr));
  hold(in, counts.get(), alignof(std::uint64_t));
  if (kind == 'i') {
    // numpy's integers are int64, so this scan runs on most count arrays: a
    // branch-free OR of the sign bits (four lanes, which the compiler turns
    // into vector code) finds out first whether there is anything to report.
    const auto* values = static_cast<const std::int64_t*>(in.arg.data);
    std::uint64_t lanes[4] = {};
    Py_ssize_t i = 0;
    for (; i + 4 <= in.length; i += 4)
      for (int lane = 0; lane < 4; ++lane)
        lanes[lane] |= static_cast<std::uint64_t>(values[i + lane]);
    for (; i < in.length; ++i) lanes[0] |= static_cast<std::uint64_t>(values[i]);
    if (((lanes[0] | lanes[1] | lanes[2] | lanes[3]) >> 63) == 0) return;
    for (i = 0; i < in.length; ++i)
      if (values[i] < 0)
        raise(PyExc_OverflowError, argument(in.name) + "a count cannot be negative, but element " +
                                       std::to_string(i) + " is " + std::to_string(values[i]));
  }
}

}  // namespace

void convert(PyObject* object, Kind kind, Input& in, Width width) {
  if (!PyFloat_Check(object) && !PyLong_Check(object) && !PyObject_TypeCheck(object, np.generic)) {
    PyObject* raw = PyObject_CallOneArg(np.asarray, object);
    if (raw == nullptr) name_pending_error(in.name);
    Owned array(raw);
    Owned ndim_object = checked(PyObject_GetAttrString(array.get(), "ndim"));
    long ndim = PyLong_AsLong(ndim_object.get());
    if (ndim > 1)
      raise(PyExc_ValueError, argument(in.name) + "a block takes a number or a 1-D array, not a " +
                                  std::to_string(ndim) + "-D array");
    if (ndim == 1) {
      Owned dtype = checked(PyObject_GetAttrString(array.get(), "dtype"));
      Owned kind_object = checked(PyObject_GetAttrString(dtype.get(), "kind"));
      const char* kind_text = PyUnicode_AsUTF8(kind_object.get());
      if (kind_text == nullptr) throw_error_set();
      if (kind == Kind::sample)
        take_samples(in, array.get(), dtype.get(), kind_text[0], width);
      else
        take_counts(in, array.get(), dtype.get(), kind_text[0]);
      return;
    }
  }
  in.arg.constant = true;
  if (kind == Kind::sample) {
    if (width == Width::wide) {
      // What `float(x)` gives the Python loop.
      double value = PyFloat_AsDouble(object);
      if (value == -1.0 && PyErr_Occurred()) argument_error(in.name);
      in.arg.wide = value;
    } else {
      in.arg.sample = FromPython<Sample>::convert(object, in.name);
    }
  } else {
    in.arg.count = FromPython<std::uint64_t>::convert(object, in.name);
  }
}

void take_out(Output& out, PyObject* object, Py_ssize_t length) {
  View look;
  if (!look.take(object, PyBUF_RECORDS_RO))
    raise(PyExc_TypeError, "out: expected a float32 array, not " + type_name(object));
  const char* format = look->format ? look->format : "B";
  if (std::strcmp(format, "f") != 0 && std::strcmp(format, "<f") != 0 &&
      std::strcmp(format, "=f") != 0)
    raise(PyExc_TypeError,
          std::string("out: expected a float32 array, not one of format '") + format + "'");
  if (look->ndim != 1)
    raise(PyExc_ValueError,
          "out: expected a 1-D array, not a " + std::to_string(look->ndim) + "-D array");
  if (look->shape[0] != length)
    raise(PyExc_ValueError, "out: has " + std::to_string(look->shape[0]) +
                                " samples but the block has " + std::to_string(length));
  if (look->strides[0] != static_cast<Py_ssize_t>(sizeof(Sample)) && length > 1)
    raise(PyExc_ValueError, "out: the array must be C-contiguous");
  if (look->readonly) raise(PyExc_ValueError, "out: the array is read-only");
  if (!aligned(look->buf, alignof(Sample))) raise(PyExc_ValueError, "out: the array is misaligned");
  look.reset();
  if (!out.view.take(object, kContiguous | PyBUF_WRITABLE))
    raise(PyExc_ValueError, "out: the array must be writable and C-contiguous");
  out.array = Owned(Py_NewRef(object));
}

void new_out(Output& out, Py_ssize_t length, PyObject* dtype) {
  out.array = new_array(length, dtype);
  out.view.take(out.array.get(), kContiguous | PyBUF_WRITABLE);
}

bool overlap(const void* a, Py_ssize_t a_bytes, const void* b, Py_ssize_t b_bytes) {
  auto a0 = reinterpret_cast<std::uintptr_t>(a), b0 = reinterpret_cast<std::uintptr_t>(b);
  return a_bytes > 0 && b_bytes > 0 && a0 < b0 + static_cast<std::uintptr_t>(b_bytes) &&
         b0 < a0 + static_cast<std::uintptr_t>(a_bytes);
}

void separate(Input& in, const Output& out) {
  if (in.arg.constant) return;
  const void* data = in.arg.data;
  if (!overlap(data, in.length * in.itemsize, out.view->buf, out.view->len)) return;
  if (data == out.view->buf && in.itemsize == static_cast<Py_ssize_t>(sizeof(Sample))) return;
  Owned copy = checked(PyObject_CallMethod(in.view->obj, "copy", nullptr));
  hold(in, copy.get(), static_cast<std::size_t>(in.itemsize));
}

}  // namespace vorda::blocks
