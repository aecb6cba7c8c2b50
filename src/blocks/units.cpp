// Which build of the kernels runs (targets.hpp): chosen once, at import,
// from what the CPU reports; VORDA_ISA=baseline forces the baseline (tests
// and benchmarks run both).
#include <cstdlib>
#include <cstring>

#include "blocks/rows.hpp"
#include "blocks/targets.hpp"

namespace vorda::blocks {

extern template Kernels kernels_for<Baseline>();
#if defined(__x86_64__)
extern template Kernels kernels_for<X86_64_V3>();
#endif

namespace {

Kernels choose() {
  const char* forced = std::getenv("VORDA_ISA");
  if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return kernels_for<Baseline>();
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("x86-64-v3")) return kernels_for<X86_64_V3>();
#endif
  return kernels_for<Baseline>();
}

const ArithInfo& info(Arith op) {
  return kernels().arith[static_cast<std::size_t>(op)];
}

}  // namespace

const Kernels& kernels() {
  static const Kernels chosen = choose();
  return chosen;
}

std::span<const RowInfo> all_rows() {
  return kernels().rows;
}
std::span<const RowInfo> process_rows() {
  return all_rows().subspan(0, std::tuple_size_v<ProcessRows>);
}
std::span<const RowInfo> read_rows() {
  return all_rows().subspan(std::tuple_size_v<ProcessRows>, std::tuple_size_v<ReadRows>);
}
std::span<const RowInfo> write_rows() {
  return all_rows().subspan(std::tuple_size_v<ProcessRows> + std::tuple_size_v<ReadRows>,
                            std::tuple_size_v<WriteRows>);
}
const RowInfo& pan2_row() {
  return all_rows().back();
}

BlockFn arith_block(Arith op) {
  return info(op).block;
}
StepFn arith_step(Arith op) {
  return info(op).step;
}
const char* arith_name(Arith op) {
  return info(op).name;
}
int arith_arity(Arith op) {
  return info(op).arity;
}

}  // namespace vorda::blocks
