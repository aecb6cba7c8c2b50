// What the C++ floors of the benches share: their inputs and settings read
// from the directory the Python script fills, the time stamp counter, and
// the command loop the script drives over a pipe.
//
// Commands on standard input, one a line, each answered by a line of JSON:
//
//     list                   the case names
//     time PASSES NAME       the fastest of PASSES timed passes, in ns per sample
//     check PATH NAME        writes the first pass's outputs to PATH (float32)
//     all PASSES             {name: ns per sample} for every case
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace bench {

template <class T>
std::vector<T> load(const std::string& dir, const char* name) {
  std::ifstream file(dir + "/" + name + ".bin", std::ios::binary | std::ios::ate);
  if (!file) throw std::runtime_error(std::string("cannot read ") + name + ".bin");
  std::vector<T> values(static_cast<std::size_t>(file.tellg()) / sizeof(T));
  file.seekg(0);
  file.read(reinterpret_cast<char*>(values.data()),
            static_cast<std::streamsize>(values.size() * sizeof(T)));
  return values;
}

// The "name value" lines of constants.txt. A value is read at run time, as
// a program reads its settings: a literal would let the compiler fold work
// that the module, given a number from Python, has to do.
class Settings {
 public:
  explicit Settings(const std::string& dir) {
    std::ifstream file(dir + "/constants.txt");
    for (std::string name, value; file >> name >> value;) text_[name] = value;
  }
  // A Python float as it is written there (repr round-trips a double).
  double number(const std::string& name) const { return std::stod(get(name)); }
  // A Python float given to a Sample parameter, narrowed as vorda narrows it.
  float sample(const std::string& name) const { return static_cast<float>(number(name)); }
  std::uint64_t count(const std::string& name) const { return std::stoull(get(name)); }

 private:
  const std::string& get(const std::string& name) const {
    auto found = text_.find(name);
    if (found == text_.end()) throw std::runtime_error("no constant " + name);
    return found->second;
  }
  std::map<std::string, std::string> text_;
};

// The time stamp counter, read without a call: a call between the loops
// would make the processors' state wait in memory across it (no float
// register survives a call), which is not what a plain loop costs.
#if defined(__x86_64__) || defined(__i386__)
inline std::uint64_t ticks() {
  return __rdtsc();
}
#else
inline std::uint64_t ticks() {  // elsewhere the clock, a call: the floor may read high
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}
#endif

// Nanoseconds per tick, against the steady clock over 50 ms.
inline double ns_per_tick() {
  auto t0 = std::chrono::steady_clock::now();
  std::uint64_t c0 = ticks();
  while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(50)) {
  }
  auto elapsed = std::chrono::steady_clock::now() - t0;
  std::uint64_t c1 = ticks();
  return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(c1 - c0);
}

struct Run {
  int passes = 0;                    // timed passes after the first
  std::uint64_t ticks = UINT64_MAX;  // the fastest of them
  std::vector<float> first, first2;  // the first pass's outputs
  float last = 0.0f;

  // Reads the last outputs out of line, so that no store of the loops can
  // be dropped as unread.
  [[gnu::noinline]] void keep(const std::vector<float>& y, const std::vector<float>& y2) {
    for (const auto* out : {&y, &y2})
      if (!out->empty()) last += out->back();
  }
};

template <class Inputs>
struct Case {
  const char* name;
  void (*run)(const Inputs&, Run&);
};

// Answers the commands on standard input for `cases` over the inputs that
// `load_inputs` reads from the directory given as the only argument.
// `Inputs` has `n`, the samples of a pass.
template <class Inputs, std::size_t N>
int serve(int argc, char** argv, const Case<Inputs> (&cases)[N],
          Inputs (*load_inputs)(const std::string&)) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR  (commands on standard input)\n", argv[0]);
    return 2;
  }
  const Inputs in = load_inputs(argv[1]);
  const double ns_tick = ns_per_tick();
  auto run_case = [&](const Case<Inputs>& c, int passes) {
    Run run;
    run.passes = passes;
    c.run(in, run);
    return run;
  };
  auto ns_per_sample = [&](const Run& run) {
    std::ostringstream text;
    text.precision(6);
    text << static_cast<double>(run.ticks) * ns_tick / static_cast<double>(in.n);
    return text.str();
  };
  auto answer = [&](const std::string& line) -> std::string {
    std::istringstream words(line);
    std::string command, arg, name;
    words >> command >> arg;
    std::getline(words >> std::ws, name);
    if (command == "list" || command == "all") {
      int passes = command == "all" ? std::stoi(arg) : 0;
      std::string text = command == "list" ? "[" : "{";
      for (const auto& c : cases) {
        text += std::string(text.size() > 1 ? ", " : "") + "\"" + c.name + "\"";
        if (passes > 0) text += ": " + ns_per_sample(run_case(c, passes));
      }
      return text + (command == "list" ? "]" : "}");
    }
    const Case<Inputs>* c = nullptr;
    for (const auto& each : cases)
      if (name == each.name) c = &each;
    if (c == nullptr) return "{\"error\": \"no such case\"}";
    if (command == "time")
      return "{\"ns\": " + ns_per_sample(run_case(*c, std::max(1, std::stoi(arg)))) + "}";
    if (command == "check") {
      Run run = run_case(*c, 0);
      std::ofstream file(arg, std::ios::binary);
      for (const auto* out : {&run.first, &run.first2})
        file.write(reinterpret_cast<const char*>(out->data()),
                   static_cast<std::streamsize>(out->size() * sizeof(float)));
      return file ? "{\"written\": true}" : "{\"error\": \"cannot write\"}";
    }
    return "{\"error\": \"unknown command\"}";
  };
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    try {
      std::cout << answer(line) << std::endl;
    } catch (const std::exception& e) {
      std::cout << "{\"error\": \"" << e.what() << "\"}" << std::endl;
    }
  }
  return 0;
}

}  // namespace bench
