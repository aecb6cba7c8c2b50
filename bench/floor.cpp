// The floor for vorda_blocks: each processor driven by a plain C++ loop, no
// Python anywhere, on the inputs bench/blocks.py writes. What a block call
// costs beyond this is what the module adds around the same loop.
//
//     floor DIR        DIR holds the inputs (x.bin, f.bin, ...) and constants.txt
//
// It answers the commands of harness.hpp. A case builds its processor as
// vorda's constructor does, runs one pass from that fresh state (the one
// `check` writes), then the timed passes, each a loop over the whole input,
// carrying the state on.
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "delay.hpp"
#include "harness.hpp"
#include "iir_filter.hpp"
#include "leak_dc.hpp"
#include "lfo.hpp"
#include "osc.hpp"
#include "pan.hpp"
#include "ring_buffer.hpp"

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

// The constants, a float narrowed from the double written there as vorda
// narrows a Python float.
Constants load_constants(const std::string& dir) {
  const bench::Settings k(dir);
  return {k.sample("rate"), k.sample("seconds"), k.sample("f"),  k.sample("lfo_f"),
          k.sample("ds"),   k.sample("ts"),      k.sample("pos"), k.sample("coef"),
          k.sample("b0"),   k.sample("b1"),      k.sample("b2"),  k.sample("a1"),
          k.sample("a2"),   k.count("samples"),  k.count("dn"),   k.count("tn"),
          k.count("seed")};
}

Inputs load_inputs(const std::string& dir) {
  Inputs in;
  for (auto [name, values] : {std::pair{"x", &in.x}, {"f", &in.f}, {"ds", &in.ds},
                              {"ts", &in.ts}, {"pos", &in.pos}, {"coef", &in.coef},
                              {"b0", &in.b0}, {"b1", &in.b1}, {"b2", &in.b2},
                              {"a1", &in.a1}, {"a2", &in.a2}})
    *values = bench::load<float>(dir, name);
  in.dn = bench::load<std::uint64_t>(dir, "dn");
  in.tn = bench::load<std::uint64_t>(dir, "tn");
  in.n = in.x.size();
  in.k = load_constants(dir);
  return in;
}

using bench::Run;
using bench::ticks;
using Case = bench::Case<Inputs>;

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

}  // namespace

int main(int argc, char** argv) { return bench::serve(argc, argv, kCases, load_inputs); }
