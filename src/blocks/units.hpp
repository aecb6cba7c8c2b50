// What blocks and patches run: units, each one operation over a run of
// samples, and the descriptor of every row of the operation table as the
// block calls and the patch compiler see it (nothing there names a class).
// Every function here is built once per instruction set (targets.hpp,
// kernels.hpp); `all_rows()` gives those of the one chosen at import.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "blocks/kernel.hpp"
#include "blocks/read_ahead.hpp"
#include "frame.hpp"

namespace vorda::blocks {

struct Unit;
// `block` runs samples [0, n) of the unit's arrays; `step` runs sample i;
// `lanes` runs samples [0, n) of `count` independent units of one row side
// by side; a block call runs `n` samples of float32 arrays (`out`: one
// array per result) on the processor `proc`.
using BlockFn = void (*)(const Unit&, std::size_t n);
using StepFn = void (*)(const Unit&, std::size_t i);
using LanesFn = void (*)(const Unit* const* units, int count, std::size_t n);
using BlockCallFn = void (*)(void* proc, std::size_t n, Sample** out, const Arg* args,
                             bool modulated);

// The most arguments an operation takes: Biquad.process and its five
// coefficients.
inline constexpr int kMaxArgs = 6;

struct Unit {
  BlockFn block = nullptr;
  StepFn step = nullptr;
  void* proc = nullptr;  // the processor inside its instance; nullptr for pan2 and arithmetic
  Arg args[kMaxArgs];
  // Where results go: float32 for a processor's (they are Samples), double
  // for arithmetic's and a feedback's.
  void* out[2] = {};
  const Sample* delayed = nullptr;  // what a split step's read gave, for its second half
  std::uint64_t ahead = 0;          // writes between the chunk's start and a split read
};

struct RowInfo {
  const char* class_name;  // nullptr for pan2
  const char* callee;
  PyTypeObject* const* type;  // vorda's type, once bound; nullptr for pan2
  Signature signature;        // parameters, then the modulated ones (keyword-only)
  int params = 0;
  int modulated = 0;
  const char* modulation = nullptr;  // the method or property the modulated ones go to
  int results = 0;
  const Kind* kinds = nullptr;
  const bool* required = nullptr;
  const double* fallback = nullptr;
  bool shared = false;  // a const operation (a ring's read)
  void* (*value_of)(PyObject* instance) = nullptr;
  BorrowFlag* (*borrow_of)(PyObject* instance) = nullptr;
  BlockCallFn block_call = nullptr;
  BlockFn block = nullptr, block_modulated = nullptr;
  StepFn step = nullptr, step_modulated = nullptr;
  Split split = Split::none;
  int delay_param = -1;  // which argument is the delay, for a split
  // How many writes back a read at this (constant) delay reaches.
  std::uint64_t (*reach)(const void* proc, const Arg& delay) = nullptr;
  BlockFn read_ahead = nullptr;  // out[0][i] = the read `ahead + i` writes from now
  BlockFn feed = nullptr;        // the rest of the step, given `delayed`
  // Units of this row whose arguments are all arrays, up to `max_lanes` at a
  // time: in the lanes of vector registers, or interleaved so that their
  // recurrences overlap, as in a loop written by hand.
  LanesFn lanes = nullptr;
  int max_lanes = 0;
};

// The most units a stage runs side by side, on any target.
inline constexpr int kMaxLanes = 8;

// Arithmetic between operations, in double precision as Python floats do it.
enum class Arith { add, sub, mul, div, neg, abs, min, max, tanh, copy };

// Every arithmetic operation, indexed by Arith: its name in `steps`, how
// many operands it takes, and its loops.
struct ArithInfo {
  const char* name;
  int arity;
  BlockFn block;
  StepFn step;
};

// One build of the kernels: the rows (in the order of AllRows, rows.hpp)
// and the arithmetic, for one instruction set.
struct Kernels {
  const char* target;
  std::span<const RowInfo> rows;
  std::span<const ArithInfo> arith;
};

// The kernels of a target (kernels.hpp), and those chosen at import: the
// best the CPU runs, or the baseline if VORDA_ISA=baseline.
template <class Target>
Kernels kernels_for();
const Kernels& kernels();

// Every row of the table (rows.hpp's AllRows, in its order: a row's index
// is its operation tag in snapshots), and the rows of each kind of call.
std::span<const RowInfo> all_rows();
std::span<const RowInfo> process_rows();
std::span<const RowInfo> read_rows();
std::span<const RowInfo> write_rows();
const RowInfo& pan2_row();

BlockFn arith_block(Arith op);
StepFn arith_step(Arith op);
const char* arith_name(Arith op);
int arith_arity(Arith op);

}  // namespace vorda::blocks
