// The floor for patches: each network of bench/patches.py written as a plain
// C++ loop over the same processors, with no Python anywhere. Between the
// calls the values are doubles, narrowed to float where a call takes them,
// exactly as the per-sample Python loop (and so the patch) computes them.
//
//     networks DIR     DIR holds x.bin (float32) and constants.txt, and for
//                      the voices voices.bin (float32, a row of x's length
//                      a voice; only versus.py writes it)
//
// It answers the commands of harness.hpp. A case builds its network as the
// script's constructors do, runs one pass from that fresh state (the one
// `check` writes), then the timed passes over the same input, carrying the
// state on.
#include <array>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "delay.hpp"
#include "harness.hpp"
#include "iir_filter.hpp"
#include "leak_dc.hpp"
#include "ring_buffer.hpp"

namespace {

using namespace vorda;
using bench::Run;
using bench::Settings;
using bench::ticks;

struct Inputs {
  std::size_t n = 0;
  std::vector<float> x, voices;
  Settings k;
};

Inputs load_inputs(const std::string& dir) {
  Inputs in{0, bench::load<float>(dir, "x"), {}, Settings(dir)};
  in.n = in.x.size();
  if (std::filesystem::exists(dir + "/voices.bin")) in.voices = bench::load<float>(dir, "voices");
  return in;
}

// An array of processors that have no default constructor: element i is
// made(i), in place.
template <class T, std::size_t N, class Make>
std::array<T, N> make_array(Make made) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<T, N>{made(I)...};
  }(std::make_index_sequence<N>{});
}

double wide(float value) {
  return static_cast<double>(value);
}
float narrow(double value) {
  return static_cast<float>(value);
}

Biquad biquad(const Settings& k, const std::string& prefix) {
  return Biquad(k.sample(prefix + "b0"), k.sample(prefix + "b1"), k.sample(prefix + "b2"),
                k.sample(prefix + "a1"), k.sample(prefix + "a2"));
}

// A plucked string: the loop through a delay line and a low-pass, damped,
// with the input added on the way back in; the DC blocked on the way out.
// The voices are strings of the same make, each with a delay of its own.
class Karplus {
 public:
  explicit Karplus(const Settings& k, const std::string& delay = "ks_delay_sec")
      : line_(k.sample("rate"), k.sample("ks_max_sec")),
        lowpass_(biquad(k, "ks_")),
        dc_(k.sample("ks_coef")),
        delay_(k.sample(delay)),
        damping_(k.number("ks_damping")) {}

  [[gnu::always_inline]] void step(float x, float& y, float&) {
    double fed = wide(line_.process(narrow(v_), delay_));
    double damped = damping_ * wide(lowpass_.process(narrow(fed)));
    v_ = wide(x) + damped;
    y = dc_.process(narrow(damped));
  }

 private:
  DelayL line_;
  Biquad lowpass_;
  LeakDc dc_;
  float delay_;
  double damping_;
  double v_ = 0.0;  // the feedback: what goes into the line next sample
};

// Eight combs a side, each a ring read at its delay whose output, through a
// one-pole low-pass, is fed back with the input; their sum through four
// allpasses in series; combs 0-7 and allpasses 0-3 are the left side's.
class Reverb {
 public:
  static constexpr std::size_t kCombs = 8, kAllpasses = 4;

  explicit Reverb(const Settings& k)
      : combs_(make_array<Comb, 2 * kCombs>([&](std::size_t i) {
          std::uint64_t delay = k.count("fv_comb" + std::to_string(i));
          return Comb{RingBufferS(delay), biquad(k, "fv_"), delay};
        })),
        allpasses_(make_array<Allpass, 2 * kAllpasses>([&](std::size_t i) {
          std::uint64_t delay = k.count("fv_ap" + std::to_string(i));
          std::uint64_t decay = k.count("fv_decay" + std::to_string(i));
          // A constant delay and decay: the coefficient once, as the patch
          // computes it (the Python loop has a powf in every call).
          return Allpass{AllpassS(delay), delay,
                         std::get<1>(AllpassS::at_coefficient(delay, decay))};
        })),
        in_gain_(k.number("fv_in_gain")),
        feedback_(k.number("fv_feedback")) {}

  [[gnu::always_inline]] void step(float x, float& left, float& right) {
    double in = in_gain_ * wide(x);
    left = side(in, 0);
    right = side(in, 1);
  }

 private:
  struct Comb {
    RingBufferS ring;
    Biquad lowpass;
    std::uint64_t delay;
  };
  struct Allpass {
    AllpassS filter;
    std::uint64_t delay;
    float gain;
  };

  [[gnu::always_inline]] float side(double in, std::size_t s) {
    double total = 0.0;
    for (std::size_t c = s * kCombs; c < (s + 1) * kCombs; ++c) {
      Comb& comb = combs_[c];
      double d = wide(comb.ring.read(comb.delay));
      comb.ring.write(narrow(in + feedback_ * wide(comb.lowpass.process(narrow(d)))));
      total += d;
    }
    for (std::size_t a = s * kAllpasses; a < (s + 1) * kAllpasses; ++a) {
      Allpass& ap = allpasses_[a];
      total = wide(ap.filter.process_at(narrow(total), ap.delay, ap.gain));
    }
    return narrow(total);
  }

  std::array<Comb, 2 * kCombs> combs_;
  std::array<Allpass, 2 * kAllpasses> allpasses_;
  double in_gain_, feedback_;
};

// Four delay lines whose outputs are mixed by the Householder reflection
// (each minus half their sum) and fed back, scaled, with the input.
class Fdn {
 public:
  static constexpr std::size_t kLines = 4;

  explicit Fdn(const Settings& k)
      : lines_(make_array<DelayS, kLines>(
            [&](std::size_t i) { return DelayS(k.count("fdn_len" + std::to_string(i))); })),
        gain_(k.number("fdn_gain")) {
    for (std::size_t i = 0; i < kLines; ++i) lengths_[i] = k.count("fdn_len" + std::to_string(i));
  }

  [[gnu::always_inline]] void step(float x, float& y, float&) {
    double out[kLines];
    for (std::size_t i = 0; i < kLines; ++i)
      out[i] = wide(lines_[i].process(narrow(v_[i]), lengths_[i]));
    double total = out[0] + out[1] + out[2] + out[3];
    double half = 0.5 * total;
    for (std::size_t i = 0; i < kLines; ++i) v_[i] = wide(x) + gain_ * (out[i] - half);
    y = narrow(total);
  }

 private:
  std::array<DelayS, kLines> lines_;
  std::uint64_t lengths_[kLines];
  double gain_;
  double v_[kLines] = {};  // the feedbacks
};

// A comb or allpass at a constant delay and decay, its coefficient and its
// read's whole samples worked out once, as the patch and a block call work
// them out: a step is then process_at's read, feed and output, without the
// truncation of the delay that process_at repeats every sample.
template <class Filter>
struct AtConstant {
  using Ring = std::remove_cvref_t<decltype(std::declval<Filter&>().ring())>;

  AtConstant(const Settings& k, const std::string& max_sec, const std::string& delay_sec,
             const std::string& decay_sec)
      : filter(k.sample("rate"), k.sample(max_sec)),
        read(filter.ring().prepare(k.sample(delay_sec))),
        gain(std::get<1>(Filter::at_coefficient(k.sample(delay_sec), k.sample(decay_sec)))) {}

  [[gnu::always_inline]] float process(float x) {
    float delayed = Ring::Reader::read(filter.ring().memory(), read, 0);
    return Filter::output(delayed, gain, filter.feed(x, delayed, gain));
  }

  Filter filter;
  typename Ring::Reader::Prepared read;
  float gain;
};

// Eight CombN in parallel on the input, their outputs summed from 0.0, the
// sum through four AllpassN in series; every delay and decay constant.
class CombReverb {
 public:
  static constexpr std::size_t kCombs = 8, kAllpasses = 4;

  explicit CombReverb(const Settings& k)
      : combs_(make_array<AtConstant<CombN>, kCombs>([&](std::size_t i) {
          return AtConstant<CombN>(k, "cr_max_sec", "cr_comb" + std::to_string(i), "cr_decay");
        })),
        allpasses_(make_array<AtConstant<AllpassN>, kAllpasses>([&](std::size_t i) {
          return AtConstant<AllpassN>(k, "cr_ap_max_sec", "cr_ap" + std::to_string(i),
                                      "cr_ap_decay");
        })) {
    if (k.count("cr_combs") != kCombs || k.count("cr_allpasses") != kAllpasses)
      throw std::runtime_error("comb_reverb is built for 8 combs and 4 allpasses");
  }

  [[gnu::always_inline]] void step(float x, float& y, float&) {
    double total = 0.0;
    for (auto& comb : combs_) total += wide(comb.process(x));
    float through = narrow(total);
    for (auto& allpass : allpasses_) through = allpass.process(through);
    y = through;
  }

 private:
  std::array<AtConstant<CombN>, kCombs> combs_;
  std::array<AtConstant<AllpassN>, kAllpasses> allpasses_;
};

// The network is a local and every step is inlined: from its construction
// to the last timed pass nothing is called but what the processors call.
template <class Network>
void run(const Inputs& in, Run& run) {
  Network network(in.k);
  std::vector<float> y(in.n), y2(in.n);
  run.first.assign(in.n, 0.0f);
  run.first2.assign(in.n, 0.0f);
  for (std::size_t i = 0; i < in.n; ++i) network.step(in.x[i], run.first[i], run.first2[i]);
  for (int pass = 0; pass < run.passes; ++pass) {
    std::uint64_t start = ticks();
    for (std::size_t i = 0; i < in.n; ++i) network.step(in.x[i], y[i], y2[i]);
    run.ticks = std::min(run.ticks, ticks() - start);
  }
  run.keep(y, y2);
}

// One pass of the voices, one after another, each over its row of
// voices.bin; their outputs summed from 0.0 in the order of the voices, as
// the patch adds them up sample by sample. Each voice is moved into a local
// for its pass, so its state can live in registers.
[[gnu::always_inline]] inline void voices_pass(const Inputs& in, std::vector<Karplus>& voices,
                                               std::vector<double>& total, std::vector<float>& y) {
  std::fill(total.begin(), total.end(), 0.0);
  for (std::size_t k = 0; k < voices.size(); ++k) {
    Karplus voice = std::move(voices[k]);
    const float* x = in.voices.data() + k * in.n;
    for (std::size_t i = 0; i < in.n; ++i) {
      float out, unused;
      voice.step(x[i], out, unused);
      total[i] += wide(out);
    }
    voices[k] = std::move(voice);
  }
  for (std::size_t i = 0; i < in.n; ++i) y[i] = narrow(total[i]);
}

void run_voices(const Inputs& in, Run& run) {
  const std::size_t count = in.k.count("pv_voices");
  if (in.voices.size() != count * in.n)
    throw std::runtime_error("voices.bin does not hold a row of x's length per voice");
  std::vector<Karplus> voices;
  for (std::size_t k = 0; k < count; ++k) voices.emplace_back(in.k, "pv_delay" + std::to_string(k));
  std::vector<double> total(in.n);
  std::vector<float> y(in.n);
  run.first.assign(in.n, 0.0f);
  voices_pass(in, voices, total, run.first);
  for (int pass = 0; pass < run.passes; ++pass) {
    std::uint64_t start = ticks();
    voices_pass(in, voices, total, y);
    run.ticks = std::min(run.ticks, ticks() - start);
  }
  run.keep(y, {});
}

const bench::Case<Inputs> kCases[] = {
    {"karplus", run<Karplus>},        {"reverb", run<Reverb>}, {"fdn", run<Fdn>},
    {"comb_reverb", run<CombReverb>}, {"voices", run_voices},
};

}  // namespace

int main(int argc, char** argv) {
  return bench::serve(argc, argv, kCases, load_inputs);
}
