// Which backend and which device a stream gets, and the errors that say
// what to do when there is none.
#include "blocks/audio.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace vorda::blocks::audio {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

std::string listed(const std::vector<DeviceInfo>& all) {
  std::string text;
  for (std::size_t i = 0; i < all.size(); ++i)
    text += (i ? ", " : "") + std::to_string(i) + ": " + quoted(all[i].name) + " (" +
            all[i].backend + ")";
  return text;
}

std::string no_device_at_all() {
  return std::string(
      "no audio device: no JACK server answers and PortAudio sees no device. On Linux, "
      "start a JACK server (jackd -d alsa for a sound card, jackd -d dummy for none; "
      "JACK_DEFAULT_SERVER picks a named one), or run PipeWire or PulseAudio with "
      "ALSA's plugin for it, or give a machine a sound card");
}

const DeviceInfo& by_index(const std::vector<DeviceInfo>& all, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= all.size())
    throw Error(Error::Kind::not_found, "device: no device " + std::to_string(index) +
                                            " (there are " + std::to_string(all.size()) + ": " +
                                            listed(all) + ")");
  return all[static_cast<std::size_t>(index)];
}

// An exact name first; else the one name that contains it, ignoring case.
const DeviceInfo& by_name(const std::vector<DeviceInfo>& all, const std::string& name) {
  for (const DeviceInfo& d : all)
    if (d.name == name) return d;
  const DeviceInfo* found = nullptr;
  for (const DeviceInfo& d : all) {
    if (lower(d.name).find(lower(name)) == std::string::npos) continue;
    if (found != nullptr)
      throw Error(Error::Kind::not_found, "device: " + quoted(name) + " could be " +
                                              quoted(found->name) + " or " + quoted(d.name) +
                                              ": give the whole name or the index");
    found = &d;
  }
  if (found == nullptr)
    throw Error(Error::Kind::not_found, "device: no device named " + quoted(name) +
                                            (all.empty() ? std::string(" (there is none)")
                                                         : " (there are " + listed(all) + ")"));
  return *found;
}

const DeviceInfo& by_default(const std::vector<DeviceInfo>& all, const Request& request) {
  const bool playing = request.outputs > 0;
  for (const DeviceInfo& d : all)
    if (playing ? d.default_output : d.default_input) return d;
  for (const DeviceInfo& d : all)
    if (playing ? d.outputs > 0 : d.inputs > 0) return d;
  throw Error(Error::Kind::not_found, no_device_at_all());
}

void check_backend(const std::vector<DeviceInfo>& all, const std::string& backend) {
  if (backend.empty()) return;
  for (const DeviceInfo& d : all)
    if (d.backend == backend) return;
  if (backend == "jack") {
    if (!jack::loaded())
      throw Error(Error::Kind::missing, std::string("backend 'jack': ") + jack::kMissing);
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    throw Error(Error::Kind::not_found,
                std::string("backend 'jack': no JACK server answers") +
                    (server ? std::string(" (JACK_DEFAULT_SERVER=") + server + ")" : "") +
                    ": start one (jackd -d alsa, or jackd -d dummy for no sound card)");
  }
  std::vector<std::string> names;
  for (const DeviceInfo& d : all)
    if (std::find(names.begin(), names.end(), d.backend) == names.end()) names.push_back(d.backend);
  std::string known;
  for (const std::string& name : names) known += (known.empty() ? "" : ", ") + quoted(name);
  throw Error(Error::Kind::not_found, "backend: no backend " + quoted(backend) + " here (" +
                                          (known.empty() ? "none answers" : "there are " + known) +
                                          ")");
}

void check_channels(const DeviceInfo& device, const Request& request) {
  auto refuse = [&](const char* what, int has, int asked) {
    throw Error(Error::Kind::refused, "device " + quoted(device.name) + " (" + device.backend +
                                          ") has " + std::to_string(has) + " " + what +
                                          " channels; the stream needs " + std::to_string(asked));
  };
  if (request.outputs > device.outputs) refuse("playback", device.outputs, request.outputs);
  if (request.inputs > device.inputs) refuse("capture", device.inputs, request.inputs);
}

}  // namespace

void* load_library(const char* name, const char* override_variable) {
  const char* chosen = std::getenv(override_variable);
  // Global, so that the library's symbols resolve as they would in a
  // program linked against it (an interposed one included).
  return dlopen(chosen != nullptr && *chosen != '\0' ? chosen : name, RTLD_NOW | RTLD_GLOBAL);
}

void* symbol(void* library, const char* name) {
  return dlsym(library, name);
}

std::vector<DeviceInfo> devices() {
  const bool have_jack = jack::loaded();
  const bool have_portaudio = portaudio::loaded();
  if (!have_portaudio && !have_jack)
    throw Error(Error::Kind::missing,
                std::string("no audio library: vorda_blocks plays through PortAudio or JACK and "
                            "finds neither. ") +
                    portaudio::kMissing + "; " + jack::kMissing);
  std::vector<DeviceInfo> all;
  if (have_jack) all = jack::devices();
  if (have_portaudio) {
    std::vector<DeviceInfo> more = portaudio::devices();
    all.insert(all.end(), more.begin(), more.end());
  }
  return all;
}

std::unique_ptr<DeviceStream> open(const Request& request, Process process, void* engine) {
  const std::vector<DeviceInfo> all = devices();
  check_backend(all, request.backend);
  std::vector<DeviceInfo> candidates;
  for (const DeviceInfo& d : all)
    if (request.backend.empty() || d.backend == request.backend) candidates.push_back(d);
  DeviceInfo device;
  if (request.device_index) {
    device = by_index(all, *request.device_index);
    if (!request.backend.empty() && device.backend != request.backend)
      throw Error(Error::Kind::not_found, "device " + std::to_string(*request.device_index) +
                                              " is a " + device.backend + " device, not " +
                                              request.backend);
  } else if (request.device) {
    device = by_name(candidates, *request.device);
  } else {
    if (candidates.empty()) {
      std::string missing;
      if (!portaudio::loaded()) missing += std::string("; ") + portaudio::kMissing;
      if (!jack::loaded()) missing += std::string("; ") + jack::kMissing;
      throw Error(Error::Kind::missing, no_device_at_all() + missing);
    }
    device = by_default(candidates, request);
  }
  check_channels(device, request);
  if (device.backend == "jack") return jack::open(request, device, process, engine);
  return portaudio::open(request, device, process, engine);
}

}  // namespace vorda::blocks::audio
