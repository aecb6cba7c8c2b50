// vorda_blocks.Stream: a compiled patch played live, and vb.devices().
//
// The Python side never waits for the audio thread. Starting and stopping
// wait for the backend (a JACK server's cycle), so they let go of the
// interpreter lock meanwhile: a JACK client written in Python in the same
// process (as the tests have) must be able to run its own callbacks then.
// The stream's borrow keeps two Python threads from starting or stopping
// it at once.
#include <set>

#include "blocks/arrays.hpp"
#include "blocks/state.hpp"
#include "blocks/stream_python.hpp"

namespace vorda::blocks {
namespace {

PyTypeObject* stream_type = nullptr;
// Streams that are open, for the interpreter's exit (a stream left
// running must not outlive the interpreter). Under the interpreter lock.
std::set<StreamObject*> open_streams;

StreamObject* as_stream(PyObject* object) {
  return reinterpret_cast<StreamObject*>(object);
}

// A failure of the backend becomes the stream's `error`: the keeper has
// stopped the device and let the patch go already.
PyObject* noticed_error(StreamObject* self) {
  StreamState& state = *self->state;
  if (!state.error && state.engine && state.engine->failure())
    state.error =
        checked(PyObject_CallFunction(PyExc_RuntimeError, "s", state.engine->failure()->c_str()));
  return state.error.get();
}

// The engine for a call that needs the stream, or the failure raised. With
// the stream's exclusive borrow (`alone`), a failed run is also wound up
// (its keeper joined), which two threads must not do at once.
StreamEngine& live_engine(StreamObject* self, const char* what, bool alone) {
  if (PyObject* error = noticed_error(self)) {
    if (alone) {
      Unlocked unlocked(true);
      self->state->engine->stop();
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    throw_error_set();
  }
  StreamEngine* engine = self->state->engine.get();
  if (engine == nullptr || engine->closed())
    raise(PyExc_ValueError, std::string("Stream.") + what + "(): the stream is closed");
  return *engine;
}

void close_stream(StreamObject* self) {
  open_streams.erase(self);
  if (self->state == nullptr || !self->state->engine) return;
  Unlocked unlocked(true);
  self->state->engine->close();
}

// --- Making one -------------------------------------------------------------------

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return stream_guarded([&]() -> PyObject* {
    static const char* names[] = {"patch",  "outputs", "inputs", "sample_rate", "blocksize",
                                  "device", "backend", "record", "protect",     nullptr};
    PyObject *patch, *outputs = Py_None, *inputs = Py_None, *device = Py_None, *backend = Py_None;
    PyObject* rate = nullptr;
    PyObject* blocksize = nullptr;
    int record = 0, protect = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOpp:Stream", const_cast<char**>(names),
                                     &patch, &outputs, &inputs, &rate, &blocksize, &device,
                                     &backend, &record, &protect))
      throw_error_set();
    if (!is_patch(patch))
      raise(PyExc_TypeError, "Stream(): expected a vorda_blocks.Patch, not " + type_name(patch));
    Owned default_rate = checked(PyLong_FromLong(48000));
    Owned default_block = checked(PyLong_FromLong(64));
    StreamArgs parsed = stream_args(patch, outputs, inputs, rate ? rate : default_rate.get(),
                                    blocksize ? blocksize : default_block.get(), device, backend,
                                    record != 0, protect != 0);
    Patch& p = patch_in(patch);
    {
      ExclusiveBorrow borrow(patch_borrow(patch));
      if (p.cleared) raise(PyExc_RuntimeError, "the patch has been taken apart by the collector");
      if (!p.schedule) compile(p);
    }
    auto state = std::make_unique<StreamState>();
    state->channel_names = std::move(parsed.channel_names);
    state->has_value.assign(p.inputs.size(), false);
    {
      Unlocked unlocked(true);  // opening a device can take a while
      state->engine =
          std::make_unique<StreamEngine>(p, patch_borrow(patch), parsed.layout, parsed.request);
    }
    state->backend = state->engine->backend();
    state->device = state->engine->device_name();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw_error_set();
    as_stream(self)->patch = Py_NewRef(patch);
    as_stream(self)->state = state.release();
    new (&as_stream(self)->borrow) BorrowFlag(0);
    open_streams.insert(as_stream(self));
    return self;
  });
}

void stream_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  StreamObject* self = as_stream(object);
  close_stream(self);  // a stream collected while it runs is stopped first
  delete self->state;
  Py_XDECREF(self->patch);
  type->tp_free(object);
  Py_DECREF(type);
}

// --- Methods --------------------------------------------------------------------------

PyObject* start_method(PyObject* object, PyObject*) noexcept {
  return stream_guarded([&]() -> PyObject* {
    StreamObject* self = as_stream(object);
    ExclusiveBorrow borrow(self->borrow);
    StreamEngine& engine = live_engine(self, "start", true);
    if (engine.started()) Py_RETURN_NONE;
    const Patch& patch = engine.patch();
    for (std::size_t i = 0; i < patch.inputs.size(); ++i)
      if (engine.layout().capture_of[i] < 0 && !self->state->has_value[i])
        raise(PyExc_RuntimeError, "Stream.start(): control '" + patch.inputs[i].name +
                                      "' has no value: give it one first with set()");
    bool started;
    {
      Unlocked unlocked(true);
      started = engine.start(self->state->queued);
    }
    if (!started) already_borrowed();
    self->state->queued.clear();
    Py_RETURN_NONE;
  });
}

PyObject* stop_method(PyObject* object, PyObject*) noexcept {
  return stream_guarded([&]() -> PyObject* {
    StreamObject* self = as_stream(object);
    ExclusiveBorrow borrow(self->borrow);
    if (self->state->engine && self->state->engine->closed()) Py_RETURN_NONE;
    StreamEngine& engine = live_engine(self, "stop", true);
    {
      Unlocked unlocked(true);
      engine.stop();
    }
    live_engine(self, "stop", true);  // a failure found while stopping is still raised
    Py_RETURN_NONE;
  });
}

PyObject* close_method(PyObject* object, PyObject*) noexcept {
  return stream_guarded([&]() -> PyObject* {
    StreamObject* self = as_stream(object);
    ExclusiveBorrow borrow(self->borrow);
    noticed_error(self);
    close_stream(self);
    Py_RETURN_NONE;
  });
}

PyObject* enter_method(PyObject* object, PyObject*) noexcept {
  PyObject* started = start_method(object, nullptr);
  if (started == nullptr) return nullptr;
  Py_DECREF(started);
  return Py_NewRef(object);
}

PyObject* exit_method(PyObject* object, PyObject* const*, Py_ssize_t) noexcept {
  PyObject* closed = close_method(object, nullptr);
  if (closed == nullptr) return nullptr;
  Py_DECREF(closed);
  Py_RETURN_FALSE;
}

PyObject* set_method(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return stream_guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "value", "at"};
    static const Signature sig{"Stream", "set", names, 3, 2};
    PyObject* slots[3] = {};
    match_vector(sig, args, nargs, kwnames, slots);
    StreamObject* self = as_stream(object);
    SharedBorrow borrow(self->borrow);
    // Several threads may set at once: each push into the event queue is
    // made whole under the interpreter lock, so the queue has one writer.
    StreamEngine& engine = live_engine(self, "set", false);
    const std::size_t input = control_index(engine.patch(), engine.layout(), slots[0]);
    ControlEvent event;
    event.input = static_cast<int>(input);
    event.value = control_value(engine.patch(), input, slots[1]);
    event.time = event_time(slots[2]);
    event.order = engine.next_order();
    if (engine.started()) {
      if (!engine.send(event))
        raise(PyExc_RuntimeError, "Stream.set(): the event queue is full (" +
                                      std::to_string(engine.queue_capacity()) +
                                      " events wait for the audio thread): set fewer events ahead");
    } else if (event.time == kNextBlock) {
      engine.held()[input] = event.value;  // its value when the stream starts
      self->state->has_value[input] = true;
    } else {
      if (self->state->queued.size() >= engine.queue_capacity())
        raise(PyExc_RuntimeError, "Stream.set(): the event queue is full (" +
                                      std::to_string(engine.queue_capacity()) + " events)");
      self->state->queued.push_back(event);
    }
    Py_RETURN_NONE;
  });
}

template <PyObject* (*Result)(StreamObject*)>
PyObject* result_method(PyObject* object, PyObject*) noexcept {
  return stream_guarded([&]() -> PyObject* {
    StreamObject* self = as_stream(object);
    SharedBorrow borrow(self->borrow);
    noticed_error(self);
    return Result(self);
  });
}

PyObject* stats_of(StreamObject* self) {
  return stats_dict(*self->state->engine);
}
PyObject* events_of(StreamObject* self) {
  return events_list(*self->state->engine);
}
PyObject* recording_result(StreamObject* self) {
  return recording_of(*self->state->engine, self->state->engine->layout().record);
}
PyObject* played_result(StreamObject* self) {
  return played_inputs_of(*self->state->engine, self->state->engine->layout().record);
}

// --- Properties -----------------------------------------------------------------------

template <PyObject* (*Read)(StreamObject*)>
PyObject* getter(PyObject* object, void*) noexcept {
  return stream_guarded([&]() -> PyObject* { return Read(as_stream(object)); });
}

PyObject* time_of(StreamObject* self) {
  return checked(PyLong_FromUnsignedLongLong(self->state->engine->time())).release();
}
PyObject* running_of(StreamObject* self) {
  return Py_NewRef(self->state->engine->running() ? Py_True : Py_False);
}
PyObject* rate_of(StreamObject* self) {
  return checked(PyFloat_FromDouble(self->state->engine->layout().sample_rate)).release();
}
PyObject* blocksize_of(StreamObject* self) {
  return checked(PyLong_FromSize_t(self->state->engine->layout().blocksize)).release();
}
PyObject* latency_of(StreamObject* self) {
  StreamEngine& engine = *self->state->engine;
  if (!engine.has_started()) Py_RETURN_NONE;
  return checked(PyFloat_FromDouble(engine.latency())).release();
}
PyObject* backend_of(StreamObject* self) {
  return checked(PyUnicode_FromString(self->state->backend.c_str())).release();
}
PyObject* device_of(StreamObject* self) {
  return checked(PyUnicode_FromString(self->state->device.c_str())).release();
}
PyObject* error_of(StreamObject* self) {
  PyObject* error = noticed_error(self);
  return Py_NewRef(error != nullptr ? error : Py_None);
}
PyObject* outputs_of(StreamObject* self) {
  const auto& names = self->state->channel_names;
  Owned tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  for (std::size_t k = 0; k < names.size(); ++k)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k),
                     checked(PyUnicode_FromString(names[k].c_str())).release());
  return tuple.release();
}

PyMethodDef stream_methods[] = {
    {"set", fastcall<&set_method>(), METH_FASTCALL | METH_KEYWORDS,
     "set($self, /, name, value, at=None)\n--\n\n"
     "From sample `at` of the stream's clock on, control `name` holds `value`.\n\n"
     "With at=None the value lands at the start of the next block the audio\n"
     "thread computes; a time already computed lands there too. Events due at\n"
     "the same sample apply in the order they were set. Before start(), set()\n"
     "without `at` gives a control the value it starts with. Count inputs take\n"
     "ints. A full event queue raises RuntimeError (the audio thread never waits)."},
    {"start", fastcall<&start_method>(), METH_NOARGS,
     "start($self, /)\n--\n\n"
     "Start playing: the clock starts from 0, and the stream holds the patch and\n"
     "every instance it uses until stop()."},
    {"stop", fastcall<&stop_method>(), METH_NOARGS,
     "stop($self, /)\n--\n\n"
     "Stop playing. The patch and its instances are ordinary objects again, in\n"
     "the state the stream left them; what was recorded stays readable."},
    {"close", fastcall<&close_method>(), METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Stop, and let the device go. What was recorded stays readable."},
    {"stats", fastcall<&result_method<&stats_of>>(), METH_NOARGS,
     "stats($self, /)\n--\n\n"
     "Counters since start: blocks, late (computed slower than real time), xruns\n"
     "(as the backend reported them), load_mean and load_peak (time in the\n"
     "callback over the block's period), protected (samples the output\n"
     "protection changed), dropped and lost_events (what the recording had no\n"
     "room for), refused_events, callback_seconds and run_seconds (of which\n"
     "running the patch)."},
    {"events", fastcall<&result_method<&events_of>>(), METH_NOARGS,
     "events($self, /)\n--\n\n"
     "The control events applied since start, in order, as (time, name, value)\n"
     "with the sample each took effect at."},
    {"recording", fastcall<&result_method<&recording_result>>(), METH_NOARGS,
     "recording($self, /)\n--\n\n"
     "What the patch computed since start (record=True): an array, or a tuple in\n"
     "the order of `outputs`; the patch's own output, before protection."},
    {"played_inputs", fastcall<&result_method<&played_result>>(), METH_NOARGS,
     "played_inputs($self, /)\n--\n\n"
     "The inputs the patch was given since start (record=True), one array per\n"
     "input: the held control values and the captured audio, per sample. A twin\n"
     "of the patch taken before start() gives recording() from them:\n"
     "`twin.run(**s.played_inputs())`."},
    {"__enter__", fastcall<&enter_method>(), METH_NOARGS, "Start; the stream itself."},
    {"__exit__", fastcall<&exit_method>(), METH_FASTCALL, "Close."},
    {},
};

PyGetSetDef stream_properties[] = {
    {"time", &getter<&time_of>, nullptr, "Samples computed since start.", nullptr},
    {"running", &getter<&running_of>, nullptr, "Whether the audio thread is computing.", nullptr},
    {"sample_rate", &getter<&rate_of>, nullptr, "Samples per second.", nullptr},
    {"blocksize", &getter<&blocksize_of>, nullptr, "Samples per block.", nullptr},
    {"latency", &getter<&latency_of>, nullptr,
     "Seconds from the patch's output to the device, as the backend reported it\n"
     "at start; None before.",
     nullptr},
    {"backend", &getter<&backend_of>, nullptr, "The backend: 'jack', 'alsa', ...", nullptr},
    {"device", &getter<&device_of>, nullptr, "The device's name.", nullptr},
    {"outputs", &getter<&outputs_of>, nullptr, "The patch output of each channel.", nullptr},
    {"error", &getter<&error_of>, nullptr,
     "Why the stream stopped by itself (the exception the next call raises), or None.", nullptr},
    {},
};

// The interpreter's exit stops what is still playing.
PyObject* close_all(PyObject*, PyObject*) noexcept {
  while (!open_streams.empty()) close_stream(*open_streams.begin());  // which forgets it
  Py_RETURN_NONE;
}

PyMethodDef close_all_def = {"_close_streams", &close_all, METH_NOARGS, nullptr};

}  // namespace

void create_stream_type(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc,
       const_cast<char*>(
           "Stream(patch, *, outputs=None, inputs=None, sample_rate=48000, blocksize=64, "
           "device=None, backend=None, record=False, protect=True)\n--\n\n"
           "A compiled Patch played live through an audio device.\n\n"
           "The backend's audio thread runs the patch in C++ once per block, without\n"
           "the interpreter lock. `outputs` names the patch output of each channel\n"
           "(all, in order, by default); `inputs` maps a patch input to the capture\n"
           "channel it takes; every other input is a control, changed by set().\n"
           "`device` is an index or a name from devices(), `backend` one of theirs.\n"
           "Output protection (protect=True) plays NaN and infinities as 0 and clips\n"
           "to [-1, 1]. With record=True the stream keeps what it computed and what\n"
           "it was given: recording() and played_inputs().")},
      {Py_tp_new, reinterpret_cast<void*>(&stream_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&stream_dealloc)},
      {Py_tp_methods, stream_methods},
      {Py_tp_getset, stream_properties},
      {0, nullptr},
  };
  PyType_Spec spec{"vorda_blocks.Stream", sizeof(StreamObject), 0, Py_TPFLAGS_DEFAULT, slots};
  stream_type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)).release());
  if (PyModule_AddObjectRef(module, "Stream", reinterpret_cast<PyObject*>(stream_type)) < 0)
    throw_error_set();

  Owned closer = checked(PyCFunction_New(&close_all_def, nullptr));
  Owned atexit = checked(PyImport_ImportModule("atexit"));
  checked(PyObject_CallMethod(atexit.get(), "register", "O", closer.get()));
}

}  // namespace vorda::blocks
