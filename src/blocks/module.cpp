// PyInit_vorda_blocks: the module object, and the binding to vorda's types.
//
// The instances this module works on are vorda's own. It reads them
// through the frame's instance layout, which is checked against vorda's
// types at import. (Both modules build their parameter lists and text
// signatures from the one operation table, so those cannot disagree.)
#include <string>

#include "blocks/arrays.hpp"
#include "blocks/entries.hpp"
#include "blocks/state.hpp"
#include "blocks/stream_python.hpp"
#include "blocks/units.hpp"

namespace vorda::blocks {
namespace {

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
    {"snapshot", fastcall<&snapshot_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "snapshot(obj, /, *, instances=True)\n--\n\n"
     "The state of a vorda instance or a Patch, as bytes: everything a later\n"
     "call or property read can observe. `vb.restore` makes a twin of it that\n"
     "continues bit for bit where `obj` stands; `obj` is not changed.\n\n"
     "A patch's snapshot holds its instances (shared ones once); with\n"
     "instances=False it leaves them out, and restore takes them back."},
    {"restore", fastcall<&restore_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "restore(data, /, instances=None)\n--\n\n"
     "The instance or Patch a snapshot was taken of, as a new object.\n\n"
     "`instances` gives a patch snapshot taken with instances=False its\n"
     "instances, in the order of `Patch.instances`. Bytes that are not a\n"
     "snapshot this vorda_blocks can read raise ValueError saying why."},
    {"devices", &devices_entry, METH_NOARGS,
     "devices()\n--\n\n"
     "The audio devices the backends see, as dicts: index, name, backend\n"
     "('jack', 'alsa', ...), inputs and outputs (channel counts), default (the\n"
     "one a Stream plays through when given none), default_input, sample_rate.\n"
     "Raises RuntimeError, saying what to install, if no audio library is found."},
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
    Owned module = checked(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    create_patch_types(module.get());
    create_stream_type(module.get());
    // The class vorda's panics raise, so that they can be caught by name.
    if (PyModule_AddObjectRef(module.get(), "PanicException", panic_exception_type()) < 0)
      throw_error_set();
    // Which build of the kernels runs (units.hpp): "x86-64-v3" or "baseline".
    if (PyModule_AddStringConstant(module.get(), "instruction_set", kernels().target) < 0)
      throw_error_set();
    register_with_copyreg(module.get());
    cached_module = module.release();
  });
  return Py_NewRef(cached_module);
}

}  // namespace
}  // namespace vorda::blocks

PyMODINIT_FUNC PyInit_vorda_blocks(void) {
  return vorda::guarded([] { return vorda::blocks::import_module(); });
}
