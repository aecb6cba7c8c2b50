// Small helpers for talking to the interpreter from vorda_blocks: owned
// references, and errors raised with the frame's conventions.
#pragma once

#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "frame.hpp"

namespace vorda::blocks {

class Owned {
 public:
  Owned() = default;
  explicit Owned(PyObject* object) : object_(object) {}
  Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Owned() { Py_XDECREF(object_); }
  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// A new reference from the interpreter, or its pending error thrown.
inline Owned checked(PyObject* object) {
  if (object == nullptr) throw_error_set();
  return Owned(object);
}

inline std::string str_of(PyObject* object) {
  Owned text(PyObject_Str(object));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

// A type's own name, without the module vorda's types (kTypeModule) and
// others carry.
inline const char* bare_type_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot != nullptr ? dot + 1 : type->tp_name;
}
inline std::string type_name(PyObject* object) {
  return bare_type_name(Py_TYPE(object));
}

[[noreturn, gnu::cold]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw_error_set();
}

inline std::string argument(const char* name) {
  return std::string("argument '") + name + "': ";
}

// A fast-call entry point as a method table takes it.
template <auto Entry>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

// numpy's own error while it looks at an argument gains the argument's name
// (the original becomes its cause).
[[noreturn, gnu::cold]] void name_pending_error(const char* name);

// Short blocks keep the lock: releasing and retaking it costs more than
// they do, and a waiting thread could hold the caller up for a whole
// switch interval.
inline constexpr std::size_t kUnlockFrom = 4096;

class Unlocked {
 public:
  explicit Unlocked(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~Unlocked() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Whether a signal handler raised (Ctrl-C's KeyboardInterrupt): a long
  // call asks between two pieces of its work and stops there. Every 50 ms at
  // most the lock is taken back for a moment, so that the interpreter runs
  // the handlers of the signals that arrived (only the main thread's run);
  // the handler's exception stays pending until the lock is back.
  bool interrupted() {
    if (state_ == nullptr) return false;  // a short call, with the lock
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check_) return false;
    next_check_ = now + std::chrono::milliseconds(50);
    PyEval_RestoreThread(state_);
    const bool raised = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_;
  std::chrono::steady_clock::time_point next_check_ = std::chrono::steady_clock::now();
};

}  // namespace vorda::blocks
