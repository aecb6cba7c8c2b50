// The cold half of the call frame: argument matching, error construction,
// panic conversion and type creation. Nothing here runs on a successful
// per-sample call.
#include "frame.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace vorda {
namespace {

// --- Pending exceptions ----------------------------------------------------

// Owned reference to the pending exception (normalised), or nullptr.
PyObject* take_pending() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Takes ownership of `exception` and makes it pending again.
void restore_pending(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

void display(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_DisplayException(exception);
#else
  PyObject* traceback = PyException_GetTraceback(exception);
  PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception, traceback);
  Py_XDECREF(traceback);
#endif
}

// str(obj) as UTF-8 bytes. Lone surrogates pass through (and come back with
// the same decoding), so no text is lost on its way into a message.
std::string text_of(PyObject* obj) {
  PyObject* str = PyObject_Str(obj);
  PyObject* bytes = str ? PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass") : nullptr;
  Py_XDECREF(str);
  if (bytes == nullptr) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  std::string text(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return text;
}

// --- PanicException --------------------------------------------------------

constexpr const char* kPanicExceptionDoc =
    "\n"
    "The exception raised when vorda's native code panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it\n"
    "will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* panic_exception_slot = nullptr;
GilOnce panic_exception_once;

// Each extension module of the distribution links a copy of this frame, and
// all of them must raise one and the same class: the first to need it
// leaves it in the interpreter's private dict, where the others find it.
constexpr const char* kPanicExceptionKey = "vorda.PanicException";

}  // namespace

PyObject* panic_exception_type() {
  panic_exception_once.call([] {
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (shared != nullptr) {
      if (PyObject* found = PyDict_GetItemString(shared, kPanicExceptionKey)) {
        panic_exception_slot = Py_NewRef(found);
        return;
      }
    }
    PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicExceptionDoc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
      PyErr_Print();
      panic("Failed to initialize new exception type.");
    }
    // Without the shared entry this module still raises its own class.
    if (shared != nullptr && PyDict_SetItemString(shared, kPanicExceptionKey, type) < 0)
      PyErr_Clear();
    panic_exception_slot = type;
  });
  return panic_exception_slot;
}

namespace {

void raise_panic_exception(const std::string& message) {
  PyObject* type = panic_exception_type();
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "surrogatepass");
  if (text == nullptr) return;  // MemoryError is pending instead
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// Fetches the pending error for the frame. A PanicException raised by Python
// code (say inside an argument's __float__) is not an ordinary error: it
// resumes as a panic with the same message, so it cannot be swallowed by the
// conversion's error handling.
PyObject* fetch_error() {
  PyObject* exception = take_pending();
  if (exception == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return take_pending();
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(exception)) == panic_exception_type()) {
    std::string message = text_of(exception);
    std::fflush(stderr);
    PySys_WriteStderr(
        "--- vorda: resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n");
    display(exception);
    Py_DECREF(exception);
    throw Panic{std::move(message)};
  }
  return exception;
}

// --- Argument matching -----------------------------------------------------

std::string full_name(const Signature& sig) {
  std::string name;
  if (sig.class_name != nullptr) name = std::string(sig.class_name) + ".";
  return name + sig.callable + "()";
}

// Messages are made from their full length: a NUL in a user's text must not
// cut them short.
[[noreturn]] void type_error(const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "surrogatepass");
  if (text != nullptr) {
    PyErr_SetObject(PyExc_TypeError, text);
    Py_DECREF(text);
  }
  throw_error_set();
}

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
  int positional = sig.count - sig.keyword_only;
  std::string expected = sig.required == positional
                             ? std::to_string(positional)
                             : "from " + std::to_string(sig.required) + " to " +
                                   std::to_string(positional);
  type_error(full_name(sig) + " takes " + expected + " positional arguments but " +
             std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

void place_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** slots) {
  for (int i = 0; i < sig.count; ++i) {
    if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, sig.names[i]) == 0) {
      if (slots[i] != nullptr)
        type_error(full_name(sig) + " got multiple values for argument '" + sig.names[i] + "'");
      slots[i] = value;
      return;
    }
  }
  type_error(full_name(sig) + " got an unexpected keyword argument '" + text_of(keyword) + "'");
}

void check_missing(const Signature& sig, Py_ssize_t positional, PyObject* const* slots) {
  if (positional >= sig.required) return;
  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i)
    if (slots[i] == nullptr) missing.push_back(sig.names[i]);
  if (missing.empty()) return;
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list += std::string("'") + missing[i] + "'";
  }
  type_error(full_name(sig) + " missing " + std::to_string(missing.size()) +
             " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
             list);
}

void place_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** slots) {
  if (nargs > sig.count - sig.keyword_only) too_many_positional(sig, nargs);
  for (int i = 0; i < sig.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
}

}  // namespace

void match_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** slots) {
  place_positional(sig, args, nargs, slots);
  if (kwnames != nullptr) {
    Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k)
      place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
  }
  check_missing(sig, nargs, slots);
}

void match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  place_positional(sig, args != nullptr ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, slots);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(kwargs, &position, &keyword, &value))
      place_keyword(sig, keyword, value, slots);
  }
  check_missing(sig, nargs, slots);
}

// --- Conversion errors -----------------------------------------------------

void argument_error(const char* name) {
  PyObject* caught = fetch_error();
  // Only a plain TypeError gains the argument's name; anything else (an
  // OverflowError, a user's exception from __float__) passes through as is.
  if (Py_TYPE(caught) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_pending(caught);
    throw_error_set();
  }
  PyObject* message = PyUnicode_FromFormat("argument '%s': %S", name, caught);
  PyObject* cause = PyException_GetCause(caught);  // new reference or nullptr
  Py_DECREF(caught);
  PyObject* wrapped = message ? PyObject_CallOneArg(PyExc_TypeError, message) : nullptr;
  Py_XDECREF(message);
  if (wrapped == nullptr) {
    Py_XDECREF(cause);
    throw_error_set();
  }
  if (cause != nullptr) PyException_SetCause(wrapped, cause);  // steals `cause`
  restore_pending(wrapped);
  throw_error_set();
}

float sample_from_object(PyObject* obj, const char* name) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) argument_error(name);
  return static_cast<float>(value);
}

std::uint64_t count_from_other(PyObject* obj, const char* name) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) argument_error(name);
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(name);
  return value;
}

void cast_error(PyObject* instance, const char* class_name) {
  std::string type_name = "<failed to extract type name>";
  if (PyObject* qualname =
          PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(instance)), "__qualname__")) {
    if (PyUnicode_Check(qualname)) type_name = text_of(qualname);
    Py_DECREF(qualname);
  } else {
    PyErr_Clear();
  }
  type_error("'" + type_name + "' object cannot be cast as '" + class_name + "'");
}

void already_borrowed() {
  PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  throw_error_set();
}

void already_mutably_borrowed() {
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  throw_error_set();
}

void cannot_delete_attribute() {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  throw_error_set();
}

void result_creation_failed() {
  PyErr_Print();
  panic("Python API call failed");
}

void fail_with_pending_error() {
  restore_pending(fetch_error());
  throw_error_set();
}

// --- Entry guard -----------------------------------------------------------

namespace {

[[noreturn]] void abort_uncaught_panic() {
  report_panic("uncaught panic at ffi boundary", std::source_location::current());
  std::abort();
}

// MemoryError for a buffer of `samples` Samples, saying how large it was.
void raise_out_of_memory(std::uint64_t samples) {
  const double bytes = static_cast<double>(samples) * sizeof(float);
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double size = bytes;
  int unit = 0;
  while (size >= 1024.0 && unit < 6) size /= 1024.0, ++unit;
  char amount[32];
  std::snprintf(amount, sizeof amount, unit == 0 ? "%.0f %s" : "%.1f %s", size, units[unit]);
  PyErr_Format(PyExc_MemoryError,
               "could not allocate the delay memory: %llu samples of 4 bytes (%s)",
               static_cast<unsigned long long>(samples), amount);
}

// Sets the Python exception for the C++ exception in flight. A panic raised
// while doing so cannot be reported to Python any more: abort.
void set_error_from(std::exception_ptr in_flight) noexcept {
  try {
    try {
      std::rethrow_exception(in_flight);
    } catch (const PyErrSet&) {
      if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const Panic& p) {
      raise_panic_exception(p.message);
    } catch (const OutOfMemory& e) {
      raise_out_of_memory(e.samples);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (...) {
      raise_panic_exception("native code raised an exception that is not a panic");
    }
  } catch (...) {
    abort_uncaught_panic();
  }
}

}  // namespace

void set_error_from_current_exception() noexcept { set_error_from(std::current_exception()); }

void report_unraisable_current_exception(PyObject* instance) noexcept {
  set_error_from(std::current_exception());
  PyErr_WriteUnraisable(instance);
}

// --- Type objects ----------------------------------------------------------

PyTypeObject* create_type(const char* qualified_name, int basicsize, const char* doc, newfunc init,
                          destructor dealloc, PyMethodDef* methods, PyGetSetDef* properties) {
  std::vector<PyType_Slot> slots;
  if (doc != nullptr && doc[0] != '\0') slots.push_back({Py_tp_doc, const_cast<char*>(doc)});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(init)});
  if (methods != nullptr && methods[0].ml_name != nullptr)
    slots.push_back({Py_tp_methods, methods});
  if (properties != nullptr && properties[0].name != nullptr)
    slots.push_back({Py_tp_getset, properties});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  slots.push_back({0, nullptr});
  PyType_Spec spec{qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw_error_set();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace vorda
