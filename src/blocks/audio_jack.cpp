// The JACK backend: one JACK client per stream, named "vorda" (JACK makes
// the name unique), with a port per channel, connected at start to the
// device's ports, channel k to its k-th port.
//
// JACK is talked to directly rather than through PortAudio's JACK support:
// that one waits (for minutes) in stop and close once the server is gone,
// where a stream must report the failure and let the program go on.
#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "blocks/audio.hpp"

namespace vorda::blocks::audio::jack {
namespace {

// --- The part of JACK's C API that is used (jack/jack.h, jack/types.h) ---------------

using Frames = std::uint32_t;  // jack_nframes_t
using Client = void;           // jack_client_t
using Port = void;             // jack_port_t
enum : int { kNoStartServer = 0x01 };
enum : unsigned long { kIsInput = 0x1, kIsOutput = 0x2, kIsPhysical = 0x4 };
enum : int { kCaptureLatency = 0, kPlaybackLatency = 1 };
struct LatencyRange {
  Frames min, max;
};
constexpr const char* kAudioType = "32 bit float mono audio";
using Message = void (*)(const char*);

struct Api {
  Client* (*client_open)(const char* name, int options, int* status, ...);
  int (*client_close)(Client*);
  const char* (*get_client_name)(Client*);
  int (*activate)(Client*);
  int (*deactivate)(Client*);
  int (*set_process_callback)(Client*, int (*)(Frames, void*), void*);
  void (*on_info_shutdown)(Client*, void (*)(int, const char*, void*), void*);
  int (*set_xrun_callback)(Client*, int (*)(void*), void*);
  Frames (*get_sample_rate)(Client*);
  Frames (*get_buffer_size)(Client*);
  Port* (*port_register)(Client*, const char*, const char*, unsigned long, unsigned long);
  void* (*port_get_buffer)(Port*, Frames);
  const char* (*port_name)(const Port*);
  const char** (*get_ports)(Client*, const char*, const char*, unsigned long);
  void (*free)(void*);
  int (*connect)(Client*, const char*, const char*);
  void (*port_get_latency_range)(Port*, int, LatencyRange*);
  Port* (*port_by_name)(Client*, const char*);
  void (*set_error_function)(Message);
  void (*set_info_function)(Message);
  Message* error_callback;  // where libjack keeps the functions above
  Message* info_callback;
};

template <class F>
bool bind(F& slot, const char* name) {
  // From the global scope: the library is loaded globally, and a function
  // interposed on it (by a preloaded library) is found as a linked program
  // would find it.
  slot = reinterpret_cast<F>(symbol(RTLD_DEFAULT, name));
  return slot != nullptr;
}

const Api* load() {
  static const Api* api = []() -> const Api* {
    if (load_library("libjack.so.0", "VORDA_JACK_LIBRARY") == nullptr) return nullptr;
    static Api a{};
    bool ok = bind(a.client_open, "jack_client_open") & bind(a.client_close, "jack_client_close") &
              bind(a.get_client_name, "jack_get_client_name") & bind(a.activate, "jack_activate") &
              bind(a.deactivate, "jack_deactivate") &
              bind(a.set_process_callback, "jack_set_process_callback") &
              bind(a.on_info_shutdown, "jack_on_info_shutdown") &
              bind(a.set_xrun_callback, "jack_set_xrun_callback") &
              bind(a.get_sample_rate, "jack_get_sample_rate") &
              bind(a.get_buffer_size, "jack_get_buffer_size") &
              bind(a.port_register, "jack_port_register") &
              bind(a.port_get_buffer, "jack_port_get_buffer") &
              bind(a.port_name, "jack_port_name") & bind(a.get_ports, "jack_get_ports") &
              bind(a.free, "jack_free") & bind(a.connect, "jack_connect") &
              bind(a.port_get_latency_range, "jack_port_get_latency_range") &
              bind(a.port_by_name, "jack_port_by_name") &
              bind(a.set_error_function, "jack_set_error_function") &
              bind(a.set_info_function, "jack_set_info_function");
    // Optional: without them, JACK's own complaints are not silenced.
    bind(a.error_callback, "jack_error_callback");
    bind(a.info_callback, "jack_info_callback");
    return ok ? &a : nullptr;
  }();
  return api;
}

void quiet(const char*) {}

// Serialises opening clients (the silencing above is process-wide).
std::mutex& open_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Opened with the caller's signal mask as it is: libjack remembers the mask
// of the thread that opens the process's first client, and sets it on the
// thread that closes the last one, whichever library that is (a blocked one
// here would leave a Python program deaf to Ctrl-C). The thread libjack
// starts here only waits for the server's notifications, and a signal sent
// to the process goes to its main thread when that one takes it.
Client* open_client(const Api& api, const char* name) {
  std::lock_guard<std::mutex> lock(open_mutex());
  Quiet silenced;
  int status = 0;
  return api.client_open(name, kNoStartServer, &status);
}

// The mask libjack sets when the last client closes is not the caller's
// business: closing keeps the caller's.
void close_client(const Api& api, Client* client) {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  api.client_close(client);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
}

// A client's name as a regular expression that matches it and nothing else.
std::string escaped(const std::string& name) {
  std::string text = "^";
  for (char c : name) {
    if (std::strchr("\\()[]{}*+?|$^.", c) != nullptr) text += '\\';
    text += c;
  }
  return text + ":";
}

std::vector<std::string> port_names(const Api& api, Client* client, const std::string& pattern,
                                    unsigned long flags) {
  std::vector<std::string> names;
  const char** ports = api.get_ports(client, pattern.c_str(), kAudioType, flags);
  if (ports == nullptr) return names;
  for (std::size_t i = 0; ports[i] != nullptr; ++i) names.emplace_back(ports[i]);
  api.free(ports);
  return names;
}

class JackStream final : public DeviceStream {
 public:
  JackStream(const Api& api, const Request& request, const DeviceInfo& device, Process process,
             void* engine)
      : api_(api), process_(process), engine_(engine), device_name_(device.name) {
    client_ = open_client(api, "vorda");
    if (client_ == nullptr)
      throw Error(Error::Kind::failed, "backend 'jack': the server stopped answering");
    backend = "jack";
    this->device = device.name;
    try {
      check(request);
      register_ports(request);
      api.set_process_callback(client_, &JackStream::on_process, this);
      api.on_info_shutdown(client_, &JackStream::on_shutdown, this);
      api.set_xrun_callback(client_, &JackStream::on_xrun, this);
    } catch (...) {
      close_client(api, client_);
      throw;
    }
  }

  ~JackStream() override {
    stop();
    close_client(api_, client_);
  }

  void start() override {
    {
      SignalsBlocked blocked;  // the process thread starts here
      if (api_.activate(client_) != 0)
        throw Error(Error::Kind::failed, "backend 'jack': the server refused to start the client");
    }
    active_ = true;
    const std::string pattern = escaped(device_name_);
    const auto playback = port_names(api_, client_, pattern, kIsInput | kIsPhysical);
    const auto capture = port_names(api_, client_, pattern, kIsOutput | kIsPhysical);
    // A port the device lacks stays unconnected (open checked the counts).
    for (std::size_t k = 0; k < out_.size() && k < playback.size(); ++k)
      api_.connect(client_, api_.port_name(out_[k]), playback[k].c_str());
    for (std::size_t k = 0; k < in_.size() && k < capture.size(); ++k)
      api_.connect(client_, capture[k].c_str(), api_.port_name(in_[k]));
    // Our ports learn their latency from the graph some time later; the
    // device's ports know theirs now.
    if (!out_.empty() && !playback.empty())
      heard_through_ = api_.port_by_name(client_, playback.front().c_str());
    else if (!in_.empty() && !capture.empty())
      captured_from_ = api_.port_by_name(client_, capture.front().c_str());
  }

  void stop() noexcept override {
    // Deactivating waits for the process thread to leave the callback; on
    // a server that has gone, it fails at once, and the thread is gone too.
    if (active_) api_.deactivate(client_);
    active_ = false;
  }

  bool failed() noexcept override { return shut_down_.load(std::memory_order_acquire); }

  std::string failure() const override {
    std::lock_guard<std::mutex> lock(reason_mutex_);
    return "the JACK server stopped the stream" + (reason_.empty() ? "" : ": " + reason_);
  }

  double latency() noexcept override {
    LatencyRange range{0, 0};
    if (heard_through_ != nullptr)
      api_.port_get_latency_range(heard_through_, kPlaybackLatency, &range);
    else if (captured_from_ != nullptr)
      api_.port_get_latency_range(captured_from_, kCaptureLatency, &range);
    return static_cast<double>(range.max) / api_.get_sample_rate(client_);
  }

 private:
  void check(const Request& request) {
    const Frames rate = api_.get_sample_rate(client_);
    const Frames period = api_.get_buffer_size(client_);
    if (static_cast<double>(rate) != request.sample_rate)
      throw Error(Error::Kind::refused, "sample_rate: the JACK server runs at " +
                                            std::to_string(rate) +
                                            " Hz; a stream through it must too (give sample_rate=" +
                                            std::to_string(rate) + ", or restart jackd with -r)");
    if (period != request.blocksize)
      throw Error(Error::Kind::refused,
                  "blocksize: the JACK server runs " + std::to_string(period) +
                      "-sample periods; a stream through it computes one block per period "
                      "(give blocksize=" +
                      std::to_string(period) + ", or restart jackd with -p)");
  }

  void register_ports(const Request& request) {
    for (int k = 0; k < request.inputs; ++k) add_port(in_, "in_", k, kIsInput);
    for (int k = 0; k < request.outputs; ++k) add_port(out_, "out_", k, kIsOutput);
    capture_.assign(in_.size(), nullptr);
    playback_.assign(out_.size(), nullptr);
  }

  void add_port(std::vector<Port*>& ports, const char* prefix, int k, unsigned long flags) {
    const std::string name = prefix + std::to_string(k + 1);
    Port* port = api_.port_register(client_, name.c_str(), kAudioType, flags, 0);
    if (port == nullptr)
      throw Error(Error::Kind::failed, "backend 'jack': the server refused port " + name);
    ports.push_back(port);
  }

  // The process thread: the channels' buffers, then the engine.
  static int on_process(Frames frames, void* arg) noexcept {
    auto& self = *static_cast<JackStream*>(arg);
    for (std::size_t k = 0; k < self.in_.size(); ++k)
      self.capture_[k] = static_cast<const float*>(self.api_.port_get_buffer(self.in_[k], frames));
    for (std::size_t k = 0; k < self.out_.size(); ++k)
      self.playback_[k] = static_cast<float*>(self.api_.port_get_buffer(self.out_[k], frames));
    const bool xrun = self.xrun_.exchange(false, std::memory_order_relaxed);
    self.process_(self.engine_, self.capture_.data(), self.playback_.data(), frames, xrun);
    return 0;
  }

  static int on_xrun(void* arg) noexcept {
    static_cast<JackStream*>(arg)->xrun_.store(true, std::memory_order_relaxed);
    return 0;
  }

  // From one of libjack's threads, once: only remember it.
  static void on_shutdown(int, const char* reason, void* arg) noexcept {
    auto& self = *static_cast<JackStream*>(arg);
    {
      std::lock_guard<std::mutex> lock(self.reason_mutex_);
      self.reason_ = reason != nullptr ? reason : "";
    }
    self.shut_down_.store(true, std::memory_order_release);
  }

  const Api& api_;
  Process process_;
  void* engine_;
  std::string device_name_;
  Client* client_ = nullptr;
  std::vector<Port*> in_, out_;
  std::vector<const float*> capture_;
  std::vector<float*> playback_;
  Port* heard_through_ = nullptr;  // the device's first playback port
  Port* captured_from_ = nullptr;
  bool active_ = false;
  std::atomic<bool> xrun_{false};
  std::atomic<bool> shut_down_{false};
  mutable std::mutex reason_mutex_;
  std::string reason_;
};

}  // namespace

Quiet::Quiet() {
  const Api* api = load();
  if (api == nullptr || api->error_callback == nullptr || api->info_callback == nullptr) return;
  error_ = *api->error_callback;
  info_ = *api->info_callback;
  api->set_error_function(quiet);
  api->set_info_function(quiet);
  active_ = true;
}

Quiet::~Quiet() {
  if (!active_) return;
  const Api* api = load();
  api->set_error_function(error_);
  api->set_info_function(info_);
}

const char* const kMissing =
    "JACK's client library is missing (Debian: apt install libjack-jackd2-0, which jackd2 "
    "brings; PipeWire's is pipewire-jack)";

bool loaded() {
  return load() != nullptr;
}

std::vector<DeviceInfo> devices() {
  std::vector<DeviceInfo> found;
  const Api* api = load();
  if (api == nullptr) return found;
  Client* client = open_client(*api, "vorda-devices");
  if (client == nullptr) return found;
  std::map<std::string, std::size_t> position;
  for (const std::string& port : port_names(*api, client, "", kIsPhysical)) {
    const std::string owner = port.substr(0, port.find(':'));
    auto [where, added] = position.try_emplace(owner, found.size());
    if (added) {
      DeviceInfo info;
      info.name = owner;
      info.backend = "jack";
      info.sample_rate = api->get_sample_rate(client);
      found.push_back(info);
    }
  }
  for (DeviceInfo& info : found) {
    const std::string pattern = escaped(info.name);
    info.outputs =
        static_cast<int>(port_names(*api, client, pattern, kIsInput | kIsPhysical).size());
    info.inputs =
        static_cast<int>(port_names(*api, client, pattern, kIsOutput | kIsPhysical).size());
  }
  for (DeviceInfo& info : found) {
    if (info.outputs > 0) {
      info.default_output = true;
      break;
    }
  }
  for (DeviceInfo& info : found) {
    if (info.inputs > 0) {
      info.default_input = true;
      break;
    }
  }
  close_client(*api, client);
  return found;
}

std::unique_ptr<DeviceStream> open(const Request& request, const DeviceInfo& device,
                                   Process process, void* engine) {
  const Api* api = load();
  if (api == nullptr) throw Error(Error::Kind::missing, std::string("backend 'jack': ") + kMissing);
  return std::make_unique<JackStream>(*api, request, device, process, engine);
}

}  // namespace vorda::blocks::audio::jack
