// vorda_blocks: whole numpy arrays through vorda's processors.
//
// A block call is the per-sample loop, run in C++: the same member function
// of the same processor, inlined into one generic loop. Each parameter is
// either a constant or an array of per-sample values, and the compiler
// writes a loop for every combination (`run`), so no class has a loop of its
// own and every formula stays in its processor's header.
//
// The instances are vorda's own. This module reads them through the frame's
// instance layout (checked against vorda's types at import) and takes their
// borrow flags, so a block and a per-sample call exclude each other exactly
// as two per-sample calls do. Everything is matched, converted and checked
// before the first sample; then the interpreter lock is released for the
// loop.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "delay.hpp"
#include "frame.hpp"
#include "iir_filter.hpp"
#include "leak_dc.hpp"
#include "lfo.hpp"
#include "osc.hpp"
#include "pan.hpp"
#include "ring_buffer.hpp"

namespace vorda::blocks {
namespace {

// --- References and errors ---------------------------------------------------

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
Owned checked(PyObject* object) {
  if (object == nullptr) throw_error_set();
  return Owned(object);
}

std::string str_of(PyObject* object) {
  Owned text(PyObject_Str(object));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

// A type's own name, without the "builtins." vorda's types carry.
std::string type_name(PyObject* object) {
  const char* full = Py_TYPE(object)->tp_name;
  const char* dot = std::strrchr(full, '.');
  return dot != nullptr ? dot + 1 : full;
}

[[noreturn, gnu::cold]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw_error_set();
}

std::string argument(const char* name) {
  return std::string("argument '") + name + "': ";
}

// numpy's own error while it looks at an argument gains the argument's name
// (the original becomes its cause).
[[noreturn, gnu::cold]] void name_pending_error(const char* name) {
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

// --- numpy -------------------------------------------------------------------

struct Numpy {
  PyObject* asarray;
  PyObject* ascontiguousarray;
  PyObject* empty;
  PyTypeObject* generic;  // numpy's scalar types
  PyObject* float32;
  PyObject* float64;
  PyObject* int64;
  PyObject* uint64;
};
Numpy np;

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
  np.generic = reinterpret_cast<PyTypeObject*>(attribute("generic"));
  np.float32 = dtype("float32");
  np.float64 = dtype("float64");
  np.int64 = dtype("int64");
  np.uint64 = dtype("uint64");
}

Owned new_array(Py_ssize_t length, PyObject* dtype) {
  return checked(PyObject_CallFunction(np.empty, "nO", length, dtype));
}

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

// --- Arguments of a block ----------------------------------------------------

// What the loop sees of one parameter: one value for every sample, or an
// array of them. Count arrays are uint64 (or int64 checked to be
// non-negative, which has the same bits); Sample arrays are float32.
struct Arg {
  bool constant = true;
  Sample sample = 0.0f;
  std::uint64_t count = 0;
  const void* data = nullptr;

  template <class T>
  T value() const {
    if constexpr (std::is_same_v<T, Sample>)
      return sample;
    else
      return count;
  }
};

enum class Kind { sample, count };

template <class T>
constexpr Kind kind_of() {
  static_assert(std::is_same_v<T, Sample> || std::is_same_v<T, std::uint64_t>);
  return std::is_same_v<T, Sample> ? Kind::sample : Kind::count;
}

struct Input {
  const char* name = nullptr;
  Arg arg;
  View view;  // holds the array behind `arg.data`
  Py_ssize_t length = 0;
  Py_ssize_t itemsize = 0;
};

constexpr int kContiguous = PyBUF_C_CONTIGUOUS;

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
  in.arg = {false, 0.0f, 0, in.view->buf};
  in.itemsize = in.view->itemsize;
  in.length = in.view->len / in.view->itemsize;
}

// Sample arrays: float32 is used as it is. Every other real dtype becomes
// float64 by numpy's cast (exact for floats, correctly rounded for large
// integers, as the interpreter turns an int into a float), then each double
// is narrowed here exactly as the per-sample call narrows it.
void take_samples(Input& in, PyObject* array, PyObject* dtype, char kind) {
  if (PyObject_RichCompareBool(dtype, np.float32, Py_EQ) == 1) {
    hold(in, array, alignof(Sample));
    return;
  }
  if (std::strchr("fiub", kind) == nullptr)
    raise(PyExc_TypeError, argument(in.name) + "an array of dtype " + str_of(dtype) +
                               " cannot be read as samples (they are real numbers)");
  Owned wide =
      checked(PyObject_CallFunctionObjArgs(np.ascontiguousarray, array, np.float64, nullptr));
  View source;
  if (!source.take(wide.get(), kContiguous)) raise(PyExc_SystemError, "no array buffer");
  Py_ssize_t length = source->len / source->itemsize;
  Owned narrow = new_array(length, np.float32);
  View target;
  target.take(narrow.get(), kContiguous | PyBUF_WRITABLE);
  const double* from = static_cast<const double*>(source->buf);
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

// One value for the whole block or an array of per-sample values. Python
// numbers, numpy scalars and whatever numpy sees as 0-d are one value,
// converted exactly as the per-sample call converts it.
void convert(PyObject* object, Kind kind, Input& in) {
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
        take_samples(in, array.get(), dtype.get(), kind_text[0]);
      else
        take_counts(in, array.get(), dtype.get(), kind_text[0]);
      return;
    }
  }
  in.arg.constant = true;
  if (kind == Kind::sample)
    in.arg.sample = FromPython<Sample>::convert(object, in.name);
  else
    in.arg.count = FromPython<std::uint64_t>::convert(object, in.name);
}

// --- Outputs -------------------------------------------------------------------

struct Output {
  Owned array;
  View view;
  Sample* data() const { return static_cast<Sample*>(view->buf); }
};

// A caller's `out`: a writable, C-contiguous, 1-D float32 array of the
// block's length.
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

bool overlap(const void* a, Py_ssize_t a_bytes, const void* b, Py_ssize_t b_bytes) {
  auto a0 = reinterpret_cast<std::uintptr_t>(a), b0 = reinterpret_cast<std::uintptr_t>(b);
  return a_bytes > 0 && b_bytes > 0 && a0 < b0 + static_cast<std::uintptr_t>(b_bytes) &&
         b0 < a0 + static_cast<std::uintptr_t>(a_bytes);
}

// Writing into `out` must not change an input sample before the loop has
// read it. The same array in place is safe (sample i is read before it is
// written); any other overlap gets the input copied first.
void separate(Input& in, const Output& out) {
  if (in.arg.constant) return;
  const void* data = in.arg.data;
  if (!overlap(data, in.length * in.itemsize, out.view->buf, out.view->len)) return;
  if (data == out.view->buf && in.itemsize == static_cast<Py_ssize_t>(sizeof(Sample))) return;
  Owned copy = checked(PyObject_CallMethod(in.view->obj, "copy", nullptr));
  hold(in, copy.get(), static_cast<std::size_t>(in.itemsize));
}

// --- The kernel ----------------------------------------------------------------

template <class T>
struct Constant {
  T value;
  T operator[](std::size_t) const { return value; }
};

template <class T>
inline constexpr bool is_constant = false;
template <class T>
inline constexpr bool is_constant<Constant<T>> = true;

template <class T>
struct Stream {
  const T* data;
  T operator[](std::size_t i) const { return data[i]; }
};

struct NoSink {};
struct OneSink {
  Sample* y;
  void operator()(std::size_t i, Sample value) const { y[i] = value; }
};
struct TwoSinks {
  Sample* first;
  Sample* second;
  void operator()(std::size_t i, std::pair<Sample, Sample> value) const {
    first[i] = value.first;
    second[i] = value.second;
  }
};

template <class R>
using SinkFor = std::conditional_t<
    std::is_void_v<R>, NoSink,
    std::conditional_t<std::is_same_v<R, std::pair<Sample, Sample>>, TwoSinks, OneSink>>;

// What one sample does: a member function of the processor, or a module
// function (on no state).
struct Stateless {};

template <auto Fn>
struct Call {
  using Info = Callable<decltype(Fn)>;
  using Args = typename Info::Args;
  using Result = typename Info::Result;
  template <class P, class... A>
  static Result step(P& p, A... a) {
    if constexpr (std::is_member_function_pointer_v<decltype(Fn)>)
      return (p.*Fn)(a...);
    else
      return Fn(a...);
  }
};

template <auto Member>
struct SetterArgs {
  using type = typename Callable<decltype(Member)>::Args;
};
template <class C, class V, V C::* Member>
  requires(!std::is_function_v<V>)
struct SetterArgs<Member> {
  using type = std::tuple<V>;
};

// Modulation: the trailing arguments go to `Set` (a setter, or a data member
// to assign) before `Fn` runs with the leading ones, as a caller would set
// the coefficients before each per-sample call.
template <auto Fn, auto Set>
struct SetThenCall {
  using Main = Call<Fn>;
  using SetArgs = typename SetterArgs<Set>::type;
  using Args =
      decltype(std::tuple_cat(std::declval<typename Main::Args>(), std::declval<SetArgs>()));
  using Result = typename Main::Result;
  static constexpr std::size_t kLeading = std::tuple_size_v<typename Main::Args>;

  template <class P, class... A>
  static Result step(P& p, A... a) {
    std::tuple<A...> all{a...};
    return [&]<std::size_t... I, std::size_t... J>(std::index_sequence<I...>,
                                                   std::index_sequence<J...>) {
      if constexpr (std::is_member_function_pointer_v<decltype(Set)>)
        (p.*Set)(std::get<kLeading + J>(all)...);
      else
        ((p.*Set = std::get<kLeading + J>(all)), ...);
      return (p.*Fn)(std::get<I>(all)...);
    }(std::make_index_sequence<kLeading>{}, std::make_index_sequence<sizeof...(A) - kLeading>{});
  }
};

template <class Step, class P, class Sink, class... Sources>
void emit(P& p, std::size_t n, const Sink& sink, const Sources&... sources) {
  for (std::size_t i = 0; i < n; ++i) {
    if constexpr (std::is_void_v<typename Step::Result>)
      Step::step(p, sources[i]...);
    else
      sink(i, Step::step(p, sources[i]...));
  }
}

// A const operation works on the shared instance in place, and nothing
// tells the compiler that the output stores leave it alone: it would reload
// the instance's fields (and redo what depends on them, such as a delay in
// samples) for every sample. __restrict says so, but GCC honours it only on
// the parameters of a function it compiles on its own, hence this one. The
// sources come by value, for the same reason.
template <class Step, class P, class Sink, class... Sources>
[[gnu::noinline]] void emit_shared(P& __restrict p, std::size_t n, Sink sink, Sources... sources) {
  if constexpr ((is_constant<Sources> && ...)) {
    // Nothing changes from one sample to the next: one result fills the block.
    if (n == 0) return;
    const auto value = Step::step(p, sources[0]...);
    for (std::size_t i = 0; i < n; ++i) sink(i, value);
  } else {
    emit<Step>(p, n, sink, sources...);
  }
}

template <class Step, class P, class Sink, class... Sources>
void loop(P& p, std::size_t n, const Sink& sink, Sources... sources) {
  if constexpr (std::is_const_v<P> || std::is_empty_v<P>) {
    emit_shared<Step>(p, n, sink, sources...);
  } else {
    // The loop works on a copy of its own: nothing it stores through can
    // alias that, so the state stays in registers between samples.
    P local = std::move(p);
    try {
      emit<Step>(local, n, sink, sources...);
    } catch (...) {
      p = std::move(local);
      throw;
    }
    p = std::move(local);
  }
}

// Picks Constant or Stream for each argument in turn; the compiler writes
// one loop per combination.
template <class Step, class P, class Sink, class... Chosen>
void run(P& p, std::size_t n, const Sink& sink, const Arg* args, Chosen... chosen) {
  constexpr std::size_t I = sizeof...(Chosen);
  using Args = typename Step::Args;
  if constexpr (I == std::tuple_size_v<Args>) {
    loop<Step>(p, n, sink, chosen...);
  } else {
    using T = std::tuple_element_t<I, Args>;
    if (args[I].constant)
      run<Step>(p, n, sink, args, chosen..., Constant<T>{args[I].template value<T>()});
    else
      run<Step>(p, n, sink, args, chosen..., Stream<T>{static_cast<const T*>(args[I].data)});
  }
}

// Short blocks keep the lock: releasing and retaking it costs more than
// they do, and a waiting thread could hold the caller up for a whole
// switch interval.
constexpr std::size_t kUnlockFrom = 4096;

class Unlocked {
 public:
  explicit Unlocked(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~Unlocked() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// --- Table rows ----------------------------------------------------------------

struct Unmodulated {
  using Params = ParamList<>;
};
template <auto Set, class P>
struct Modulated {
  static constexpr auto set = Set;
  using Params = P;
};

template <class Main, class Extra, bool WithOut>
struct Names;
template <auto... P, auto... M, bool WithOut>
struct Names<ParamList<P...>, ParamList<M...>, WithOut> {
  static constexpr const char* names[] = {P.name..., M.name..., "n", "out"};
  static constexpr bool required[] = {P.required..., M.required..., false};
  static constexpr double fallback[] = {P.fallback..., M.fallback..., 0.0};
  static constexpr int count = sizeof...(P) + sizeof...(M) + 1 + (WithOut ? 1 : 0);
};

template <class Args, std::size_t... I>
constexpr auto kinds_of(std::index_sequence<I...>) {
  return std::array<Kind, sizeof...(I) + 1>{kind_of<std::tuple_element_t<I, Args>>()...,
                                            Kind::sample};
}

// What a step works on. A const operation works on the instance in place
// (other readers may share it); anything else on a copy of its own (`loop`).
template <auto Fn, bool IsFunction = !std::is_member_function_pointer_v<decltype(Fn)>>
struct Target {
  using type = Stateless;
  static constexpr bool shared = false;
};
template <auto Fn>
struct Target<Fn, false> {
  using Info = Callable<decltype(Fn)>;
  static constexpr bool shared = Info::is_const;
  using type = std::conditional_t<shared, const typename Info::Class, typename Info::Class>;
};

template <auto Fn, class Modulation>
struct FullStep {
  using type = SetThenCall<Fn, Modulation::set>;
};
template <auto Fn>
struct FullStep<Fn, Unmodulated> {
  using type = Call<Fn>;
};

// Work that constant trailing arguments let a block do once: `Prepare`
// turns them into the trailing arguments of `At`, and At(leading...,
// Prepare(trailing...)...) gives the bits of the plain step.
struct NoHoist {};
template <auto At, auto Prepare>
struct Hoist {
  using Step = Call<At>;
  using From = typename Callable<decltype(Prepare)>::Args;
  static constexpr auto prepare = Prepare;
};

template <class A>
Arg constant(A value) {
  Arg arg;
  if constexpr (std::is_same_v<A, Sample>)
    arg.sample = value;
  else
    arg.count = value;
  return arg;
}

// Runs the hoisted step if the trailing arguments it folds are constant.
template <class H, std::size_t Count, class P, class Sink>
bool run_hoisted(P& p, std::size_t n, const Sink& sink, const Arg* args) {
  constexpr std::size_t kFolded = std::tuple_size_v<typename H::From>, kFirst = Count - kFolded;
  for (std::size_t i = kFirst; i < Count; ++i)
    if (!args[i].constant) return false;
  auto prepared = [&]<std::size_t... I>(std::index_sequence<I...>) {
    return H::prepare(
        args[kFirst + I].template value<std::tuple_element_t<I, typename H::From>>()...);
  }(std::make_index_sequence<kFolded>{});
  constexpr std::size_t kPrepared = std::tuple_size_v<decltype(prepared)>;
  Arg hoisted[kFirst + kPrepared];
  std::copy(args, args + kFirst, hoisted);
  std::apply(
      [&](auto... value) {
        std::size_t i = kFirst;
        ((hoisted[i++] = constant(value)), ...);
      },
      prepared);
  run<typename H::Step>(p, n, sink, hoisted);
  return true;
}

template <class H, std::size_t Count, class P, class Sink>
bool run_hoisted_if(P& p, std::size_t n, const Sink& sink, const Arg* args) {
  if constexpr (std::is_same_v<H, NoHoist>)
    return false;
  else
    return run_hoisted<H, Count>(p, n, sink, args);
}

// One row per class and operation.
template <Name ClassName, Name Callee, auto Fn, class ParamTable, class Modulation = Unmodulated,
          class Hoisting = NoHoist>
struct Row {
  using Params = ParamTable;
  using Plain = Call<Fn>;
  using Full = typename FullStep<Fn, Modulation>::type;
  using Result = typename Plain::Result;
  static constexpr bool is_function = !std::is_member_function_pointer_v<decltype(Fn)>;
  using Proc = typename Target<Fn>::type;
  static constexpr bool shared = Target<Fn>::shared;
  static constexpr int kParams = Params::count;
  static constexpr int kModulated = Modulation::Params::count;
  using Table = Names<Params, typename Modulation::Params, !std::is_void_v<Result>>;
  static constexpr auto kinds =
      kinds_of<typename Full::Args>(std::make_index_sequence<kParams + kModulated>{});
  static constexpr const char* class_name = is_function ? nullptr : ClassName.text;
  static constexpr const char* callee = Callee.text;

  using Hoisted = Hoisting;

  static inline PyTypeObject* type = nullptr;  // vorda's, found at import
};

using ProcessRows =
    std::tuple<Row<"SinOsc", "process", &SinOsc::process, ParamList<req("frequency")>>,
               Row<"WhiteNoise", "process", &WhiteNoise::process, ParamList<>>,
               Row<"Lfo", "process", &Lfo::process, ParamList<req("frequency")>>,
               Row<"Biquad", "process", &Biquad::process, ParamList<req("x")>,
                   Modulated<&Biquad::set_coefs,
                             ParamList<req("b0"), req("b1"), req("b2"), req("a1"), req("a2")>>>,
               Row<"LeakDc", "process", &LeakDc::process, ParamList<req("xn")>,
                   Modulated<&LeakDc::coef, ParamList<req("coef")>>>,
               Row<"DelayS", "process", &DelayS::process, ParamList<req("xn"), req("delay_samp")>>,
               Row<"DelayN", "process", &DelayN::process, ParamList<req("xn"), req("delay_sec")>>,
               Row<"DelayL", "process", &DelayL::process, ParamList<req("xn"), req("delay_sec")>>,
               Row<"CombS", "process", &CombS::process,
                   ParamList<req("xn"), req("delay_samp"), req("decay_samp")>, Unmodulated,
                   Hoist<&CombS::process_at, &CombS::at_coefficient>>,
               Row<"CombN", "process", &CombN::process,
                   ParamList<req("xn"), req("delay_sec"), req("decay_sec")>, Unmodulated,
                   Hoist<&CombN::process_at, &CombN::at_coefficient>>,
               Row<"CombL", "process", &CombL::process,
                   ParamList<req("xn"), req("delay_sec"), req("decay_sec")>, Unmodulated,
                   Hoist<&CombL::process_at, &CombL::at_coefficient>>,
               Row<"AllpassS", "process", &AllpassS::process,
                   ParamList<req("xn"), req("delay_samp"), req("decay_samp")>, Unmodulated,
                   Hoist<&AllpassS::process_at, &AllpassS::at_coefficient>>,
               Row<"AllpassN", "process", &AllpassN::process,
                   ParamList<req("xn"), req("delay_sec"), req("decay_sec")>, Unmodulated,
                   Hoist<&AllpassN::process_at, &AllpassN::at_coefficient>>,
               Row<"AllpassL", "process", &AllpassL::process,
                   ParamList<req("xn"), req("delay_sec"), req("decay_sec")>, Unmodulated,
                   Hoist<&AllpassL::process_at, &AllpassL::at_coefficient>>>;

using ReadRows =
    std::tuple<Row<"RingBufferS", "read", &RingBufferS::read, ParamList<req("delay_samp")>>,
               Row<"RingBufferN", "read", &RingBufferN::read, ParamList<req("delay_sec")>>,
               Row<"RingBufferL", "read", &RingBufferL::read, ParamList<req("delay_sec")>>>;

using WriteRows =
    std::tuple<Row<"RingBufferS", "write", &RingBufferS::write, ParamList<req("xn")>>,
               Row<"RingBufferN", "write", &RingBufferN::write, ParamList<req("xn")>>,
               Row<"RingBufferL", "write", &RingBufferL::write, ParamList<req("xn")>>>;

using Pan2Row = Row<"", "pan2", &pan2, ParamList<req("x"), opt("pos", 0.0)>, Unmodulated,
                    Hoist<&pan_at, &pan_gains>>;

// --- One block call --------------------------------------------------------------

template <class R>
void check_modulation(PyObject* const* slots, bool& modulated) {
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
  raise(PyExc_TypeError, std::string(R::class_name) + "." + R::callee + "() block modulates " +
                             all + " together: give all of them or none (missing " + missing + ")");
}

// The block length: the common length of the array arguments, which `n`
// must repeat if given; `n` alone when every argument is one value.
template <class R>
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
  std::optional<Py_ssize_t> n;
  if (n_slot != nullptr && n_slot != Py_None) {
    if (!PyIndex_Check(n_slot))
      raise(PyExc_TypeError, std::string("n must be an integer, not ") + type_name(n_slot));
    Owned index = checked(PyNumber_Index(n_slot));
    n = PyLong_AsSsize_t(index.get());
    if (*n == -1 && PyErr_Occurred()) throw_error_set();
    if (*n < 0)
      raise(PyExc_ValueError, "n is " + std::to_string(*n) + ": a block cannot be shorter than 0");
  }
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

template <class Sink>
constexpr int outputs_of() {
  if constexpr (std::is_same_v<Sink, NoSink>)
    return 0;
  else if constexpr (std::is_same_v<Sink, OneSink>)
    return 1;
  else
    return 2;
}

template <class R>
PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Table = typename R::Table;
  using Sink = SinkFor<typename R::Result>;
  constexpr int P = R::kParams, M = R::kModulated, kOutputs = outputs_of<Sink>();
  static constexpr Signature sig{R::class_name, R::callee,           Table::names,
                                 Table::count,  R::Params::required, Table::count - P};
  PyObject* slots[Table::count];
  match_vector(sig, args, nargs, kwnames, slots);
  bool modulated = false;
  check_modulation<R>(slots, modulated);

  using Proc = typename R::Proc;
  Proc* proc = nullptr;
  Stateless nothing;
  std::optional<BorrowFor<R::shared>> borrow;
  if constexpr (R::is_function) {
    proc = &nothing;
  } else {
    auto* instance = reinterpret_cast<Instance<std::remove_const_t<Proc>>*>(self);
    borrow.emplace(instance->borrow);
    proc = &instance->value;
  }

  Input inputs[P + M > 0 ? P + M : 1];
  const int used = P + (modulated ? M : 0);
  for (int i = 0; i < used; ++i) {
    inputs[i].name = Table::names[i];
    if (slots[i] == nullptr) {
      inputs[i].arg.sample = static_cast<Sample>(Table::fallback[i]);
      continue;
    }
    convert(slots[i], R::kinds[i], inputs[i]);
  }
  const Py_ssize_t length = block_length<R>(inputs, used, slots[P + M]);

  Output outputs[kOutputs > 0 ? kOutputs : 1];
  if constexpr (kOutputs > 0) {
    PyObject* out = slots[P + M + 1];
    if (out == nullptr || out == Py_None) {
      for (int k = 0; k < kOutputs; ++k) {
        outputs[k].array = new_array(length, np.float32);
        outputs[k].view.take(outputs[k].array.get(), kContiguous | PyBUF_WRITABLE);
      }
    } else if constexpr (kOutputs == 1) {
      take_out(outputs[0], out, length);
    } else {
      if (!(PyTuple_Check(out) || PyList_Check(out)) || PySequence_Size(out) != 2)
        raise(PyExc_TypeError, "out: expected a pair of float32 arrays, not " + type_name(out));
      Owned pair = checked(PySequence_Tuple(out));
      for (int k = 0; k < 2; ++k) take_out(outputs[k], PyTuple_GET_ITEM(pair.get(), k), length);
      if (overlap(outputs[0].view->buf, outputs[0].view->len, outputs[1].view->buf,
                  outputs[1].view->len))
        raise(PyExc_ValueError, "out: the two arrays overlap");
    }
    for (int i = 0; i < used; ++i)
      for (int k = 0; k < kOutputs; ++k) separate(inputs[i], outputs[k]);
  }

  Sink sink{};
  if constexpr (kOutputs == 1) sink = {outputs[0].data()};
  if constexpr (kOutputs == 2) sink = {outputs[0].data(), outputs[1].data()};
  Arg values[P + M > 0 ? P + M : 1];
  for (int i = 0; i < used; ++i) values[i] = inputs[i].arg;
  const auto n = static_cast<std::size_t>(length);
  {
    Unlocked unlocked(n >= kUnlockFrom);
    if (modulated) {
      run<typename R::Full>(*proc, n, sink, values);
    } else if (!run_hoisted_if<typename R::Hoisted, P>(*proc, n, sink, values)) {
      run<typename R::Plain>(*proc, n, sink, values);
    }
  }

  if constexpr (kOutputs == 0) {
    Py_RETURN_NONE;
  } else if constexpr (kOutputs == 1) {
    return outputs[0].array.release();
  } else {
    return PyTuple_Pack(2, outputs[0].array.get(), outputs[1].array.get());
  }
}

// --- Entry points ----------------------------------------------------------------

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

template <class Rows>
PyObject* dispatch(const char* entry, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 1)
    raise(PyExc_TypeError, "vorda_blocks." + std::string(entry) +
                               "() missing 1 required positional argument: 'obj'");
  PyObject* obj = args[0];
  PyObject* result = nullptr;
  bool found = std::apply(
      [&](auto... rows) {
        return ((Py_TYPE(obj) == decltype(rows)::type &&
                 (result = call<decltype(rows)>(obj, args + 1, nargs - 1, kwnames), true)) ||
                ...);
      },
      Rows{});
  if (!found) {
    static const std::string accepted = accepted_classes<Rows>();
    raise(PyExc_TypeError, "vorda_blocks." + std::string(entry) + "() takes a " + accepted +
                               ", not " + type_name(obj));
  }
  return result;
}

PyObject* process_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&] { return dispatch<ProcessRows>("process", args, nargs, kwnames); });
}
PyObject* read_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded([&] { return dispatch<ReadRows>("read", args, nargs, kwnames); });
}
PyObject* write_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded([&] { return dispatch<WriteRows>("write", args, nargs, kwnames); });
}
PyObject* pan2_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded([&] { return call<Pan2Row>(nullptr, args, nargs, kwnames); });
}

template <auto Entry>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

PyMethodDef methods[] = {
    {"process", fastcall<&process_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "process(obj, /, *args, n=None, out=None, **kwargs)\n--\n\n"
     "Run `obj.process` over a whole block; return the outputs as float32 arrays.\n\n"
     "The arguments after `obj` are those of `obj.process`, by position or by\n"
     "keyword. Each is a number, the same for every sample, or a 1-D array of\n"
     "per-sample values. The result, and the state `obj` is left in, are bit\n"
     "for bit those of calling `obj.process` once per sample.\n\n"
     "`n` is the block length, needed when no argument is an array. `out`\n"
     "takes a float32 array to write into (a pair for `Lfo`); it may be one\n"
     "of the inputs. `Biquad` also takes `b0`, `b1`, `b2`, `a1` and `a2` (all\n"
     "or none), set before each sample as by `set_coefs`; `LeakDc` takes\n"
     "`coef`, set before each sample likewise."},
    {"read", fastcall<&read_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "read(obj, /, *args, n=None, out=None, **kwargs)\n--\n\n"
     "Read a ring buffer at a block of delays: that many `obj.read` calls\n"
     "with no write in between."},
    {"write", fastcall<&write_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "write(obj, /, *args, n=None, **kwargs)\n--\n\n"
     "Write a block of samples into a ring buffer: that many `obj.write` calls."},
    {"pan2", fastcall<&pan2_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "pan2(x, pos=0.0, *, n=None, out=None)\n--\n\n"
     "`vorda.pan2` over a block: returns the float32 arrays (left, right)."},
    {},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorda_blocks",
    "Whole numpy arrays through vorda's processors, bit for bit as the per-sample calls.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The text signature a row must share with the vorda callable it repeats.
template <class R>
std::string expected_signature() {
  std::string text = R::is_function ? "(" : "($self";
  for (int i = 0; i < R::kParams; ++i) {
    if (i > 0 || !R::is_function) text += ", ";
    text += R::Table::names[i];
    if (!R::Table::required[i]) {
      char* value =
          PyOS_double_to_string(R::Table::fallback[i], 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
      text += std::string("=") + value;
      PyMem_Free(value);
    }
  }
  return text + ")";
}

// This module relies on vorda's instance layout and calling conventions:
// refuse to load beside a vorda it does not match.
template <class R>
void bind(PyObject* vorda_module) {
  std::string what = R::is_function ? R::callee : std::string(R::class_name);
  Owned found(PyObject_GetAttrString(vorda_module, R::is_function ? R::callee : R::class_name));
  if (!found) {
    PyErr_Clear();
    raise(PyExc_ImportError, "vorda_blocks does not match this vorda: no " + what);
  }
  if constexpr (!R::is_function) {
    using Proc = std::remove_const_t<typename R::Proc>;
    if (!PyType_Check(found.get()) || reinterpret_cast<PyTypeObject*>(found.get())->tp_basicsize !=
                                          static_cast<Py_ssize_t>(sizeof(Instance<Proc>)))
      raise(PyExc_ImportError,
            "vorda_blocks does not match this vorda: the instances of " + what + " differ");
    R::type = reinterpret_cast<PyTypeObject*>(found.get());
    found = checked(PyObject_GetAttrString(found.get(), R::callee));
    what += std::string(".") + R::callee;
  }
  Owned signature(PyObject_GetAttrString(found.get(), "__text_signature__"));
  const char* text = signature ? PyUnicode_AsUTF8(signature.get()) : nullptr;
  if (text == nullptr || expected_signature<R>() != text) {
    PyErr_Clear();
    raise(PyExc_ImportError,
          "vorda_blocks does not match this vorda: the parameters of " + what + " differ");
  }
}

template <class Rows>
void bind_all(PyObject* vorda_module) {
  std::apply([&](auto... rows) { (bind<decltype(rows)>(vorda_module), ...); }, Rows{});
}

PyObject* cached_module = nullptr;
GilOnce module_once;

PyObject* import_module() {
  // Imported every time: vorda refuses a second interpreter, and so must we.
  Owned vorda_module = checked(PyImport_ImportModule("vorda"));
  module_once.call([&] {
    load_numpy();
    bind_all<ProcessRows>(vorda_module.get());
    bind_all<ReadRows>(vorda_module.get());
    bind_all<WriteRows>(vorda_module.get());
    bind<Pan2Row>(vorda_module.get());
    cached_module = checked(PyModule_Create2(&module_def, PYTHON_API_VERSION)).release();
  });
  return Py_NewRef(cached_module);
}

}  // namespace
}  // namespace vorda::blocks

PyMODINIT_FUNC PyInit_vorda_blocks(void) {
  return vorda::guarded([] { return vorda::blocks::import_module(); });
}
