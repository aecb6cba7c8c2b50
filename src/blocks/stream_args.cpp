// What a stream is given, checked before anything plays: every error here
// names the argument and says what would do.
#include <cmath>
#include <map>

#include "blocks/arrays.hpp"
#include "blocks/state.hpp"
#include "blocks/stream_python.hpp"

namespace vorda::blocks {
namespace {

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

std::string text_of(PyObject* object, const char* what) {
  if (!PyUnicode_Check(object))
    raise(PyExc_TypeError, std::string(what) + ": expected a name (str), not " + type_name(object));
  const char* utf8 = PyUnicode_AsUTF8(object);
  if (utf8 == nullptr) throw_error_set();
  return utf8;
}

std::string names_of(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + quoted(name);
  return text.empty() ? "none" : text;
}

std::vector<std::string> output_names(const Patch& patch) {
  std::vector<std::string> names;
  for (const OutputInfo& output : patch.outputs) names.push_back(output.name);
  return names;
}

std::vector<std::string> input_names(const Patch& patch, const StreamLayout* layout, bool audio) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < patch.inputs.size(); ++i)
    if (layout == nullptr || (layout->capture_of[i] >= 0) == audio)
      names.push_back(patch.inputs[i].name);
  return names;
}

// `outputs`: the patch's outputs by name, one per channel; all by default.
std::vector<int> channels(const Patch& patch, PyObject* outputs, std::vector<std::string>& names) {
  if (patch.outputs.empty())
    raise(PyExc_ValueError,
          "the patch has no outputs: a stream plays a patch's outputs (record one with "
          "p.output(name, value))");
  std::vector<int> chosen;
  if (outputs == Py_None) {
    for (std::size_t o = 0; o < patch.outputs.size(); ++o) {
      chosen.push_back(static_cast<int>(o));
      names.push_back(patch.outputs[o].name);
    }
    return chosen;
  }
  Owned list = PyUnicode_Check(outputs) ? checked(PyTuple_Pack(1, outputs))
                                        : Owned(PySequence_Fast(outputs, ""));
  if (!list) {
    PyErr_Clear();
    raise(PyExc_TypeError, "outputs: expected a list of output names, not " + type_name(outputs));
  }
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(list.get());
  if (count == 0) raise(PyExc_ValueError, "outputs: a stream plays at least one output");
  for (Py_ssize_t k = 0; k < count; ++k) {
    const std::string name = text_of(PySequence_Fast_GET_ITEM(list.get(), k), "outputs");
    std::size_t o = 0;
    while (o < patch.outputs.size() && patch.outputs[o].name != name) ++o;
    if (o == patch.outputs.size())
      raise(PyExc_ValueError, "outputs: the patch has no output " + quoted(name) +
                                  " (its outputs: " + names_of(output_names(patch)) + ")");
    chosen.push_back(static_cast<int>(o));
    names.push_back(name);
  }
  return chosen;
}

// `inputs`: a mapping from a patch input's name to the capture channel it
// takes; every other input is a control.
std::vector<int> captures(const Patch& patch, PyObject* inputs, int& channels) {
  std::vector<int> capture_of(patch.inputs.size(), -1);
  channels = 0;
  if (inputs == Py_None) return capture_of;
  if (!PyDict_Check(inputs))
    raise(PyExc_TypeError,
          "inputs: expected a dict from input names to capture channels, not " + type_name(inputs));
  PyObject *key, *value;
  Py_ssize_t position = 0;
  while (PyDict_Next(inputs, &position, &key, &value)) {
    const std::string name = text_of(key, "inputs");
    std::size_t i = 0;
    while (i < patch.inputs.size() && patch.inputs[i].name != name) ++i;
    if (i == patch.inputs.size())
      raise(PyExc_ValueError, "inputs: the patch has no input " + quoted(name) + " (its inputs: " +
                                  names_of(input_names(patch, nullptr, false)) + ")");
    if (patch.inputs[i].kind == Kind::count)
      raise(PyExc_TypeError,
            "inputs: " + quoted(name) + " is a count input; captured audio goes to a sample input");
    if (!PyLong_Check(value))
      raise(PyExc_TypeError, "inputs: the channel of " + quoted(name) +
                                 " must be an int (0 for the first), not " + type_name(value));
    const long channel = PyLong_AsLong(value);
    if (channel == -1 && PyErr_Occurred()) throw_error_set();
    if (channel < 0 || channel > 255)
      raise(PyExc_ValueError, "inputs: capture channel " + std::to_string(channel) + " of " +
                                  quoted(name) + " is out of range (0 for the first)");
    capture_of[i] = static_cast<int>(channel);
    channels = std::max(channels, static_cast<int>(channel) + 1);
  }
  return capture_of;
}

double rate_of(PyObject* sample_rate) {
  if (!PyLong_Check(sample_rate) && !PyFloat_Check(sample_rate))
    raise(PyExc_TypeError, "sample_rate: expected a number (Hz), not " + type_name(sample_rate));
  const double rate = PyFloat_AsDouble(sample_rate);
  if (rate == -1.0 && PyErr_Occurred()) throw_error_set();
  if (!(rate > 0.0) || !std::isfinite(rate))
    raise(PyExc_ValueError,
          "sample_rate: must be a positive number of Hz, not " + str_of(sample_rate));
  return rate;
}

std::size_t blocksize_of(PyObject* blocksize) {
  if (!PyLong_Check(blocksize))
    raise(PyExc_TypeError, "blocksize: expected an int (samples), not " + type_name(blocksize));
  const long long size = PyLong_AsLongLong(blocksize);
  if (size == -1 && PyErr_Occurred()) throw_error_set();
  if (size < 1 || size > 16384)
    raise(PyExc_ValueError,
          "blocksize: must be from 1 to 16384 samples, not " + std::to_string(size));
  return static_cast<std::size_t>(size);
}

void choose_device(audio::Request& request, PyObject* device, PyObject* backend) {
  if (backend != Py_None) request.backend = text_of(backend, "backend");
  if (device == Py_None) return;
  if (PyLong_Check(device)) {
    const long index = PyLong_AsLong(device);
    if (index == -1 && PyErr_Occurred()) throw_error_set();
    request.device_index = static_cast<int>(std::max(-1L, std::min(index, 1L << 20)));
  } else if (PyUnicode_Check(device)) {
    request.device = text_of(device, "device");
  } else {
    raise(PyExc_TypeError, "device: expected an index or a name from vorda_blocks.devices(), not " +
                               type_name(device));
  }
}

}  // namespace

StreamArgs stream_args(PyObject* patch_object, PyObject* outputs, PyObject* inputs,
                       PyObject* sample_rate, PyObject* blocksize, PyObject* device,
                       PyObject* backend, bool record, bool protect) {
  const Patch& patch = patch_in(patch_object);
  StreamArgs args;
  args.layout.channel_output = channels(patch, outputs, args.channel_names);
  args.layout.capture_of = captures(patch, inputs, args.layout.capture_channels);
  args.layout.sample_rate = rate_of(sample_rate);
  args.layout.blocksize = blocksize_of(blocksize);
  args.layout.record = record;
  args.layout.protect = protect;
  args.request.sample_rate = args.layout.sample_rate;
  args.request.blocksize = args.layout.blocksize;
  args.request.outputs = static_cast<int>(args.layout.channel_output.size());
  args.request.inputs = args.layout.capture_channels;
  choose_device(args.request, device, backend);
  return args;
}

std::size_t control_index(const Patch& patch, const StreamLayout& layout, PyObject* name) {
  const std::string text = text_of(name, "name");
  for (std::size_t i = 0; i < patch.inputs.size(); ++i) {
    if (patch.inputs[i].name != text) continue;
    if (layout.capture_of[i] >= 0)
      raise(PyExc_ValueError, "Stream.set(): " + quoted(text) + " takes captured audio (channel " +
                                  std::to_string(layout.capture_of[i]) + "), not a control value");
    return i;
  }
  raise(PyExc_ValueError, "Stream.set(): the patch has no control " + quoted(text) +
                              " (its controls: " + names_of(input_names(patch, &layout, false)) +
                              ")");
}

Held control_value(const Patch& patch, std::size_t input, PyObject* value) {
  const InputInfo& info = patch.inputs[input];
  Input in;
  in.name = "value";
  Held held;
  if (info.kind == Kind::count) {
    if (!PyLong_Check(value) && !PyObject_TypeCheck(value, np.generic))
      raise(PyExc_TypeError, "Stream.set(): " + quoted(info.name) +
                                 " is a count input: its value is an int, not " + type_name(value));
    convert(value, Kind::count, in, Width::wide);
    held.count = in.arg.count;
  } else {
    if (!PyLong_Check(value) && !PyFloat_Check(value) && !PyObject_TypeCheck(value, np.generic))
      raise(PyExc_TypeError, "Stream.set(): " + quoted(info.name) +
                                 " takes a number (a float, as a Python loop gives it), not " +
                                 type_name(value));
    convert(value, Kind::sample, in, Width::wide);
    held.wide = in.arg.wide;
  }
  if (!in.arg.constant)
    raise(PyExc_TypeError,
          "Stream.set(): " + quoted(info.name) + " takes one number, not an array");
  return held;
}

std::uint64_t event_time(PyObject* at) {
  if (at == nullptr || at == Py_None) return kNextBlock;
  if (!PyLong_Check(at))
    raise(PyExc_TypeError,
          "Stream.set(): at is a sample time on the stream's clock (an int), not " + type_name(at));
  const unsigned long long time = PyLong_AsUnsignedLongLong(at);
  if (time == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    raise(PyExc_ValueError, "Stream.set(): at must be a sample time from 0 on, not " + str_of(at));
  }
  if (time >= kNextBlock) raise(PyExc_ValueError, "Stream.set(): at is too far away");
  return time;
}

void raise_audio_error(const audio::Error& error) {
  using Kind = audio::Error::Kind;
  PyObject* type = error.kind == Kind::not_found || error.kind == Kind::refused
                       ? PyExc_ValueError
                       : PyExc_RuntimeError;
  raise(type, error.what());
}

}  // namespace vorda::blocks
