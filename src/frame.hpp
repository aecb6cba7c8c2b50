// The call frame: everything between the interpreter and a processor.
//
// A class's Python face is one table, `PyClass<T>`, written next to the
// processor's presentation. From it, the templates below generate every
// CPython entry point (tp_new, fast-call methods, no-argument methods,
// getters, setters, tp_dealloc, the module function). Argument matching,
// conversion, borrowing and error reporting exist once, here and in
// frame.cpp; no class parses its own arguments.
//
// Failures travel as C++ exceptions inside an entry point: `PyErrSet` when a
// Python exception is already set, `Panic` for a processor's broken
// precondition. The entry guard catches everything, so nothing unwinds into
// the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "panic.hpp"
#include "params.hpp"

namespace vorda {

// ---------------------------------------------------------------------------
// Declarations: what a class table is made of.

// A Python exception is set; unwind to the entry guard and return failure.
struct PyErrSet {};

[[noreturn]] inline void throw_error_set() {
  throw PyErrSet{};
}

// The table of a class, specialised next to each processor's presentation.
// It derives from ClassFace<"Name", T(ArgTypes...), ParamList<...>, "prose">
// (below), which gives it
//   name        the bare Python class name
//   doc         the class docstring, its text signature made from the parameters
//   init        the constructor's entry point
// and adds
//   methods     (optional) PyMethodDef array built with method<...>(), ending in {}
//   properties  (optional) PyGetSetDef array built with property<...>(...), ending in {}
template <class T>
struct PyClass;

// The heap type of T, created on first use and kept for the process.
// Defined below; instantiated in the file that holds T's table.
template <class T>
PyTypeObject* type_object();

// ---------------------------------------------------------------------------
// Errors raised by the frame (frame.cpp). All cold.

// What matching and messages need to know about a callable.
struct Signature {
  const char* class_name;  // nullptr for the module function
  const char* callable;    // "__new__", "process", "pan2", ...
  const char* const* names;
  int count;
  int required;
  int keyword_only = 0;  // how many of the last names cannot be given by position
};

// Fill `slots` (count entries, absent ones nullptr) from a fast call.
void match_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** slots);
// Fill `slots` from a positional tuple and a keyword dict (either may be null).
void match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// The class panics raise, one for every module of the distribution
// (borrowed; created on first use).
PyObject* panic_exception_type();

// The pending conversion error becomes the frame's argument error for `name`.
[[noreturn, gnu::cold]] void argument_error(const char* name);
[[noreturn, gnu::cold]] void cast_error(PyObject* instance, const char* class_name);
[[noreturn, gnu::cold]] void already_borrowed();
[[noreturn, gnu::cold]] void already_mutably_borrowed();
[[noreturn, gnu::cold]] void cannot_delete_attribute();
[[noreturn, gnu::cold]] void result_creation_failed();
[[noreturn, gnu::cold]] void fail_with_pending_error();

[[gnu::cold]] float sample_from_object(PyObject* obj, const char* name);
[[gnu::cold]] std::uint64_t count_from_other(PyObject* obj, const char* name);

// Turns the exception in flight into a Python exception (or aborts if even
// that panics). Call only from a catch block.
[[gnu::cold]] void set_error_from_current_exception() noexcept;
// The same for a destructor: the error goes to the unraisable hook.
[[gnu::cold]] void report_unraisable_current_exception(PyObject* instance) noexcept;

// ---------------------------------------------------------------------------
// Entry guard.

template <class R>
constexpr R failure_value() {
  if constexpr (std::is_pointer_v<R>)
    return nullptr;
  else
    return -1;
}

template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return failure_value<decltype(body())>();
  }
}

// ---------------------------------------------------------------------------
// Once-guards that cannot deadlock against the interpreter lock: a waiting
// thread releases the lock, and the initialising thread holds it while it
// runs. A failed initialisation leaves the guard open for a later attempt.

class GilOnce {
 public:
  bool done() const { return done_.load(std::memory_order_acquire); }

  template <class F>
  void call(F&& init) {
    if (done()) return;
    PyThreadState* state = PyEval_SaveThread();
    std::unique_lock<std::mutex> lock(mutex_);
    PyEval_RestoreThread(state);
    if (done()) return;
    init();
    done_.store(true, std::memory_order_release);
  }

 private:
  std::atomic<bool> done_{false};
  std::mutex mutex_;
};

// ---------------------------------------------------------------------------
// Instances and borrows.

using BorrowFlag = std::atomic<std::uintptr_t>;
inline constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

template <class T>
struct Instance {
  PyObject header;
  T value;
  BorrowFlag borrow;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    std::uintptr_t expected = 0;
    if (!flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                       std::memory_order_relaxed)) [[unlikely]]
      already_borrowed();
  }
  ~ExclusiveBorrow() { flag_.store(0, std::memory_order_release); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    std::uintptr_t current = flag_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) [[unlikely]]
        already_mutably_borrowed();
    } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
  }
  ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

// Const operations share the instance; everything else needs it alone.
template <bool Shared>
using BorrowFor = std::conditional_t<Shared, SharedBorrow, ExclusiveBorrow>;

template <class T>
inline PyTypeObject* type_cache = nullptr;

template <class T>
Instance<T>& instance_of(PyObject* self) {
  PyTypeObject* expected = type_cache<T>;
  if (Py_TYPE(self) != expected && !PyType_IsSubtype(Py_TYPE(self), expected)) [[unlikely]]
    cast_error(self, PyClass<T>::name);
  return *reinterpret_cast<Instance<T>*>(self);
}

// ---------------------------------------------------------------------------
// Conversion of arguments (Python -> processor) by parameter type:
//   float                         a Sample
//   std::uint64_t                 a count
//   std::optional<std::uint64_t>  an optional seed (None or absent: empty)

template <class T>
struct FromPython;

template <>
struct FromPython<float> {
  static float convert(PyObject* obj, const char* name) {
    if (PyFloat_CheckExact(obj)) [[likely]]
      return static_cast<float>(PyFloat_AS_DOUBLE(obj));
    return sample_from_object(obj, name);
  }
};

template <>
struct FromPython<std::uint64_t> {
  static std::uint64_t convert(PyObject* obj, const char* name) {
    if (PyLong_Check(obj)) [[likely]] {
      unsigned long long value = PyLong_AsUnsignedLongLong(obj);
      if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) [[unlikely]]
        argument_error(name);
      return value;
    }
    return count_from_other(obj, name);
  }
};

template <>
struct FromPython<std::optional<std::uint64_t>> {
  static std::optional<std::uint64_t> convert(PyObject* obj, const char* name) {
    if (obj == Py_None) return std::nullopt;
    return FromPython<std::uint64_t>::convert(obj, name);
  }
};

template <class T, auto P>
T take_argument(PyObject* slot) {
  if constexpr (!P.required) {
    if (slot == nullptr) {
      if constexpr (std::is_same_v<T, std::optional<std::uint64_t>>)
        return std::nullopt;
      else
        return static_cast<T>(P.fallback);
    }
  }
  return FromPython<T>::convert(slot, P.name);
}

// ---------------------------------------------------------------------------
// Conversion of results (processor -> Python).

inline PyObject* to_python(float value) {
  PyObject* result = PyFloat_FromDouble(value);
  if (result == nullptr) [[unlikely]]
    result_creation_failed();
  return result;
}

inline PyObject* to_python(std::uint64_t value) {
  PyObject* result = PyLong_FromUnsignedLongLong(value);
  if (result == nullptr) [[unlikely]]
    result_creation_failed();
  return result;
}

inline PyObject* to_python(std::pair<float, float> value) {
  PyObject* first = PyFloat_FromDouble(value.first);
  PyObject* second = first ? PyFloat_FromDouble(value.second) : nullptr;
  PyObject* pair = second ? PyTuple_New(2) : nullptr;
  if (pair == nullptr) [[unlikely]] {
    Py_XDECREF(first);
    Py_XDECREF(second);
    result_creation_failed();
  }
  PyTuple_SET_ITEM(pair, 0, first);
  PyTuple_SET_ITEM(pair, 1, second);
  return pair;
}

// Converts the matched slots in declaration order (a braced list evaluates
// left to right) and calls `call` with the converted values.
template <class Args, class List, std::size_t... I, class F>
decltype(auto) call_converted(PyObject* const* slots, std::index_sequence<I...>, F&& call) {
  return std::apply(std::forward<F>(call),
                    Args{take_argument<std::tuple_element_t<I, Args>, List::all[I]>(slots[I])...});
}

template <class R, class F>
PyObject* call_to_python(F&& call) {
  if constexpr (std::is_void_v<R>) {
    call();
    Py_RETURN_NONE;
  } else {
    return to_python(call());
  }
}

// ---------------------------------------------------------------------------
// Entry points.

// The slots of a fast call: its arguments as they stand when all are given
// by position (the common case), else matched by name.
template <class List>
void fill_slots(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots) {
  if (kwnames == nullptr && nargs == List::count) [[likely]] {
    for (int i = 0; i < List::count; ++i) slots[i] = args[i];
  } else {
    match_vector(sig, args, nargs, kwnames, slots);
  }
}

template <Name Callee, auto Fn, class List>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  using Info = Callable<decltype(Fn)>;
  using T = typename Info::Class;
  using Args = typename Info::Args;
  static_assert(params_fit<Fn, List>, "one parameter name per argument");
  static constexpr Signature sig{PyClass<T>::name, Callee.text, List::names, List::count,
                                 List::required};
  return guarded([&]() -> PyObject* {
    PyObject* slots[List::count];
    fill_slots<List>(sig, args, nargs, kwnames, slots);
    Instance<T>& inst = instance_of<T>(self);
    BorrowFor<Info::is_const> borrow(inst.borrow);
    return call_to_python<typename Info::Result>([&] {
      return call_converted<Args, List>(slots, std::make_index_sequence<List::count>{},
                                        [&](auto... a) { return (inst.value.*Fn)(a...); });
    });
  });
}

template <auto Fn>
PyObject* noargs_method(PyObject* self, PyObject*) noexcept {
  using Info = Callable<decltype(Fn)>;
  using T = typename Info::Class;
  return guarded([&]() -> PyObject* {
    Instance<T>& inst = instance_of<T>(self);
    BorrowFor<Info::is_const> borrow(inst.borrow);
    return call_to_python<typename Info::Result>([&] { return (inst.value.*Fn)(); });
  });
}

template <class Entry>
PyCFunction as_cfunction(Entry* entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// A method of the operation table (operations.hpp), its docstring's text
// signature made from the operation's parameters and followed by `Prose`.
template <class Op, Name Prose>
PyMethodDef method() {
  using List = typename Op::Params;
  const char* doc = Docstring<Op::callee_name, true, List, Prose>::text;
  if constexpr (List::count == 0)
    return {Op::callee, as_cfunction(&noargs_method<Op::fn>), METH_NOARGS, doc};
  else
    return {Op::callee, as_cfunction(&fastcall_method<Op::callee_name, Op::fn, List>),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// A method outside the operation table, without parameters (`reset`).
template <Name Callee, auto Fn, Name Prose>
PyMethodDef method() {
  return {Callee.text, as_cfunction(&noargs_method<Fn>), METH_NOARGS,
          Docstring<Callee, true, ParamList<>, Prose>::text};
}

// A module-level function: no instance, no borrow.
template <Name Callee, auto Fn, class List>
PyObject* fastcall_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  using Info = Callable<decltype(Fn)>;
  using Args = typename Info::Args;
  static_assert(params_fit<Fn, List>, "one parameter name per argument");
  static constexpr Signature sig{nullptr, Callee.text, List::names, List::count, List::required};
  return guarded([&]() -> PyObject* {
    PyObject* slots[List::count];
    fill_slots<List>(sig, args, nargs, kwnames, slots);
    return call_to_python<typename Info::Result>([&] {
      return call_converted<Args, List>(slots, std::make_index_sequence<List::count>{},
                                        [](auto... a) { return Fn(a...); });
    });
  });
}

template <class Op, Name Prose>
PyMethodDef function() {
  using List = typename Op::Params;
  return {Op::callee, as_cfunction(&fastcall_function<Op::callee_name, Op::fn, List>),
          METH_FASTCALL | METH_KEYWORDS, Docstring<Op::callee_name, false, List, Prose>::text};
}

// The constructor: `Ctor` is the function type T(ArgTypes...).
template <class Ctor, class List>
struct Constructor;

template <class T, class... A, class List>
struct Constructor<T(A...), List> {
  using Args = std::tuple<std::decay_t<A>...>;
  static_assert(std::tuple_size_v<Args> == List::count, "one parameter name per argument");

  static PyObject* entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    static constexpr Signature sig{PyClass<T>::name, "__new__", List::names, List::count,
                                   List::required};
    return guarded([&]() -> PyObject* {
      PyObject* slots[List::count > 0 ? List::count : 1];
      match_tuple(sig, args, kwargs, slots);
      // The state is complete (buffer included) before the object exists; if
      // the allocation fails, the state is released on the way out.
      T value = call_converted<Args, List>(slots, std::make_index_sequence<List::count>{},
                                           [](auto... a) { return T(std::move(a)...); });
      PyObject* self = subtype->tp_alloc(subtype, 0);
      if (self == nullptr) fail_with_pending_error();
      auto* inst = reinterpret_cast<Instance<T>*>(self);
      new (&inst->value) T(std::move(value));
      new (&inst->borrow) BorrowFlag(0);
      return self;
    });
  }
};

// What every class table starts from: its name, its docstring (the
// constructor's text signature, then `Prose`) and its constructor.
template <Name ClassName, class Ctor, class List, Name Prose>
struct ClassFace {
  static constexpr const char* name = ClassName.text;
  static constexpr const char* doc = Docstring<ClassName, false, List, Prose>::text;
  static constexpr newfunc init = &Constructor<Ctor, List>::entry;
};

template <class T>
void dealloc_entry(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  try {
    std::destroy_at(&reinterpret_cast<Instance<T>*>(self)->value);
  } catch (...) {
    report_unraisable_current_exception(self);
  }
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Properties. `Member` is a data member or a const member function of T.

template <auto Member>
struct MemberOwner;
// Matches data members and member functions alike (M may be a function type).
template <class C, class M, M C::* P>
struct MemberOwner<P> {
  using Class = C;
};

template <auto Member>
PyObject* getter_entry(PyObject* self, void*) noexcept {
  using T = typename MemberOwner<Member>::Class;
  return guarded([&]() -> PyObject* {
    Instance<T>& inst = instance_of<T>(self);
    SharedBorrow borrow(inst.borrow);
    if constexpr (std::is_member_function_pointer_v<decltype(Member)>)
      return to_python((inst.value.*Member)());
    else
      return to_python(inst.value.*Member);
  });
}

template <auto Member>
int setter_entry(PyObject* self, PyObject* value, void* closure) noexcept {
  using T = typename MemberOwner<Member>::Class;
  using V = std::remove_cvref_t<decltype(std::declval<T&>().*Member)>;
  return guarded([&]() -> int {
    if (value == nullptr) cannot_delete_attribute();
    // The value is converted before the borrow is taken, so a conversion
    // that calls back into the instance does not meet a held borrow.
    V converted = FromPython<V>::convert(value, static_cast<const char*>(closure));
    Instance<T>& inst = instance_of<T>(self);
    ExclusiveBorrow borrow(inst.borrow);
    inst.value.*Member = converted;
    return 0;
  });
}

enum class Access { read_only, read_write };

template <auto Member, Access A = Access::read_only>
constexpr PyGetSetDef property(const char* name, const char* doc) {
  setter set = nullptr;
  if constexpr (A == Access::read_write) set = &setter_entry<Member>;
  // The closure carries the name for the setter's argument errors.
  return {name, &getter_entry<Member>, set, doc, const_cast<char*>(name)};
}

// ---------------------------------------------------------------------------
// Type objects.

[[gnu::cold]] PyTypeObject* create_type(const char* qualified_name, int basicsize, const char* doc,
                                        newfunc init, destructor dealloc, PyMethodDef* methods,
                                        PyGetSetDef* properties);

// vorda's types are named "builtins.<Class>", as the interpreter's own are.
inline constexpr const char* kTypeModule = "builtins.";

template <class T>
PyTypeObject* type_object() {
  static GilOnce once;
  once.call([] {
    using Table = PyClass<T>;
    static const std::string qualified = std::string(kTypeModule) + Table::name;
    PyGetSetDef* properties = nullptr;
    if constexpr (requires { Table::properties; }) properties = Table::properties;
    PyMethodDef* methods = nullptr;
    if constexpr (requires { Table::methods; }) methods = Table::methods;
    type_cache<T> = create_type(qualified.c_str(), static_cast<int>(sizeof(Instance<T>)),
                                Table::doc, Table::init, &dealloc_entry<T>, methods, properties);
  });
  return type_cache<T>;
}

}  // namespace vorda
