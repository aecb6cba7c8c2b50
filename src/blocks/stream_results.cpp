// What a stream gives back: its counters, the events as they took effect,
// the recording, and the inputs it played, which a twin of the patch run
// offline turns into the recording, bit for bit.
//
// Arrays are made before the store is locked and filled while it is: a
// numpy allocation can run a collection, and a collection Python code,
// which must not find the keeper's lock held.
#include <cstring>

#include "blocks/arrays.hpp"
#include "blocks/stream_python.hpp"

namespace vorda::blocks {
namespace {

void set_item(PyObject* dict, const char* key, PyObject* value) {
  Owned owned(value);
  if (!owned || PyDict_SetItemString(dict, key, owned.get()) < 0) throw_error_set();
}

PyObject* number(const InputInfo& input, const Held& value) {
  return input.kind == Kind::count ? PyLong_FromUnsignedLongLong(value.count)
                                   : PyFloat_FromDouble(value.wide);
}

// What the keeper has stored so far: the frames, the events among them.
struct Lengths {
  std::size_t frames = 0;
  std::size_t events = 0;
};

Lengths lengths(StreamEngine& engine) {
  Lengths found;
  engine.with_store([&](const Store& store) {
    found.frames = store.frames;
    found.events = store.applied.size();
  });
  return found;
}

void check_recorded(const StreamEngine& engine, bool recorded, const char* what) {
  if (!recorded)
    raise(PyExc_RuntimeError, std::string("Stream.") + what +
                                  "(): the stream keeps nothing unless made with record=True");
  const StreamStats stats = engine.stats();
  if (stats.dropped_blocks > 0 || stats.lost_events > 0)
    raise(PyExc_RuntimeError, std::string("Stream.") + what +
                                  "(): the recording is incomplete: the thread that " +
                                  "stores it fell behind (" + std::to_string(stats.dropped_blocks) +
                                  " blocks and " + std::to_string(stats.lost_events) +
                                  " events had no room); the sound played was not affected");
}

template <class T>
void copy_prefix(const Output& out, const std::vector<T>& from, std::size_t n) {
  std::memcpy(out.data(), from.data(), n * sizeof(T));
}

// The held values of control `input` over [0, frames): its value at the
// start, then each applied event from its sample on.
template <class T>
void fill_held(T* to, std::size_t frames, int input, T first, const std::vector<Applied>& applied,
               std::size_t events, T Held::* member) {
  std::size_t from = 0;
  T value = first;
  for (std::size_t e = 0; e < events; ++e) {
    const Applied& event = applied[e];
    if (event.input != input) continue;
    const std::size_t at = std::min<std::size_t>(event.time, frames);
    std::fill(to + from, to + at, value);
    from = at;
    value = event.value.*member;
  }
  std::fill(to + from, to + frames, value);
}

}  // namespace

PyObject* stats_dict(const StreamEngine& engine) {
  const StreamStats s = engine.stats();
  Owned dict = checked(PyDict_New());
  set_item(dict.get(), "blocks", PyLong_FromUnsignedLongLong(s.blocks));
  set_item(dict.get(), "late", PyLong_FromUnsignedLongLong(s.late));
  set_item(dict.get(), "xruns", PyLong_FromUnsignedLongLong(s.xruns));
  set_item(dict.get(), "load_mean", PyFloat_FromDouble(s.load_mean));
  set_item(dict.get(), "load_peak", PyFloat_FromDouble(s.load_peak));
  set_item(dict.get(), "protected", PyLong_FromUnsignedLongLong(s.protected_samples));
  set_item(dict.get(), "dropped", PyLong_FromUnsignedLongLong(s.dropped_blocks));
  set_item(dict.get(), "lost_events", PyLong_FromUnsignedLongLong(s.lost_events));
  set_item(dict.get(), "refused_events", PyLong_FromUnsignedLongLong(s.refused_events));
  set_item(dict.get(), "callback_seconds", PyFloat_FromDouble(s.callback_seconds));
  set_item(dict.get(), "run_seconds", PyFloat_FromDouble(s.run_seconds));
  return dict.release();
}

PyObject* events_list(StreamEngine& engine) {
  const Patch& patch = engine.patch();
  std::vector<Applied> applied;
  engine.with_store([&](const Store& store) { applied = store.applied; });
  Owned list = checked(PyList_New(static_cast<Py_ssize_t>(applied.size())));
  for (std::size_t e = 0; e < applied.size(); ++e) {
    const InputInfo& input = patch.inputs[static_cast<std::size_t>(applied[e].input)];
    Owned value = checked(number(input, applied[e].value));
    PyObject* item = Py_BuildValue("(KsO)", static_cast<unsigned long long>(applied[e].time),
                                   input.name.c_str(), value.get());
    if (item == nullptr) throw_error_set();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(e), item);
  }
  return list.release();
}

PyObject* recording_of(StreamEngine& engine, bool recorded) {
  check_recorded(engine, recorded, "recording");
  const Patch& patch = engine.patch();
  const StreamLayout& layout = engine.layout();
  const std::size_t frames = lengths(engine).frames;
  std::vector<Output> outs(layout.channel_output.size());
  for (std::size_t k = 0; k < outs.size(); ++k) {
    const bool wide = patch.outputs[static_cast<std::size_t>(layout.channel_output[k])].wide;
    new_out(outs[k], static_cast<Py_ssize_t>(frames), wide ? np.float64 : np.float32);
  }
  engine.with_store([&](const Store& store) {
    for (std::size_t k = 0; k < outs.size(); ++k) {
      if (patch.outputs[static_cast<std::size_t>(layout.channel_output[k])].wide)
        copy_prefix(outs[k], store.wide[k], frames);
      else
        copy_prefix(outs[k], store.narrow[k], frames);
    }
  });
  if (outs.size() == 1) return outs[0].array.release();
  Owned tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(outs.size())));
  for (std::size_t k = 0; k < outs.size(); ++k)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), outs[k].array.release());
  return tuple.release();
}

PyObject* played_inputs_of(StreamEngine& engine, bool recorded) {
  check_recorded(engine, recorded, "played_inputs");
  const Patch& patch = engine.patch();
  const StreamLayout& layout = engine.layout();
  const Lengths length = lengths(engine);
  std::vector<Output> arrays(patch.inputs.size());
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    PyObject* dtype = layout.capture_of[i] >= 0             ? np.float32
                      : patch.inputs[i].kind == Kind::count ? np.uint64
                                                            : np.float64;
    new_out(arrays[i], static_cast<Py_ssize_t>(length.frames), dtype);
  }
  const std::vector<Held>& first = engine.held_at_start();
  engine.with_store([&](const Store& store) {
    std::size_t captured = 0;
    for (std::size_t i = 0; i < arrays.size(); ++i) {
      const int input = static_cast<int>(i);
      if (layout.capture_of[i] >= 0)
        copy_prefix(arrays[i], store.captured[captured++], length.frames);
      else if (patch.inputs[i].kind == Kind::count)
        fill_held(static_cast<std::uint64_t*>(arrays[i].data()), length.frames, input,
                  first[i].count, store.applied, length.events, &Held::count);
      else
        fill_held(static_cast<double*>(arrays[i].data()), length.frames, input, first[i].wide,
                  store.applied, length.events, &Held::wide);
    }
  });
  Owned dict = checked(PyDict_New());
  for (std::size_t i = 0; i < arrays.size(); ++i)
    set_item(dict.get(), patch.inputs[i].name.c_str(), arrays[i].array.release());
  return dict.release();
}

PyObject* devices_entry(PyObject*, PyObject*) noexcept {
  return stream_guarded([&]() -> PyObject* {
    std::vector<audio::DeviceInfo> found;
    {
      Unlocked unlocked(true);  // asking a server or the sound cards takes a while
      found = audio::devices();
    }
    Owned list = checked(PyList_New(0));
    // Each backend has its defaults; the default here is the one a stream
    // gets when given no device (JACK's come first).
    bool output_taken = false, input_taken = false;
    for (std::size_t k = 0; k < found.size(); ++k) {
      const audio::DeviceInfo& d = found[k];
      const bool is_default = d.default_output && !output_taken;
      const bool is_default_input = d.default_input && !input_taken;
      output_taken = output_taken || is_default;
      input_taken = input_taken || is_default_input;
      Owned item = checked(PyDict_New());
      set_item(item.get(), "index", PyLong_FromSize_t(k));
      set_item(item.get(), "name", PyUnicode_FromString(d.name.c_str()));
      set_item(item.get(), "backend", PyUnicode_FromString(d.backend.c_str()));
      set_item(item.get(), "inputs", PyLong_FromLong(d.inputs));
      set_item(item.get(), "outputs", PyLong_FromLong(d.outputs));
      set_item(item.get(), "default", PyBool_FromLong(is_default));
      set_item(item.get(), "default_input", PyBool_FromLong(is_default_input));
      set_item(item.get(), "sample_rate", PyFloat_FromDouble(d.sample_rate));
      if (PyList_Append(list.get(), item.get()) < 0) throw_error_set();
    }
    return list.release();
  });
}

}  // namespace vorda::blocks
