// Snapshots: the state of an instance or a patch as bytes, and back.
//
// A snapshot keeps everything a later call or property read can observe and
// nothing else: each processor lists that itself (`state` in its header),
// and the same list writes a snapshot and reads it back, so the two cannot
// drift apart. Reading trusts nothing: every tag, length, index and
// cross-reference is checked, a buffer is allocated only once the bytes to
// fill it are known to be there, and a restored instance or patch must be
// one that vorda could have made. Bad bytes give ValueError.
//
// The format, version 1. All numbers little-endian; a Sample is its IEEE
// bits (u32), a double likewise (u64), so NaN payloads and signed zeros
// survive.
//
//   snapshot   "vrda"  u16 version  u8 kind (0 instance, 1 patch)  body
//   instance   u8 class, in vorda's registration order (SinOsc 0 ... RingBufferL 16),
//              then the class's fields in the order of its `state`:
//                Sample u32 | count u64 | choice u8 (Lfo's waveform) |
//                ring: u64 slots (a power of two), u64 write position, slots x u32
//   patch      u8 compiled  u8 instances inline (1) or left out (0)
//              u32 n, then n instances (inline) or n class tags (left out)
//              u32 n values:    u8 kind (0 sample, 1 count), u8 origin (0 input,
//                               1 feedback, 2 node), u32 origin index
//              u32 n nodes:     u8 type (0 operation, 1 arithmetic, 2 set)
//                operation      u16 operation (process rows, read rows, write rows,
//                               pan2, in the table's order), u32 instance
//                               (0xffffffff for none), u8 modulated
//                arithmetic     u8 operation (+ - * / neg abs min max tanh)
//                set            u32 feedback
//                then           u32 n operands, u32 n results (value indices)
//              u32 n inputs:    name, u8 kind, u32 value
//              u32 n feedbacks: u8 named, [name], f64 initial, f64 current,
//                               u32 value, u32 set node
//              u32 n outputs:   name, operand, u8 float64
//   operand    u8 0 value (u32 index) | 1 Sample (u32) | 2 count (u64) | 3 double (f64)
//   name       u32 length, UTF-8
#include "blocks/state.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <tuple>

#include "blocks/arrays.hpp"
#include "blocks/entries.hpp"
#include "blocks/rows.hpp"

namespace vorda::blocks {
namespace {

constexpr char kMagic[4] = {'v', 'r', 'd', 'a'};
constexpr std::uint16_t kVersion = 1;
enum : std::uint8_t { kInstance = 0, kPatch = 1 };
constexpr std::uint32_t kNone = 0xffffffffu;

// Bad bytes, on their way to ValueError.
struct BadSnapshot {
  std::string message;
};
[[noreturn]] void bad(std::string message) { throw BadSnapshot{std::move(message)}; }

// Writes a snapshot twice: once to learn its length, then into the bytes
// object itself, so a large buffer is copied once.
class Writer {
 public:
  explicit Writer(char* out = nullptr) : out_(out) {}
  std::size_t size() const { return size_; }

  void u8(std::uint8_t v) { put(&v, 1); }
  void u16(std::uint16_t v) { little(v); }
  void u32(std::uint32_t v) { little(v); }
  void u64(std::uint64_t v) { little(v); }
  void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
  void name(const std::string& text) {
    u32(static_cast<std::uint32_t>(text.size()));
    put(text.data(), text.size());
  }
  void put(const void* data, std::size_t bytes) {
    if (out_ != nullptr) std::memcpy(out_ + size_, data, bytes);
    size_ += bytes;
  }

  // A processor's field, as its `state` lists it.
  template <class T>
  void operator()(const T& field) {
    if constexpr (std::is_same_v<T, Sample>) {
      u32(std::bit_cast<std::uint32_t>(field));
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
      u64(field);
    } else if constexpr (std::is_enum_v<T>) {
      u8(static_cast<std::uint8_t>(field));
    } else if constexpr (std::is_same_v<T, SampleRing>) {
      u64(field.size());
      u64(field.write_position());
      const Sample* slots = field.contents();
      if constexpr (std::endian::native == std::endian::little) {
        put(slots, field.size() * sizeof(Sample));  // the buffer is the format already
      } else {
        for (std::uint64_t i = 0; i < field.size(); ++i) u32(std::bit_cast<std::uint32_t>(slots[i]));
      }
    } else {
      T::state(field, *this);
    }
  }

 private:
  template <class T>
  void little(T v) {
    unsigned char bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
    put(bytes, sizeof(T));
  }

  char* out_;
  std::size_t size_ = 0;
};

// The bytes `write(writer)` writes, as a bytes object.
template <class Write>
PyObject* written(Write&& write) {
  Writer count;
  write(count);
  Owned bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count.size())));
  Writer out(PyBytes_AS_STRING(bytes.get()));
  write(out);
  return bytes.release();
}

class Reader {
 public:
  Reader(const unsigned char* data, std::size_t size) : at_(data), end_(data + size) {}

  std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }
  const char* what = "snapshot";  // what is being read, for messages

  std::uint8_t u8() { return static_cast<std::uint8_t>(little(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(little(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
  std::uint64_t u64() { return little(8); }
  double f64() { return std::bit_cast<double>(u64()); }
  std::string name() {
    std::uint32_t length = u32();
    need(length, "a name");
    std::string text(reinterpret_cast<const char*>(at_), length);
    at_ += length;
    // A name becomes a str: it must be UTF-8.
    PyObject* check = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (check == nullptr) {
      PyErr_Clear();
      bad("a name in the snapshot is not UTF-8");
    }
    Py_DECREF(check);
    return text;
  }

  template <class T>
  void operator()(T& field) {
    if constexpr (std::is_same_v<T, Sample>) {
      field = std::bit_cast<Sample>(u32());
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
      field = u64();
    } else if constexpr (std::is_enum_v<T>) {
      field = static_cast<T>(u8());
    } else if constexpr (std::is_same_v<T, SampleRing>) {
      std::uint64_t slots = u64(), write_pos = u64();
      if (slots == 0 || (slots & (slots - 1)) != 0)
        bad(std::string("the buffer of a ") + what + " has " + std::to_string(slots) +
            " slots: not a power of two");
      if (slots > left() / sizeof(Sample))
        bad(std::string("the buffer of a ") + what + " has " + std::to_string(slots) +
            " slots, but the snapshot holds only " + std::to_string(left()) + " more bytes");
      if (write_pos >= slots)
        bad(std::string("the write position of a ") + what + " is " + std::to_string(write_pos) +
            ", beyond its " + std::to_string(slots) + " slots");
      Sample* data = field.replace(slots, write_pos);
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(data, at_, slots * sizeof(Sample));
        at_ += slots * sizeof(Sample);
      } else {
        for (std::uint64_t i = 0; i < slots; ++i) data[i] = std::bit_cast<Sample>(u32());
      }
    } else {
      T::state(field, *this);
    }
  }

 private:
  void need(std::size_t bytes, const char* item) {
    if (bytes > left())
      bad(std::string("the snapshot ends early, in ") + item + " of a " + what);
  }
  std::uint64_t little(std::size_t bytes) {
    need(bytes, "a field");
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= std::uint64_t{at_[i]} << (8 * i);
    at_ += bytes;
    return v;
  }

  const unsigned char* at_;
  const unsigned char* end_;
};

// --- The classes ------------------------------------------------------------------

// The vorda type of processor T, as the rows found it at import.
template <class T, class Rows>
PyTypeObject* const* type_in() {
  PyTypeObject* const* found = nullptr;
  std::apply(
      [&](auto... rows) {
        ((found = (found == nullptr &&
                   std::is_same_v<std::remove_const_t<typename decltype(rows)::Proc>, T>)
                      ? &decltype(rows)::type
                      : found),
         ...);
      },
      Rows{});
  return found;
}

template <class T>
PyTypeObject* type_of() {
  if (auto found = type_in<T, ProcessRows>()) return *found;
  return *type_in<T, ReadRows>();
}

struct ClassInfo {
  PyTypeObject* (*type)();
  void (*save)(PyObject*, Writer&);
  PyObject* (*load)(Reader&);
  BorrowFlag* (*borrow)(PyObject*);
};

template <class T>
ClassInfo class_info() {
  return {
      &type_of<T>,
      [](PyObject* object, Writer& out) {
        T::state(std::as_const(reinterpret_cast<Instance<T>*>(object)->value), out);
      },
      [](Reader& in) -> PyObject* {
        PyTypeObject* type = type_of<T>();
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) throw_error_set();
        auto* instance = reinterpret_cast<Instance<T>*>(self);
        new (&instance->value) T(Blank{});
        new (&instance->borrow) BorrowFlag(0);
        Owned owned(self);  // vorda's own deallocator frees what was read so far
        in.what = type->tp_name + std::strlen("builtins.");
        T::state(instance->value, in);
        if (!instance->value.consistent())
          bad(std::string("the snapshot's ") + in.what +
              " is not one vorda can make: its parameters, sizes or state disagree");
        return owned.release();
      },
      [](PyObject* object) { return &reinterpret_cast<Instance<T>*>(object)->borrow; },
  };
}

// Class tags: vorda's registration order.
template <class... T>
struct Types {};
using Classes = Types<SinOsc, WhiteNoise, Lfo, Biquad, LeakDc, DelayS, DelayN, DelayL, CombS,
                           CombN, CombL, AllpassS, AllpassN, AllpassL, RingBufferS, RingBufferN,
                           RingBufferL>;


const std::vector<ClassInfo>& classes() {
  static const std::vector<ClassInfo> table = []<class... T>(Types<T...>) {
    return std::vector<ClassInfo>{class_info<T>()...};
  }(Classes{});
  return table;
}

// The class tag of a vorda instance, or -1.
int tag_of(PyObject* object) {
  const auto& table = classes();
  for (std::size_t i = 0; i < table.size(); ++i)
    if (Py_TYPE(object) == table[i].type()) return static_cast<int>(i);
  return -1;
}

const std::vector<const RowInfo*>& operations() {
  static const std::vector<const RowInfo*> table = [] {
    std::vector<const RowInfo*> all;
    for (const auto* ops : {&process_rows(), &read_rows(), &write_rows()})
      for (const RowInfo& op : *ops) all.push_back(&op);
    all.push_back(&pan2_row());
    return all;
  }();
  return table;
}

int op_tag(const RowInfo* op) {
  const auto& table = operations();
  for (std::size_t i = 0; i < table.size(); ++i)
    if (table[i] == op) return static_cast<int>(i);
  return -1;
}

void header(Writer& out, std::uint8_t kind) {
  out.put(kMagic, 4);
  out.u16(kVersion);
  out.u8(kind);
}

void save_instance(PyObject* object, Writer& out) {
  int tag = tag_of(object);
  const ClassInfo& info = classes()[tag];
  SharedBorrow borrow(*info.borrow(object));
  out.u8(static_cast<std::uint8_t>(tag));
  info.save(object, out);
}

PyObject* load_instance(Reader& in) {
  std::uint8_t tag = in.u8();
  if (tag >= classes().size())
    bad("unknown class tag " + std::to_string(tag) + " (vorda has " +
        std::to_string(classes().size()) + " classes)");
  return classes()[tag].load(in);
}

// --- Patches ---------------------------------------------------------------------

std::vector<PyObject*> used_instances(const Patch& patch) {
  std::vector<PyObject*> used;
  for (const Node& node : patch.nodes)
    if (node.instance != nullptr && std::find(used.begin(), used.end(), node.instance) == used.end())
      used.push_back(node.instance);
  return used;
}

void save_operand(Writer& out, const Operand& operand, Kind kind, bool wide) {
  if (operand.is_value()) {
    out.u8(0);
    out.u32(static_cast<std::uint32_t>(operand.value));
  } else if (wide) {
    out.u8(3);
    out.f64(operand.constant.wide);
  } else if (kind == Kind::count) {
    out.u8(2);
    out.u64(operand.constant.count);
  } else {
    out.u8(1);
    out(operand.constant.sample);
  }
}

// What an operand may hold besides a value: the parameter's kind for a
// processor's argument, a double elsewhere.
enum class Constant : std::uint8_t { sample = 1, count = 2, wide = 3 };

// An index into one of the patch's tables (range-checked by `validate`).
int index(Reader& in) {
  std::uint32_t i = in.u32();
  if (i > 0x7fffffffu) bad("the patch refers to entry " + std::to_string(i) + ", which none has");
  return static_cast<int>(i);
}

Operand load_operand(Reader& in, Constant expected) {
  Operand operand;
  std::uint8_t tag = in.u8();
  if (tag == 0) {
    operand.value = index(in);
    return operand;
  }
  if (tag != static_cast<std::uint8_t>(expected))
    bad("an operand of the patch holds a number of the wrong kind for its place");
  if (expected == Constant::sample) {
    in(operand.constant.sample);
    operand.constant.wide = operand.constant.sample;
  } else if (expected == Constant::count) {
    operand.constant.count = in.u64();
  } else {
    operand.constant.wide = in.f64();
  }
  return operand;
}

void save_patch(const Patch& patch, Writer& out, bool with_instances) {
  out.u8(patch.schedule ? 1 : 0);
  out.u8(with_instances ? 1 : 0);
  auto used = used_instances(patch);
  out.u32(static_cast<std::uint32_t>(used.size()));
  for (PyObject* instance : used) {
    if (with_instances)
      save_instance(instance, out);
    else
      out.u8(static_cast<std::uint8_t>(tag_of(instance)));
  }
  out.u32(static_cast<std::uint32_t>(patch.values.size()));
  for (const ValueInfo& value : patch.values) {
    out.u8(value.kind == Kind::count ? 1 : 0);
    std::uint8_t origin = value.input >= 0 ? 0 : value.feedback >= 0 ? 1 : 2;
    out.u8(origin);
    out.u32(static_cast<std::uint32_t>(origin == 0   ? value.input
                                       : origin == 1 ? value.feedback
                                                     : value.node));
  }
  out.u32(static_cast<std::uint32_t>(patch.nodes.size()));
  for (const Node& node : patch.nodes) {
    out.u8(static_cast<std::uint8_t>(node.type));
    if (node.type == NodeType::op) {
      out.u16(static_cast<std::uint16_t>(op_tag(node.row)));
      auto where = std::find(used.begin(), used.end(), node.instance);
      out.u32(node.instance ? static_cast<std::uint32_t>(where - used.begin()) : kNone);
      out.u8(node.modulated ? 1 : 0);
    } else if (node.type == NodeType::arith) {
      out.u8(static_cast<std::uint8_t>(node.arith));
    } else {
      out.u32(static_cast<std::uint32_t>(node.feedback));
    }
    out.u32(static_cast<std::uint32_t>(node.args.size()));
    for (std::size_t i = 0; i < node.args.size(); ++i) {
      bool op = node.type == NodeType::op;
      save_operand(out, node.args[i], op ? node.row->kinds[i] : Kind::sample, !op);
    }
    out.u32(static_cast<std::uint32_t>(node.results.size()));
    for (int r : node.results) out.u32(static_cast<std::uint32_t>(r));
  }
  out.u32(static_cast<std::uint32_t>(patch.inputs.size()));
  for (const InputInfo& input : patch.inputs) {
    out.name(input.name);
    out.u8(input.kind == Kind::count ? 1 : 0);
    out.u32(static_cast<std::uint32_t>(input.value));
  }
  out.u32(static_cast<std::uint32_t>(patch.feedbacks.size()));
  for (const FeedbackInfo& f : patch.feedbacks) {
    out.u8(f.name ? 1 : 0);
    if (f.name) out.name(*f.name);
    out.f64(f.initial);
    out.f64(f.current);
    out.u32(static_cast<std::uint32_t>(f.value));
    out.u32(static_cast<std::uint32_t>(f.setter));
  }
  out.u32(static_cast<std::uint32_t>(patch.outputs.size()));
  for (const OutputInfo& output : patch.outputs) {
    out.name(output.name);
    save_operand(out, output.source, Kind::sample, true);
    out.u8(output.wide ? 1 : 0);
  }
}

// A count read from a snapshot, for entries that follow: bounded by the
// bytes left (each entry takes at least one), so nothing is reserved on
// the word of a crafted count.
std::uint32_t entries(Reader& in, const char* what) {
  std::uint32_t n = in.u32();
  if (n > in.left()) bad(std::string("the patch claims ") + std::to_string(n) + " " + what +
                         ", more than the snapshot's remaining bytes can hold");
  return n;
}

// Everything a recording must be for a patch to have recorded it: values
// and their origins agree, every operand refers to a value computed before
// it or to an input or a feedback, kinds fit parameters, names are unique.
void validate(const Patch& patch, const std::vector<PyObject*>& instances, bool compiled) {
  const int values = static_cast<int>(patch.values.size());
  auto fail = [](const std::string& what) { bad("the patch's recording is inconsistent: " + what); };
  std::vector<int> made_by(values, -1);
  for (int v = 0; v < values; ++v) {
    const ValueInfo& value = patch.values[v];
    if (value.input >= 0) {
      if (value.input >= static_cast<int>(patch.inputs.size()) ||
          patch.inputs[value.input].value != v || patch.inputs[value.input].kind != value.kind)
        fail("value " + std::to_string(v) + " and its input disagree");
    } else if (value.feedback >= 0) {
      if (value.feedback >= static_cast<int>(patch.feedbacks.size()) ||
          patch.feedbacks[value.feedback].value != v || value.kind != Kind::sample)
        fail("value " + std::to_string(v) + " and its feedback disagree");
    } else {
      if (value.node < 0 || value.node >= static_cast<int>(patch.nodes.size()) ||
          value.kind != Kind::sample)
        fail("value " + std::to_string(v) + " comes from no operation");
      made_by[v] = value.node;
    }
  }
  for (std::size_t i = 0; i < patch.inputs.size(); ++i) {
    const InputInfo& input = patch.inputs[i];
    if (input.value < 0 || input.value >= values || patch.values[input.value].input != static_cast<int>(i))
      fail("input " + std::to_string(i) + " has no value");
    if (input.name == "n") fail("an input is named 'n'");
    for (std::size_t j = 0; j < i; ++j)
      if (patch.inputs[j].name == input.name) fail("two inputs are named '" + input.name + "'");
  }
  for (std::size_t i = 0; i < patch.outputs.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (patch.outputs[j].name == patch.outputs[i].name)
        fail("two outputs are named '" + patch.outputs[i].name + "'");

  auto check_operand = [&](const Operand& operand, int before, Kind kind, const std::string& where) {
    if (operand.is_value()) {
      if (operand.value >= values) fail(where + " refers to no value");
      const ValueInfo& value = patch.values[operand.value];
      if (value.kind != kind) fail(where + " takes a value of another kind");
      if (made_by[operand.value] >= before) fail(where + " uses a value computed after it");
    }
  };
  for (int n = 0; n < static_cast<int>(patch.nodes.size()); ++n) {
    const Node& node = patch.nodes[n];
    const std::string where = "operation " + std::to_string(n);
    std::size_t expected_args = 0, expected_results = 0;
    if (node.type == NodeType::op) {
      const RowInfo& op = *node.row;
      if (node.modulated && op.modulated == 0) fail(where + " modulates what has no modulation");
      expected_args = static_cast<std::size_t>(op.params + (node.modulated ? op.modulated : 0));
      expected_results = static_cast<std::size_t>(op.results);
      if ((op.type == nullptr) != (node.instance == nullptr) ||
          (node.instance != nullptr && Py_TYPE(node.instance) != *op.type))
        fail(where + " is not an operation of its instance's class");
      for (std::size_t a = 0; a < node.args.size() && a < expected_args; ++a)
        check_operand(node.args[a], n, op.kinds[a], where);
    } else if (node.type == NodeType::arith) {
      if (node.arith > Arith::tanh) fail(where + " is an unknown arithmetic operation");
      expected_args = static_cast<std::size_t>(arith_arity(node.arith));
      expected_results = 1;
    } else if (node.type == NodeType::set) {
      if (node.feedback < 0 || node.feedback >= static_cast<int>(patch.feedbacks.size()) ||
          patch.feedbacks[node.feedback].setter != n)
        fail(where + " sets a feedback that is not its own");
      expected_args = 1;
    } else {
      fail(where + " is of an unknown type");
    }
    if (node.args.size() != expected_args) fail(where + " has the wrong number of arguments");
    if (node.type != NodeType::op)
      for (const Operand& arg : node.args) check_operand(arg, n, Kind::sample, where);
    if (node.results.size() != expected_results) fail(where + " has the wrong number of results");
    for (int r : node.results)
      if (r >= values || made_by[r] != n) fail(where + " and its results disagree");
  }
  for (int v = 0; v < values; ++v)
    if (made_by[v] >= 0 &&
        std::count(patch.nodes[made_by[v]].results.begin(), patch.nodes[made_by[v]].results.end(), v) != 1)
      fail("value " + std::to_string(v) + " is not among its operation's results");
  for (std::size_t f = 0; f < patch.feedbacks.size(); ++f) {
    int setter = patch.feedbacks[f].setter;
    if (setter >= static_cast<int>(patch.nodes.size()) ||
        (setter >= 0 && (patch.nodes[setter].type != NodeType::set ||
                         patch.nodes[setter].feedback != static_cast<int>(f))))
      fail("feedback " + std::to_string(f) + " and the operation setting it disagree");
    if (compiled && setter < 0) fail("a compiled patch has a feedback never set");
    int value = patch.feedbacks[f].value;
    if (value < 0 || value >= values || patch.values[value].feedback != static_cast<int>(f))
      fail("feedback " + std::to_string(f) + " has no value");
  }
  for (const OutputInfo& output : patch.outputs)
    check_operand(output.source, static_cast<int>(patch.nodes.size()), Kind::sample, "an output");
  for (PyObject* instance : instances)
    if (std::none_of(patch.nodes.begin(), patch.nodes.end(),
                     [&](const Node& node) { return node.instance == instance; }))
      fail("an instance is used by no operation");
}

std::unique_ptr<Patch> load_patch(Reader& in, PyObject* given) {
  auto patch = std::make_unique<Patch>();
  const bool compiled = in.u8() != 0;
  const std::uint8_t inline_instances = in.u8();
  if (inline_instances > 1) bad("the patch's instances are neither inline nor left out");
  std::uint32_t count = entries(in, "instances");
  std::vector<Owned> held;
  if (inline_instances) {
    if (given != nullptr && given != Py_None)
      bad("the snapshot holds its patch's instances: give restore() none");
    for (std::uint32_t i = 0; i < count; ++i) held.emplace_back(load_instance(in));
  } else {
    if (given == nullptr || given == Py_None)
      bad("the snapshot leaves its patch's instances out: give them to restore() as instances=");
    Owned sequence = checked(PySequence_Tuple(given));
    if (PyTuple_GET_SIZE(sequence.get()) != static_cast<Py_ssize_t>(count))
      bad("the snapshot's patch uses " + std::to_string(count) + " instances, but " +
          std::to_string(PyTuple_GET_SIZE(sequence.get())) + " were given");
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint8_t tag = in.u8();
      if (tag >= classes().size()) bad("unknown class tag " + std::to_string(tag));
      PyObject* instance = PyTuple_GET_ITEM(sequence.get(), i);
      if (Py_TYPE(instance) != classes()[tag].type())
        bad("instance " + std::to_string(i) + " given is a " + type_name(instance) +
            ", but the snapshot's patch used a " +
            (classes()[tag].type()->tp_name + std::strlen("builtins.")));
      held.emplace_back(Py_NewRef(instance));
    }
  }
  for (std::uint32_t i = 0, n = entries(in, "values"); i < n; ++i) {
    ValueInfo value;
    value.kind = in.u8() ? Kind::count : Kind::sample;
    std::uint8_t origin = in.u8();
    int from = index(in);
    if (origin == 0)
      value.input = from;
    else if (origin == 1)
      value.feedback = from;
    else if (origin == 2)
      value.node = from;
    else
      bad("a value of the patch has an unknown origin");
    patch->values.push_back(value);
  }
  const auto& ops = operations();
  for (std::uint32_t i = 0, n = entries(in, "operations"); i < n; ++i) {
    Node node;
    std::uint8_t type = in.u8();
    if (type == 0) {
      node.type = NodeType::op;
      std::uint16_t tag = in.u16();
      if (tag >= ops.size()) bad("unknown operation tag " + std::to_string(tag));
      node.row = ops[tag];
      std::uint32_t instance = in.u32();
      if (instance != kNone) {
        if (instance >= held.size()) bad("an operation refers to no instance");
        node.instance = Py_NewRef(held[instance].get());
      }
      node.modulated = in.u8() != 0;
    } else if (type == 1) {
      node.type = NodeType::arith;
      node.arith = static_cast<Arith>(in.u8());
    } else if (type == 2) {
      node.type = NodeType::set;
      node.feedback = index(in);
    } else {
      bad("an operation of the patch has an unknown type");
    }
    // Push before reading on, so that the instance reference is released
    // with the patch if what follows is bad.
    patch->nodes.push_back(std::move(node));
    Node& added = patch->nodes.back();
    const std::uint32_t args = entries(in, "operands");
    const bool op = added.type == NodeType::op;
    if (op && args != static_cast<std::uint32_t>(
                          added.row->params + (added.modulated ? added.row->modulated : 0)))
      bad("an operation of the patch has the wrong number of arguments");
    for (std::uint32_t a = 0; a < args; ++a) {
      Constant expected = !op                                  ? Constant::wide
                          : added.row->kinds[a] == Kind::count ? Constant::count
                                                              : Constant::sample;
      added.args.push_back(load_operand(in, expected));
    }
    for (std::uint32_t r = 0, results = entries(in, "results"); r < results; ++r)
      added.results.push_back(index(in));
  }
  for (std::uint32_t i = 0, n = entries(in, "inputs"); i < n; ++i) {
    InputInfo input;
    input.name = in.name();
    input.kind = in.u8() ? Kind::count : Kind::sample;
    input.value = index(in);
    patch->inputs.push_back(std::move(input));
  }
  for (std::uint32_t i = 0, n = entries(in, "feedbacks"); i < n; ++i) {
    FeedbackInfo f;
    if (in.u8()) f.name = in.name();
    f.initial = in.f64();
    f.current = in.f64();
    f.value = index(in);
    std::uint32_t setter = in.u32();
    if (setter != kNone && setter > 0x7fffffffu) bad("a feedback is set by no operation");
    f.setter = setter == kNone ? -1 : static_cast<int>(setter);
    patch->feedbacks.push_back(std::move(f));
  }
  for (std::uint32_t i = 0, n = entries(in, "outputs"); i < n; ++i) {
    OutputInfo output;
    output.name = in.name();
    output.source = load_operand(in, Constant::wide);
    output.wide = in.u8() != 0;
    patch->outputs.push_back(std::move(output));
  }
  std::vector<PyObject*> instances;
  for (const Owned& o : held) instances.push_back(o.get());
  validate(*patch, instances, compiled);
  if (compiled) compile(*patch);
  return patch;
}

// The bytes of a snapshot: anything with the buffer protocol.
struct Bytes {
  Py_buffer view{};
  explicit Bytes(PyObject* data) {
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      raise(PyExc_TypeError, "restore() takes the bytes of a snapshot, not " + type_name(data));
    }
  }
  ~Bytes() { PyBuffer_Release(&view); }
  Reader reader() const {
    return Reader(static_cast<const unsigned char*>(view.buf), static_cast<std::size_t>(view.len));
  }
};

std::uint8_t read_header(Reader& in) {
  if (in.left() < 7) bad("not a vorda snapshot: too short");
  char magic[4];
  for (char& c : magic) c = static_cast<char>(in.u8());
  if (std::memcmp(magic, kMagic, 4) != 0) bad("not a vorda snapshot: it does not begin with 'vrda'");
  std::uint16_t version = in.u16();
  if (version > kVersion)
    bad("the snapshot is of format version " + std::to_string(version) +
        ", newer than this vorda_blocks reads (" + std::to_string(kVersion) + "): upgrade vorda");
  if (version == 0) bad("the snapshot is of format version 0, which no vorda wrote");
  std::uint8_t kind = in.u8();
  if (kind > kPatch) bad("the snapshot is of an unknown kind " + std::to_string(kind));
  return kind;
}

void finish(const Reader& in) {
  if (in.left() != 0)
    bad(std::to_string(in.left()) + " bytes follow the end of the snapshot");
}

template <class F>
auto as_value_error(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const BadSnapshot& e) {
    raise(PyExc_ValueError, e.message);
  }
}

PyObject* snapshot(PyObject* object, bool with_instances) {
  if (is_patch(object)) return snapshot_patch(object, with_instances);
  if (tag_of(object) < 0)
    raise(PyExc_TypeError, "snapshot() takes an instance of a vorda class or a Patch, not " +
                               type_name(object));
  return written([&](Writer& out) {
    header(out, kInstance);
    save_instance(object, out);
  });
}

PyObject* restore(PyObject* data, PyObject* instances) {
  Bytes bytes(data);
  Reader in = bytes.reader();
  return as_value_error([&]() -> PyObject* {
    if (read_header(in) == kInstance) {
      if (instances != nullptr && instances != Py_None)
        bad("instances= is for a patch's snapshot, and this one is of an instance");
      Owned object(load_instance(in));
      finish(in);
      return object.release();
    }
    auto patch = load_patch(in, instances);
    finish(in);
    return new_patch_object(patch_type_object(), std::move(patch));
  });
}

// copyreg's reducer for every vorda class: rebuilt by vorda_blocks.restore
// from the snapshot.
PyObject* reduce_instance(PyObject* module, PyObject* object) noexcept {
  return guarded([&]() -> PyObject* {
    Owned restore = checked(PyObject_GetAttrString(module, "restore"));
    Owned data(snapshot(object, true));
    return checked(Py_BuildValue("(O(O))", restore.get(), data.get())).release();
  });
}

PyMethodDef reduce_def = {"_reduce", reinterpret_cast<PyCFunction>(&reduce_instance), METH_O,
                          "How pickle and copy take a vorda instance: by its snapshot."};

}  // namespace

PyObject* snapshot_patch(PyObject* object, bool with_instances) {
  SharedBorrow borrow(patch_borrow(object));
  return written([&](Writer& out) {
    header(out, kPatch);
    save_patch(patch_in(object), out, with_instances);
  });
}

std::unique_ptr<Patch> restore_patch(PyObject* data, PyObject* instances) {
  Bytes bytes(data);
  Reader in = bytes.reader();
  return as_value_error([&] {
    if (read_header(in) != kPatch) bad("the snapshot is of an instance, not of a patch");
    auto patch = load_patch(in, instances);
    finish(in);
    return patch;
  });
}

PyObject* instances_of(const Patch& patch) {
  auto used = used_instances(patch);
  Owned tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(used.size())));
  for (std::size_t i = 0; i < used.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(used[i]));
  return tuple.release();
}

PyObject* snapshot_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"obj", "instances"};
    static constexpr Signature sig{nullptr, "snapshot", names, 2, 1, 1};
    PyObject* slots[2] = {};
    match_vector(sig, args, nargs, kwnames, slots);
    bool with_instances = true;
    if (slots[1] != nullptr) {
      int truth = PyObject_IsTrue(slots[1]);
      if (truth < 0) throw_error_set();
      with_instances = truth == 1;
    }
    return snapshot(slots[0], with_instances);
  });
}

PyObject* restore_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr const char* names[] = {"data", "instances"};
    static constexpr Signature sig{nullptr, "restore", names, 2, 1, 0};
    PyObject* slots[2] = {};
    match_vector(sig, args, nargs, kwnames, slots);
    return restore(slots[0], slots[1]);
  });
}

void register_with_copyreg(PyObject* module) {
  Owned copyreg = checked(PyImport_ImportModule("copyreg"));
  Owned reducer = checked(PyCFunction_NewEx(&reduce_def, module, nullptr));
  for (const ClassInfo& info : classes()) {
    Owned done = checked(PyObject_CallMethod(copyreg.get(), "pickle", "OO",
                                             reinterpret_cast<PyObject*>(info.type()),
                                             reducer.get()));
  }
}

}  // namespace vorda::blocks
