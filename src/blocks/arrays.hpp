// numpy in and out: what a block's or a patch's arguments become before the
// first sample, and the arrays its results go to. numpy owns the dtype
// conversions; what is done here is only what the per-sample call would do
// to each element (a double narrowed to float32, a count checked).
#pragma once

#include <cstdint>
#include <string>

#include "blocks/kernel.hpp"
#include "blocks/python.hpp"

namespace vorda::blocks {

struct Numpy {
  PyObject* asarray;
  PyObject* ascontiguousarray;
  PyObject* empty;
  PyObject* dtype;        // numpy.dtype, to normalise what callers pass
  PyTypeObject* generic;  // numpy's scalar types
  PyTypeObject* number;   // numpy's real and complex scalars
  PyTypeObject* complexfloating;
  PyTypeObject* bool_;
  PyObject* float32;
  PyObject* float64;
  PyObject* int64;
  PyObject* uint64;
};
extern Numpy np;

void load_numpy();

Owned new_array(Py_ssize_t length, PyObject* dtype);

// A held view of a 1-D C-contiguous array: its memory stays put (numpy
// refuses to resize an exported array) until the view is released.
class View {
 public:
  View() = default;
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View() { reset(); }

  // False (nothing pending) if the object has no such buffer.
  bool take(PyObject* object, int flags) {
    reset();
    if (PyObject_GetBuffer(object, &view_, flags) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  void reset() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

inline constexpr int kContiguous = PyBUF_C_CONTIGUOUS;

// One argument on its way in: its name (for messages), what the loop sees
// of it, and the array that holds its data.
struct Input {
  const char* name = nullptr;
  Arg arg;
  View view;  // holds the array behind `arg.data`
  Py_ssize_t length = 0;
  Py_ssize_t itemsize = 0;
};

// How the samples of an array reach the loop: float32 (a block, which
// narrows each element once, as the per-sample call narrows its argument),
// or float64 (a patch, whose values are Python floats until a processor
// takes them). A float32 array stays float32 either way (`itemsize` says).
enum class Width { narrow, wide };

// One value for the whole block or an array of per-sample values. Python
// numbers, numpy scalars and whatever numpy sees as 0-d are one value,
// converted exactly as the per-sample call converts it.
void convert(PyObject* object, Kind kind, Input& in, Width width = Width::narrow);

struct Output {
  Owned array;
  View view;
  void* data() const { return view->buf; }
};

// A caller's `out`: a writable, C-contiguous, 1-D float32 array of the
// block's length.
void take_out(Output& out, PyObject* object, Py_ssize_t length);
// A new array of `length` elements of `dtype`, held for writing.
void new_out(Output& out, Py_ssize_t length, PyObject* dtype);

bool overlap(const void* a, Py_ssize_t a_bytes, const void* b, Py_ssize_t b_bytes);

// Writing into `out` must not change an input sample before the loop has
// read it. The same array in place is safe (sample i is read before it is
// written); any other overlap gets the input copied first.
void separate(Input& in, const Output& out);

}  // namespace vorda::blocks
