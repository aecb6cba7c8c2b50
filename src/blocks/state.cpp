// Snapshots of instances, the entry points vb.snapshot and vb.restore, and
// the registration with copyreg that pickle and copy go through.
//
// A snapshot keeps everything a later call or property read can observe and
// nothing else: each processor lists that itself (`state` in its header),
// and the same list writes a snapshot and reads it back, so the two cannot
// drift apart. Reading trusts nothing: every tag, length and index is
// checked, a buffer is allocated only once the bytes to fill it are known to
// be there, and a restored instance must be one that vorda could have made.
// Bad bytes give ValueError. (The format: snapshot_io.hpp.)
#include "blocks/state.hpp"

#include <tuple>

#include "blocks/snapshot_io.hpp"
#include "blocks/snapshot_tags.hpp"

namespace vorda::blocks {
namespace {

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
        in.what = bare_type_name(type);
        T::state(instance->value, in);
        if (!instance->value.consistent())
          bad(std::string("the snapshot's ") + in.what +
              " is not one vorda can make: its parameters, sizes or state disagree");
        return owned.release();
      },
      [](PyObject* object) { return &reinterpret_cast<Instance<T>*>(object)->borrow; },
  };
}

const std::vector<ClassInfo>& classes() {
  static const std::vector<ClassInfo> table = []<class... T>(TypeList<T...>) {
    return std::vector<ClassInfo>{class_info<T>()...};
  }(Classes{});
  return table;
}

}  // namespace

int tag_of(PyObject* object) {
  const auto& table = classes();
  for (std::size_t i = 0; i < table.size(); ++i)
    if (Py_TYPE(object) == table[i].type()) return static_cast<int>(i);
  return -1;
}

int class_count() {
  return static_cast<int>(classes().size());
}
PyTypeObject* class_type(int tag) {
  return classes()[tag].type();
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

namespace {

PyObject* snapshot(PyObject* object, bool with_instances) {
  if (is_patch(object)) return snapshot_patch(object, with_instances);
  if (tag_of(object) < 0)
    raise(PyExc_TypeError,
          "snapshot() takes an instance of a vorda class or a Patch, not " + type_name(object));
  return written([&](Writer& out) {
    write_header(out, kInstance);
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

PyObject* snapshot_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    using List = ParamList<req("obj"), opt("instances", "True")>;
    static constexpr Signature sig{nullptr,     "snapshot",     List::names,
                                   List::count, List::required, 1};
    PyObject* slots[List::count] = {};
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
    using List = ParamList<req("data"), opt("instances")>;
    static constexpr Signature sig{nullptr, "restore", List::names, List::count, List::required};
    PyObject* slots[List::count] = {};
    match_vector(sig, args, nargs, kwnames, slots);
    return restore(slots[0], slots[1]);
  });
}

void register_with_copyreg(PyObject* module) {
  Owned copyreg = checked(PyImport_ImportModule("copyreg"));
  Owned reducer = checked(PyCFunction_NewEx(&reduce_def, module, nullptr));
  for (const ClassInfo& info : classes()) {
    Owned done = checked(PyObject_CallMethod(
        copyreg.get(), "pickle", "OO", reinterpret_cast<PyObject*>(info.type()), reducer.get()));
  }
}

}  // namespace vorda::blocks
