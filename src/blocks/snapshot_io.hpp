// The snapshot format: how its bytes are written and read, and what every
// snapshot begins with. Instances (state.cpp) and patches (patch_state.cpp)
// are written and read through these.
//
// The format, version 1. All numbers little-endian; a Sample is its IEEE
// bits (u32), a double likewise (u64), so NaN payloads and signed zeros
// survive.
//
//   snapshot   "vrda"  u16 version  u8 kind (0 instance, 1 patch)  body
//   instance   u8 class tag (snapshot_tags.hpp),
//              then the class's fields in the order of its `state`:
//                Sample u32 | count u64 | choice u8 (Lfo's waveform) |
//                ring: u64 slots (a power of two), u64 write position, slots x u32
//   patch      u8 compiled  u8 instances inline (1) or left out (0)
//              u32 n, then n instances (inline) or n class tags (left out)
//              then the recording, in the order of `visit_patch` (patch_state.cpp):
//              u32 n values:    u8 kind (0 sample, 1 count), u8 origin (0 input,
//                               1 feedback, 2 node), u32 origin index
//              u32 n nodes:     u8 type (0 operation, 1 arithmetic, 2 set)
//                operation      u16 operation tag (snapshot_tags.hpp), u32 instance
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
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "blocks/patch.hpp"
#include "blocks/python.hpp"
#include "ring_buffer.hpp"

namespace vorda::blocks {

inline constexpr char kMagic[4] = {'v', 'r', 'd', 'a'};
inline constexpr std::uint16_t kVersion = 1;
enum : std::uint8_t { kInstance = 0, kPatch = 1 };
inline constexpr std::uint32_t kNone = 0xffffffffu;

// Bad bytes, on their way to ValueError.
struct BadSnapshot {
  std::string message;
};
[[noreturn]] inline void bad(std::string message) {
  throw BadSnapshot{std::move(message)};
}

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
        for (std::uint64_t i = 0; i < field.size(); ++i)
          u32(std::bit_cast<std::uint32_t>(slots[i]));
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
    PyObject* check =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
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
    if (bytes > left()) bad(std::string("the snapshot ends early, in ") + item + " of a " + what);
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

inline void write_header(Writer& out, std::uint8_t kind) {
  out.put(kMagic, 4);
  out.u16(kVersion);
  out.u8(kind);
}

// The snapshot's kind, after checking what precedes it.
inline std::uint8_t read_header(Reader& in) {
  if (in.left() < 7) bad("not a vorda snapshot: too short");
  char magic[4];
  for (char& c : magic) c = static_cast<char>(in.u8());
  if (std::memcmp(magic, kMagic, 4) != 0)
    bad("not a vorda snapshot: it does not begin with 'vrda'");
  std::uint16_t version = in.u16();
  if (version > kVersion)
    bad("the snapshot is of format version " + std::to_string(version) +
        ", newer than this vorda_blocks reads (" + std::to_string(kVersion) + "): upgrade vorda");
  if (version == 0) bad("the snapshot is of format version 0, which no vorda wrote");
  std::uint8_t kind = in.u8();
  if (kind > kPatch) bad("the snapshot is of an unknown kind " + std::to_string(kind));
  return kind;
}

inline void finish(const Reader& in) {
  if (in.left() != 0) bad(std::to_string(in.left()) + " bytes follow the end of the snapshot");
}

// Bad bytes become ValueError.
template <class F>
auto as_value_error(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const BadSnapshot& e) {
    raise(PyExc_ValueError, e.message);
  }
}

// Instance records (state.cpp).
int tag_of(PyObject* object);  // the class tag of a vorda instance, or -1
int class_count();
PyTypeObject* class_type(int tag);
void save_instance(PyObject* object, Writer& out);
PyObject* load_instance(Reader& in);

// Patch records (patch_state.cpp).
void save_patch(const Patch& patch, Writer& out, bool with_instances);
std::unique_ptr<Patch> load_patch(Reader& in, PyObject* given);

}  // namespace vorda::blocks
