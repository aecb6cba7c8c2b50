// The Python face of a stream: the object, and what its methods share
// (argument checks in stream_args.cpp, results in stream_results.cpp, the
// type in stream_type.cpp).
#pragma once

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "blocks/python.hpp"
#include "blocks/stream.hpp"

namespace vorda::blocks {

struct StreamState {
  std::unique_ptr<StreamEngine> engine;
  std::vector<std::string> channel_names;  // `outputs`, one per playback channel
  std::vector<bool> has_value;             // per patch input: a control given a value
  std::vector<ControlEvent> queued;        // set with `at` while stopped
  std::string backend, device;
  Owned error;  // the failure, as the exception raised
};

struct StreamObject {
  PyObject_HEAD PyObject* patch;
  StreamState* state;
  BorrowFlag borrow;
};

// What Stream(...) is given, checked and converted (stream_args.cpp).
struct StreamArgs {
  StreamLayout layout;
  audio::Request request;
  std::vector<std::string> channel_names;
};
StreamArgs stream_args(PyObject* patch, PyObject* outputs, PyObject* inputs, PyObject* sample_rate,
                       PyObject* blocksize, PyObject* device, PyObject* backend, bool record,
                       bool protect);

// The patch input a control `name` sets (TypeError, ValueError otherwise).
std::size_t control_index(const Patch& patch, const StreamLayout& layout, PyObject* name);
// `value` as that control holds it: a double, or a count for a count input.
Held control_value(const Patch& patch, std::size_t input, PyObject* value);
// `at`: None (the next block) or a sample time.
std::uint64_t event_time(PyObject* at);

[[noreturn]] void raise_audio_error(const audio::Error& error);

// An entry point's body, with the backend's errors turned into Python's.
template <class F>
auto stream_guarded(F&& body) noexcept -> decltype(body()) {
  return guarded([&]() -> decltype(body()) {
    try {
      return body();
    } catch (const audio::Error& e) {
      raise_audio_error(e);
    } catch (const std::system_error& e) {
      raise(PyExc_RuntimeError, std::string("the stream could not start a thread: ") + e.what());
    }
  });
}

// Results (stream_results.cpp).
PyObject* stats_dict(const StreamEngine& engine);
PyObject* events_list(StreamEngine& engine);
PyObject* recording_of(StreamEngine& engine, bool recorded);
PyObject* played_inputs_of(StreamEngine& engine, bool recorded);
PyObject* devices_entry(PyObject*, PyObject*) noexcept;

// Adds Stream and devices to the module (stream_type.cpp).
void create_stream_type(PyObject* module);

}  // namespace vorda::blocks
