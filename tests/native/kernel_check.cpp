// Built without Python.h: the operation table and the block kernel must
// stand on their own. Runs a few processors through the kernel, against
// their own per-sample calls, and prints the first disagreement.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "blocks/kernel.hpp"
#include "operations.hpp"

using namespace vorda;
using namespace vorda::blocks;

namespace {

int failures = 0;

void expect(bool holds, const char* what) {
  if (!holds) {
    std::printf("FAIL %s\n", what);
    ++failures;
  }
}

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

// A deterministic signal with the values that break sloppy arithmetic.
std::vector<float> signal(std::size_t n, std::uint32_t seed) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    x[i] = static_cast<float>(static_cast<std::int32_t>(seed)) * 4.6566e-10f;
  }
  x[n / 3] = 1e-40f;  // subnormal
  return x;
}

template <class Op, class P, class... Params>
void compare(const char* what, P block_proc, P loop_proc, const std::vector<float>& x,
             const Arg* args, Params... params) {
  std::vector<float> y(x.size());
  OneSink<float> sink{y.data()};
  run<Call<Op::fn>>(block_proc, x.size(), sink, args);
  for (std::size_t i = 0; i < x.size(); ++i) {
    float want = (loop_proc.*Op::fn)(x[i], params...);
    if (!same_bits(y[i], want)) {
      std::printf("FAIL %s: sample %zu: %a != %a\n", what, i, y[i], want);
      ++failures;
      return;
    }
  }
}

}  // namespace

int main() {
  const std::size_t n = 5000;
  const auto x = signal(n, 7);

  Arg args[3];
  args[0].constant = false;
  args[0].narrow = true;
  args[0].data = x.data();
  args[1] = constant(0.0123f);
  args[2] = constant(-0.7f);
  compare<ops::CombLProcess>("CombL", CombL(48000.0f, 0.05f), CombL(48000.0f, 0.05f), x, args,
                             0.0123f, -0.7f);
  compare<ops::AllpassNProcess>("AllpassN", AllpassN(48000.0f, 0.05f), AllpassN(48000.0f, 0.05f),
                                x, args, 0.0123f, -0.7f);
  args[1] = constant(std::uint64_t{37});
  args[2] = constant(std::uint64_t{4000});
  compare<ops::CombSProcess>("CombS", CombS(std::uint64_t{64}), CombS(std::uint64_t{64}), x, args,
                             std::uint64_t{37}, std::uint64_t{4000});
  compare<ops::LeakDcProcess>("LeakDc", LeakDc(0.995f), LeakDc(0.995f), x, args);

  // Parameter lists and the docstrings made from them.
  expect(std::strcmp(Docstring<"pan2", false, ops::Pan2::Params, "Pans.">::text,
                     "pan2(x, pos=0.0)\n--\n\nPans.") == 0,
         "pan2's text signature");
  expect(std::strcmp(Docstring<"process", true, ops::CombNProcess::Params, "">::text,
                     "process($self, xn, delay_sec, decay_sec)\n--\n\n") == 0,
         "CombN.process's text signature");
  expect(std::strcmp(Docstring<"process", true, ops::CombSProcess::Params, "">::text,
                     "process($self, xn, delay_samp, decay_samp)\n--\n\n") == 0,
         "CombS.process's text signature");
  expect(opt("coef", "0.995").fallback == 0.995 && opt("pos", "-0.25").fallback == -0.25 &&
             opt("n", "12").fallback == 12.0,
         "defaults read as the interpreter reads them");
  expect(ParamList<req("a"), opt("b", "1.5")>::required == 1, "required parameters counted");
  std::printf("%d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
