// The floor for vorda_blocks: each processor driven by a plain C++ loop, no
// Python anywhere, on the inputs bench/blocks.py writes. What a block call
// costs beyond this is what the module adds around the same loop.
//
//     floor DIR        DIR holds the inputs (x.bin, f.bin, ...) and constants.txt
//
// Commands on standard input, one a line, each answered by a line of JSON:
//
//     list                   the case names
//     time PASSES NAME       the fastest of PASSES timed passes, in ns per sample
//     check PATH NAME        writes the first pass's outputs to PATH (float32)
//     all PASSES             {name: ns per sample} for every case
//
// A case builds its processor as vorda's constructor does, runs one pass
// from that fresh state (the one `check` writes), then the timed passes,
// each a loop over the whole input, carrying the state on. The constants
// are read at run time, as a program reads its settings: literals would let
// the compiler fold work that the block call, given numbers from Python,
// has to do.
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
#include <tuple>
#include <vector>

#include "delay.hpp"
#include "iir_filter.hpp"
#include "leak_dc.hpp"
#include "lfo.hpp"
#include "osc.hpp"
#include "pan.hpp"
#include "ring_buffer.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

using namespace vorda;

// The constant parameters and the constructors' arguments.
struct Constants {
  float rate, seconds, f, lfo_f, ds, ts, pos, coef, b0, b1, b2, a1, a2;
  std::uint64_t samples, dn, tn, seed;
};

// The per-sample values, one file each: float32 or, for counts, 64-bit.
struct Inputs {
  std::size_t n = 0;
  std::vector<float> x, f, ds, ts, pos, coef, b0, b1, b2, a1, a2;
  std::vector<std::uint64_t> dn, tn;
  Constants k;
};

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

// "name value" lines; a float is the double written there, narrowed as
// vorda narrows a Python float.
Constants load_constants(const std::string& dir) {
  std::ifstream file(dir + "/constants.txt");
  std::map<std::string, std::string> text;
  for (std::string name, value; file >> name >> value;) text[name] = value;
  auto get = [&](const char* name) {
    auto found = text.find(name);
    if (found == text.end()) throw std::runtime_error(std::string("no constant ") + name);
    return found->second;
  };
  auto real = [&](const char* name) { return static_cast<float>(std::stod(get(name))); };
  auto count = [&](const char* name) { return std::uint64_t{std::stoull(get(name))}; };
  return {real("rate"), real("seconds"), real("f"),  real("lfo_f"), real("ds"),
          real("ts"),   real("pos"),     real("coef"), real("b0"),  real("b1"),
          real("b2"),   real("a1"),      real("a2"),   count("samples"),
          count("dn"),  count("tn"),     count("seed")};
}

Inputs load_inputs(const std::string& dir) {
  Inputs in;
  for (auto [name, values] : {std::pair{"x", &in.x}, {"f", &in.f}, {"ds", &in.ds},
                              {"ts", &in.ts}, {"pos", &in.pos}, {"coef", &in.coef},
                              {"b0", &in.b0}, {"b1", &in.b1}, {"b2", &in.b2},
                              {"a1", &in.a1}, {"a2", &in.a2}})
    *values = load<float>(dir, name);
  in.dn = load<std::uint64_t>(dir, "dn");
  in.tn = load<std::uint64_t>(dir, "tn");
  in.n = in.x.size();
  in.k = load_constants(dir);
  return in;
}

// The time stamp counter, read without a call: a call between the loops
// would make the processor's state wait in memory across it (no float
// register survives a call), which is not what a plain loop costs.
#if defined(__x86_64__) || defined(__i386__)
std::uint64_t ticks() { return __rdtsc(); }
#else
std::uint64_t ticks() {  // elsewhere the clock, a call: the floor may read high
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}
#endif

// Nanoseconds per tick, against the steady clock over 50 ms.
double ns_per_tick() {
  auto t0 = std::chrono::steady_clock::now();
  std::uint64_t c0 = ticks();
  while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(50)) {
  }
  auto elapsed = std::chrono::steady_clock::now() - t0;
  std::uint64_t c1 = ticks();
  return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(c1 - c0);
}

struct Run {
  int passes = 0;  // timed passes after the first
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

struct Case {
  const char* name;
  void (*run)(const Inputs&, Run&);
};

struct Stateless {};  // pan2 is a function

// One case: DECL declares the processor `p` (in parentheses), the rest is
// the body of the loop over sample i, writing y[i] (and y2[i]). The
// constants are a local copy, as settings read into variables: through a
// reference, every store to y could change them as far as the compiler
// knows. The first pass writes into run.first. From the processor's
// construction to the last timed pass nothing is called but what the
// processor itself calls.
#define UNWRAP(...) __VA_ARGS__
#define CASE(name, decl, ...)                                        \
  Case {                                                             \
    name, [](const Inputs& in, Run& run) {                           \
      [[maybe_unused]] const Constants k = in.k;                     \
      std::vector<float> y(in.n), y2(in.n);                          \
      run.first.assign(in.n, 0.0f);                                  \
      run.first2.assign(in.n, 0.0f);                                 \
      [[maybe_unused]] UNWRAP decl;                                  \
      {                                                              \
        [[maybe_unused]] std::vector<float>& y = run.first;          \
        [[maybe_unused]] std::vector<float>& y2 = run.first2;        \
        for (std::size_t i = 0; i < in.n; ++i) {                     \
          __VA_ARGS__;                                               \
        }                                                            \
      }                                                              \
      for (int pass = 0; pass < run.passes; ++pass) {                \
        std::uint64_t start = ticks();                               \
        for (std::size_t i = 0; i < in.n; ++i) {                     \
          __VA_ARGS__;                                               \
        }                                                            \
        run.ticks = std::min(run.ticks, ticks() - start);            \
      }                                                              \
      run.keep(y, y2);                                               \
    }                                                                \
  }

const Case kCases[] = {
    CASE("SinOsc.process const", (SinOsc p(k.rate, 0.0f)), y[i] = p.process(k.f)),
    CASE("SinOsc.process arrays", (SinOsc p(k.rate, 0.0f)), y[i] = p.process(in.f[i])),
    CASE("WhiteNoise.process", (WhiteNoise p(k.seed)), y[i] = p.process()),
    CASE("Lfo.process const", (Lfo p(k.rate, 0)),
         std::tie(y[i], y2[i]) = p.process(k.lfo_f)),
    CASE("Lfo.process arrays", (Lfo p(k.rate, 0)), std::tie(y[i], y2[i]) = p.process(in.f[i])),
    CASE("Biquad.process const", (Biquad p(k.b0, k.b1, k.b2, k.a1, k.a2)), y[i] = p.process(in.x[i])),
    CASE("Biquad.process arrays", (Biquad p(k.b0, k.b1, k.b2, k.a1, k.a2)),
         p.set_coefs(in.b0[i], in.b1[i], in.b2[i], in.a1[i], in.a2[i]);
         y[i] = p.process(in.x[i])),
    CASE("LeakDc.process const", (LeakDc p(k.coef)), y[i] = p.process(in.x[i])),
    CASE("LeakDc.process arrays", (LeakDc p(k.coef)), p.coef = in.coef[i];
         y[i] = p.process(in.x[i])),

    CASE("DelayS.process const", (DelayS p(k.samples)), y[i] = p.process(in.x[i], k.dn)),
    CASE("DelayS.process arrays", (DelayS p(k.samples)), y[i] = p.process(in.x[i], in.dn[i])),
    CASE("DelayN.process const", (DelayN p(k.rate, k.seconds)), y[i] = p.process(in.x[i], k.ds)),
    CASE("DelayN.process arrays", (DelayN p(k.rate, k.seconds)), y[i] = p.process(in.x[i], in.ds[i])),
    CASE("DelayL.process const", (DelayL p(k.rate, k.seconds)), y[i] = p.process(in.x[i], k.ds)),
    CASE("DelayL.process arrays", (DelayL p(k.rate, k.seconds)), y[i] = p.process(in.x[i], in.ds[i])),
    CASE("CombS.process const", (CombS p(k.samples)),
         y[i] = p.process(in.x[i], k.dn, k.tn)),
    CASE("CombS.process arrays", (CombS p(k.samples)),
         y[i] = p.process(in.x[i], in.dn[i], in.tn[i])),
    CASE("CombN.process const", (CombN p(k.rate, k.seconds)),
         y[i] = p.process(in.x[i], k.ds, k.ts)),
    CASE("CombN.process arrays", (CombN p(k.rate, k.seconds)),
         y[i] = p.process(in.x[i], in.ds[i], in.ts[i])),
    CASE("CombL.process const", (CombL p(k.rate, k.seconds)),
         y[i] = p.process(in.x[i], k.ds, k.ts)),
    CASE("CombL.process arrays", (CombL p(k.rate, k.seconds)),
         y[i] = p.process(in.x[i], in.ds[i], in.ts[i])),
    CASE("AllpassS.process const", (AllpassS p(k.samples)),
         y[i] = p.process(in.x[i], k.dn, k.tn)),
    CASE("AllpassS.process arrays", (AllpassS p(k.samples)),
         y[i] = p.process(in.x[i], in.dn[i], in.tn[i])),
    CASE("AllpassN.process const", (AllpassN p(k.rate, k.seconds)),
         y[i] = p.process(in.x[i], k.ds, k.ts)),
    CASE("AllpassN.process arrays", (AllpassN p(k.rate, k.seconds)),
         y[i] = p.process(in.x[i], in.ds[i], in.ts[i])),
    CASE("AllpassL.process const", (AllpassL p(k.rate, k.seconds)),
         y[i] = p.process(in.x[i], k.ds, k.ts)),
    CASE("AllpassL.process arrays", (AllpassL p(k.rate, k.seconds)),
         y[i] = p.process(in.x[i], in.ds[i], in.ts[i])),

    CASE("pan2 const", (Stateless p), std::tie(y[i], y2[i]) = pan2(in.x[i], k.pos)),
    CASE("pan2 arrays", (Stateless p), std::tie(y[i], y2[i]) = pan2(in.x[i], in.pos[i])),

    CASE("RingBufferS.read const", (RingBufferS p(k.samples)), y[i] = p.read(k.dn)),
    CASE("RingBufferS.read arrays", (RingBufferS p(k.samples)), y[i] = p.read(in.dn[i])),
    CASE("RingBufferS.write", (RingBufferS p(k.samples)), p.write(in.x[i])),
    CASE("RingBufferN.read const", (RingBufferN p(k.rate, k.seconds)), y[i] = p.read(k.ds)),
    CASE("RingBufferN.read arrays", (RingBufferN p(k.rate, k.seconds)), y[i] = p.read(in.ds[i])),
    CASE("RingBufferN.write", (RingBufferN p(k.rate, k.seconds)), p.write(in.x[i])),
    CASE("RingBufferL.read const", (RingBufferL p(k.rate, k.seconds)), y[i] = p.read(k.ds)),
    CASE("RingBufferL.read arrays", (RingBufferL p(k.rate, k.seconds)), y[i] = p.read(in.ds[i])),
    CASE("RingBufferL.write", (RingBufferL p(k.rate, k.seconds)), p.write(in.x[i])),
};

const Case* find(const std::string& name) {
  for (const Case& c : kCases)
    if (name == c.name) return &c;
  return nullptr;
}

Run run_case(const Case& c, const Inputs& in, int passes) {
  Run run;
  run.passes = passes;
  c.run(in, run);
  return run;
}

const double kNsPerTick = ns_per_tick();

std::string ns_per_sample(const Run& run, const Inputs& in) {
  std::ostringstream text;
  text.precision(6);
  text << static_cast<double>(run.ticks) * kNsPerTick / static_cast<double>(in.n);
  return text.str();
}

std::string answer(const std::string& line, const Inputs& in) {
  std::istringstream words(line);
  std::string command, arg, name;
  words >> command >> arg;
  std::getline(words >> std::ws, name);
  if (command == "list" || command == "all") {
    int passes = command == "all" ? std::stoi(arg) : 0;
    std::string text = command == "list" ? "[" : "{";
    for (const Case& c : kCases) {
      text += std::string(text.size() > 1 ? ", " : "") + "\"" + c.name + "\"";
      if (passes > 0) text += ": " + ns_per_sample(run_case(c, in, passes), in);
    }
    return text + (command == "list" ? "]" : "}");
  }
  const Case* c = find(name);
  if (c == nullptr) return "{\"error\": \"no such case\"}";
  if (command == "time") {
    int passes = std::max(1, std::stoi(arg));
    return "{\"ns\": " + ns_per_sample(run_case(*c, in, passes), in) + "}";
  }
  if (command == "check") {
    Run run = run_case(*c, in, 0);
    std::ofstream file(arg, std::ios::binary);
    file.write(reinterpret_cast<const char*>(run.first.data()),
               static_cast<std::streamsize>(run.first.size() * sizeof(float)));
    file.write(reinterpret_cast<const char*>(run.first2.data()),
               static_cast<std::streamsize>(run.first2.size() * sizeof(float)));
    return file ? "{\"written\": true}" : "{\"error\": \"cannot write\"}";
  }
  return "{\"error\": \"unknown command\"}";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR  (commands on standard input)\n", argv[0]);
    return 2;
  }
  Inputs in = load_inputs(argv[1]);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    try {
      std::cout << answer(line, in) << std::endl;
    } catch (const std::exception& e) {
      std::cout << "{\"error\": \"" << e.what() << "\"}" << std::endl;
    }
  }
  return 0;
}
