// The PortAudio backend: ALSA (and through ALSA's plugins PulseAudio and
// PipeWire) on Linux, and the platform's own audio elsewhere.
//
// PortAudio is not thread-safe, and a stream's own thread watches its
// device: every call into it holds one mutex. Its JACK support is kept
// from connecting (JACK is spoken to directly, audio_jack.cpp): once a
// server has gone, PortAudio's JACK host waits for minutes in stop and
// fails an assertion in Pa_Terminate.
#include "blocks/audio.hpp"

#include <dlfcn.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <optional>

namespace vorda::blocks::audio::portaudio {
namespace {

// --- The part of PortAudio's v19 API that is used (portaudio.h) -----------------------

using PaError = int;
using PaTime = double;
using PaSampleFormat = unsigned long;
constexpr PaSampleFormat kFloat32 = 0x00000001, kNonInterleaved = 0x80000000;
constexpr unsigned long kClipOff = 0x1, kDitherOff = 0x2;
constexpr unsigned long kUnderflowsAndOverflows = 0x1 | 0x2 | 0x4 | 0x8;
constexpr int kHostJack = 12;
enum : PaError {
  kInvalidChannelCount = -9998,
  kInvalidSampleRate = -9997,
  kSampleFormatNotSupported = -9994,
  kBufferTooBig = -9991,
  kBufferTooSmall = -9990,
};

struct PaDeviceInfo {
  int structVersion;
  const char* name;
  int hostApi;
  int maxInputChannels;
  int maxOutputChannels;
  PaTime defaultLowInputLatency;
  PaTime defaultLowOutputLatency;
  PaTime defaultHighInputLatency;
  PaTime defaultHighOutputLatency;
  double defaultSampleRate;
};
struct PaHostApiInfo {
  int structVersion;
  int type;
  const char* name;
  int deviceCount;
  int defaultInputDevice;
  int defaultOutputDevice;
};
struct PaStreamParameters {
  int device;
  int channelCount;
  PaSampleFormat sampleFormat;
  PaTime suggestedLatency;
  void* hostApiSpecificStreamInfo;
};
struct PaStreamInfo {
  int structVersion;
  PaTime inputLatency;
  PaTime outputLatency;
  double sampleRate;
};
struct PaStreamCallbackTimeInfo;
using PaStreamCallback = int(const void*, void*, unsigned long, const PaStreamCallbackTimeInfo*,
                             unsigned long, void*);

struct Api {
  PaError (*initialize)();
  PaError (*terminate)();
  const char* (*error_text)(PaError);
  int (*host_api_count)();
  const PaHostApiInfo* (*host_api_info)(int);
  int (*device_count)();
  const PaDeviceInfo* (*device_info)(int);
  PaError (*open_stream)(void**, const PaStreamParameters*, const PaStreamParameters*, double,
                         unsigned long, unsigned long, PaStreamCallback*, void*);
  PaError (*start_stream)(void*);
  PaError (*stop_stream)(void*);
  PaError (*close_stream)(void*);
  PaError (*is_stream_active)(void*);
  const PaStreamInfo* (*stream_info)(void*);
  PaError (*jack_set_client_name)(const char*);  // optional
};

template <class F>
bool bind(void* library, F& slot, const char* name) {
  slot = reinterpret_cast<F>(symbol(library, name));
  return slot != nullptr;
}

const Api* load() {
  static const Api* api = []() -> const Api* {
    void* lib = load_library("libportaudio.so.2", "VORDA_PORTAUDIO_LIBRARY");
    if (lib == nullptr) return nullptr;
    static Api a{};
    bool ok =
        bind(lib, a.initialize, "Pa_Initialize") & bind(lib, a.terminate, "Pa_Terminate") &
        bind(lib, a.error_text, "Pa_GetErrorText") &
        bind(lib, a.host_api_count, "Pa_GetHostApiCount") &
        bind(lib, a.host_api_info, "Pa_GetHostApiInfo") &
        bind(lib, a.device_count, "Pa_GetDeviceCount") &
        bind(lib, a.device_info, "Pa_GetDeviceInfo") & bind(lib, a.open_stream, "Pa_OpenStream") &
        bind(lib, a.start_stream, "Pa_StartStream") & bind(lib, a.stop_stream, "Pa_StopStream") &
        bind(lib, a.close_stream, "Pa_CloseStream") &
        bind(lib, a.is_stream_active, "Pa_IsStreamActive") &
        bind(lib, a.stream_info, "Pa_GetStreamInfo");
    bind(lib, a.jack_set_client_name, "PaJack_SetClientName");
    return ok ? &a : nullptr;
  }();
  return api;
}

std::mutex& pa_mutex() {
  static std::mutex mutex;
  return mutex;
}

// ALSA reports every configuration it cannot open (on a machine without
// a sound card, dozens) on stderr while PortAudio lists the devices.
using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

class AlsaSilenced {
 public:
  AlsaSilenced() {
    void* alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_NOLOAD);
    if (alsa != nullptr)
      set_ = reinterpret_cast<int (*)(AlsaHandler)>(symbol(alsa, "snd_lib_error_set_handler"));
    if (set_ != nullptr) set_(quiet_alsa);
    if (alsa != nullptr) dlclose(alsa);
  }
  ~AlsaSilenced() {
    if (set_ != nullptr) set_(nullptr);  // ALSA's own again
  }
  AlsaSilenced(const AlsaSilenced&) = delete;
  AlsaSilenced& operator=(const AlsaSilenced&) = delete;

 private:
  int (*set_)(AlsaHandler) = nullptr;
};

// A JACK client name one character longer than JACK takes: PortAudio's
// JACK host then finds no server and stays out of the way.
const char kRefusedJackName[] = "vorda-keeps-portaudio-out-of-jack-by-a-name-too-long-for-it-----";
static_assert(sizeof(kRefusedJackName) - 1 == 64);

// Holds PortAudio initialised (it counts its initialisations). Made and
// ended with the mutex held.
class Session {
 public:
  explicit Session(const Api& api) : api_(api) {
    if (api.jack_set_client_name != nullptr) api.jack_set_client_name(kRefusedJackName);
    AlsaSilenced silenced;
    jack::Quiet quiet;
    const PaError error = api.initialize();
    if (error != 0)
      throw Error(Error::Kind::failed,
                  std::string("PortAudio did not start: ") + api.error_text(error));
  }
  ~Session() { api_.terminate(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

 private:
  const Api& api_;
};

std::string backend_name(const PaHostApiInfo& host) {
  switch (host.type) {
    case 8:
      return "alsa";
    case 7:
      return "oss";
    case 5:
      return "coreaudio";
    case 13:
      return "wasapi";
    case 1:
      return "directsound";
    case 2:
      return "mme";
    case 3:
      return "asio";
    case 11:
      return "wdmks";
    case 16:
      return "pulseaudio";
    default:
      break;
  }
  std::string name = host.name != nullptr ? host.name : "unknown";
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::vector<DeviceInfo> list(const Api& api) {
  std::vector<DeviceInfo> found;
  const int count = api.device_count();
  for (int index = 0; index < count; ++index) {
    const PaDeviceInfo* info = api.device_info(index);
    if (info == nullptr) continue;
    const PaHostApiInfo* host = api.host_api_info(info->hostApi);
    if (host == nullptr || host->type == kHostJack) continue;
    DeviceInfo d;
    d.name = info->name != nullptr ? info->name : "";
    d.backend = backend_name(*host);
    d.inputs = info->maxInputChannels;
    d.outputs = info->maxOutputChannels;
    d.default_input = host->defaultInputDevice == index;
    d.default_output = host->defaultOutputDevice == index;
    d.sample_rate = info->defaultSampleRate;
    d.index = index;
    found.push_back(d);
  }
  return found;
}

Error refusal(const Api& api, PaError error, const DeviceInfo& device, const Request& request) {
  const std::string what = "device '" + device.name + "' (" + device.backend + ")";
  switch (error) {
    case kInvalidSampleRate:
      return Error(Error::Kind::refused,
                   "sample_rate: " + what + " refuses " + std::to_string(request.sample_rate) +
                       " Hz (its own rate is " + std::to_string(device.sample_rate) + " Hz)");
    case kInvalidChannelCount:
      return Error(Error::Kind::refused, what + " refuses the channel count (" +
                                             std::to_string(request.outputs) + " out, " +
                                             std::to_string(request.inputs) + " in)");
    case kBufferTooBig:
    case kBufferTooSmall:
      return Error(Error::Kind::refused, "blocksize: " + what + " refuses blocks of " +
                                             std::to_string(request.blocksize) + " samples");
    case kSampleFormatNotSupported:
      return Error(Error::Kind::refused, what + " does not take float32 samples");
    default:
      return Error(Error::Kind::failed, what + ": " + api.error_text(error));
  }
}

class PortAudioStream final : public DeviceStream {
 public:
  PortAudioStream(const Api& api, const Request& request, const DeviceInfo& chosen, Process process,
                  void* engine)
      : api_(api), process_(process), engine_(engine) {
    session_.emplace(api);
    const DeviceInfo device = find(chosen);
    backend = device.backend;
    this->device = device.name;
    PaStreamParameters in{device.index, request.inputs, kFloat32 | kNonInterleaved, 0.0, nullptr};
    PaStreamParameters out{device.index, request.outputs, kFloat32 | kNonInterleaved, 0.0, nullptr};
    const PaDeviceInfo* info = api.device_info(device.index);
    in.suggestedLatency = info->defaultLowInputLatency;
    out.suggestedLatency = info->defaultLowOutputLatency;
    // No clipping or dither of PortAudio's own: what the engine gives is played.
    const PaError error = api.open_stream(
        &stream_, request.inputs > 0 ? &in : nullptr, request.outputs > 0 ? &out : nullptr,
        request.sample_rate, request.blocksize, kClipOff | kDitherOff, &on_process, this);
    if (error != 0) {
      session_.reset();
      throw refusal(api, error, device, request);
    }
  }

  ~PortAudioStream() override {
    stop();
    std::lock_guard<std::mutex> lock(pa_mutex());
    if (stream_ != nullptr) api_.close_stream(stream_);
    session_.reset();
  }

  void start() override {
    std::lock_guard<std::mutex> lock(pa_mutex());
    SignalsBlocked blocked;  // the callback thread starts here
    const PaError error = api_.start_stream(stream_);
    if (error != 0)
      throw Error(Error::Kind::failed, "device '" + device + "': " + api_.error_text(error));
    started_.store(true, std::memory_order_release);
  }

  void stop() noexcept override {
    std::lock_guard<std::mutex> lock(pa_mutex());
    if (!started_.exchange(false)) return;
    api_.stop_stream(stream_);
  }

  bool failed() noexcept override {
    if (!started_.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(pa_mutex());
    return started_.load(std::memory_order_relaxed) && api_.is_stream_active(stream_) != 1;
  }

  std::string failure() const override {
    return "the device '" + device + "' (" + backend + ") stopped the stream";
  }

  double latency() noexcept override {
    std::lock_guard<std::mutex> lock(pa_mutex());
    const PaStreamInfo* info = api_.stream_info(stream_);
    return info != nullptr ? info->outputLatency : 0.0;
  }

 private:
  // The chosen device in this session's numbering.
  DeviceInfo find(const DeviceInfo& chosen) {
    for (const DeviceInfo& d : list(api_))
      if (d.backend == chosen.backend && d.name == chosen.name) return d;
    throw Error(Error::Kind::not_found, "device '" + chosen.name + "' (" + chosen.backend +
                                            ") has gone since it was listed");
  }

  static int on_process(const void* input, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, unsigned long flags, void* arg) {
    auto& self = *static_cast<PortAudioStream*>(arg);
    self.process_(self.engine_, static_cast<const float* const*>(input),
                  static_cast<float* const*>(output), frames,
                  (flags & kUnderflowsAndOverflows) != 0);
    return 0;  // paContinue
  }

  const Api& api_;
  std::optional<Session> session_;
  Process process_;
  void* engine_;
  void* stream_ = nullptr;
  std::atomic<bool> started_{false};
};

}  // namespace

const char* const kMissing =
    "PortAudio is missing (Debian: apt install libportaudio2; Fedora: portaudio; macOS: brew "
    "install portaudio; VORDA_PORTAUDIO_LIBRARY names another file)";

bool loaded() {
  return load() != nullptr;
}

std::vector<DeviceInfo> devices() {
  const Api* api = load();
  if (api == nullptr) return {};
  std::lock_guard<std::mutex> lock(pa_mutex());
  Session session(*api);
  return list(*api);
}

std::unique_ptr<DeviceStream> open(const Request& request, const DeviceInfo& device,
                                   Process process, void* engine) {
  const Api* api = load();
  if (api == nullptr) throw Error(Error::Kind::missing, kMissing);
  std::lock_guard<std::mutex> lock(pa_mutex());
  return std::make_unique<PortAudioStream>(*api, request, device, process, engine);
}

}  // namespace vorda::blocks::audio::portaudio
