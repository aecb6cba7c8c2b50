// What a patch runs: units, each one operation over a run of samples, and
// the descriptor of every operation of the table of rows, as the patch
// compiler sees it (nothing there names a class).
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
// `lanes` runs samples [0, n) of several independent units of one row side
// by side, one sample of each in turn.
using BlockFn = void (*)(const Unit&, std::size_t n);
using StepFn = void (*)(const Unit&, std::size_t i);
using LanesFn = void (*)(const Unit* const* units, std::size_t n);

// The most arguments an operation takes: Biquad.process and its five
// coefficients.
inline constexpr int kMaxArgs = 6;

struct Unit {
  BlockFn block = nullptr;
  StepFn step = nullptr;
  void* proc = nullptr;  // the processor inside its instance; nullptr for pan2 and arithmetic
  Arg args[kMaxArgs];
  double* out[2] = {};
  const double* delayed = nullptr;  // what a split step's read gave, for its second half
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
  BlockFn block = nullptr, block_modulated = nullptr;
  StepFn step = nullptr, step_modulated = nullptr;
  Split split = Split::none;
  int delay_param = -1;  // which argument is the delay, for a split
  // How many writes back a read at this (constant) delay reaches.
  std::uint64_t (*reach)(const void* proc, const Arg& delay) = nullptr;
  BlockFn read_ahead = nullptr;  // out[0][i] = the read `ahead + i` writes from now
  BlockFn feed = nullptr;        // the rest of the step, given `delayed`
  // Units of this row whose arguments are all arrays, two or four at a time:
  // their recurrences then overlap, as in a loop written by hand.
  LanesFn lanes2 = nullptr, lanes4 = nullptr;
};

inline constexpr std::size_t kMaxLanes = 4;

// Every row of the table (rows.hpp's AllRows, in its order: a row's index
// is its operation tag in snapshots), and the rows of each kind of call.
std::span<const RowInfo> all_rows();
std::span<const RowInfo> process_rows();
std::span<const RowInfo> read_rows();
std::span<const RowInfo> write_rows();
const RowInfo& pan2_row();

// Arithmetic between operations, in double precision as Python floats do it.
enum class Arith { add, sub, mul, div, neg, abs, min, max, tanh, copy };
BlockFn arith_block(Arith op);
StepFn arith_step(Arith op);
const char* arith_name(Arith op);
int arith_arity(Arith op);

}  // namespace vorda::blocks
