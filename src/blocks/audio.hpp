// The audio backends a stream plays through, behind one small interface: a
// device stream whose own thread calls the engine once per block.
//
// Two C libraries do the talking to the platform: JACK's client library for
// a JACK server (or PipeWire's JACK), and PortAudio for everything else
// (ALSA, and through ALSA PulseAudio or PipeWire; CoreAudio, WASAPI and the
// rest elsewhere). Both are loaded when first needed (dlopen, with our own
// declarations of the few functions we call), so that building and
// importing vorda_blocks needs neither. Nothing here knows Python.
#pragma once

#include <pthread.h>

#include <csignal>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "blocks/glibc_versions.hpp"

namespace vorda::blocks::audio {

// What a device stream's thread calls for every block: `frames` samples of
// each capture channel in, of each playback channel to fill (float32, one
// array per channel). It must not wait, allocate or fail.
using Process = void (*)(void* engine, const float* const* capture, float* const* playback,
                         std::size_t frames, bool xrun) noexcept;

struct DeviceInfo {
  std::string name;
  std::string backend;
  int inputs = 0;   // capture channels
  int outputs = 0;  // playback channels
  bool default_input = false;
  bool default_output = false;
  double sample_rate = 0.0;  // its default (for JACK, the server's)
  int index = -1;            // the backend's own number for it (PortAudio's)
};

// What a user can act on: a missing library (`missing`), no such backend or
// device (`not_found`), a rate, block size or channel count the device
// refuses (`refused`), anything else the backend reports (`failed`).
struct Error : std::runtime_error {
  enum class Kind { missing, not_found, refused, failed };
  Error(Kind kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
  Kind kind;
};

struct Request {
  std::string backend;                // empty: JACK if a server answers, else PortAudio's default
  std::optional<int> device_index;    // into devices()
  std::optional<std::string> device;  // a name, or part of one
  double sample_rate = 48000.0;
  std::size_t blocksize = 64;
  int inputs = 0;
  int outputs = 0;
};

class DeviceStream {
 public:
  virtual ~DeviceStream() = default;
  // The engine is called from the backend's thread from here on (Error).
  virtual void start() = 0;
  // When it returns, the engine is not called again. Safe after a failure.
  virtual void stop() noexcept = 0;
  // Whether the backend stopped by itself (the server went away, the
  // device was unplugged); then why.
  virtual bool failed() noexcept = 0;
  virtual std::string failure() const = 0;
  // Seconds from the engine's output to the device, as the backend reports it.
  virtual double latency() noexcept = 0;

  std::string backend;
  std::string device;
};

// Every device of every backend that answers, JACK's first.
std::vector<DeviceInfo> devices();

std::unique_ptr<DeviceStream> open(const Request& request, Process process, void* engine);

// --- What the backends share (audio.cpp) -------------------------------------------

// A library loaded for the process's lifetime: `name`, or what the
// environment variable `override_variable` says. nullptr if absent.
void* load_library(const char* name, const char* override_variable);
// A symbol of a library, or nullptr.
void* symbol(void* library, const char* name);

// Threads started while this is held (an audio thread, the stream's own)
// start with every signal blocked: a signal is the main thread's business
// (Ctrl-C becomes KeyboardInterrupt there), and an audio thread must not be
// interrupted to run a handler.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

// The backends (audio_jack.cpp, audio_portaudio.cpp).
namespace jack {
bool loaded();
// While one is held, libjack says nothing on stderr: opening a client where
// no server runs is how a backend finds out there is none.
class Quiet {
 public:
  Quiet();
  ~Quiet();
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;

 private:
  void (*error_)(const char*) = nullptr;
  void (*info_)(const char*) = nullptr;
  bool active_ = false;
};
std::vector<DeviceInfo> devices();  // none if no server answers
std::unique_ptr<DeviceStream> open(const Request& request, const DeviceInfo& device,
                                   Process process, void* engine);
extern const char* const kMissing;  // how to get the library
}  // namespace jack

namespace portaudio {
bool loaded();
std::vector<DeviceInfo> devices();  // JACK's own entries left out
std::unique_ptr<DeviceStream> open(const Request& request, const DeviceInfo& device,
                                   Process process, void* engine);
extern const char* const kMissing;
}  // namespace portaudio

}  // namespace vorda::blocks::audio
