// A patch: a recorded per-sample program over vorda's processors, and what
// compiling it makes: a schedule that runs it a chunk of samples at a time.
//
// Its meaning is the Python loop that performs the recorded operations in
// recorded order, once per sample, with Python floats between them; every
// value here is such a float (a double), or a count. The schedule may
// reorder operations only where the order cannot change a bit: operations
// on different instances, and arithmetic, commute as long as each runs
// after what it reads.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "blocks/python.hpp"
#include "blocks/units.hpp"

namespace vorda::blocks {

// An argument of a recorded operation: a value of the patch, or a number
// fixed when recorded (narrowed as the per-sample call narrows it for a
// Sample parameter, a count for a count parameter, a double in `wide` for
// arithmetic and feedback).
struct Operand {
  int value = -1;
  Arg constant;
  bool is_value() const { return value >= 0; }
};

struct ValueInfo {
  Kind kind = Kind::sample;
  int node = -1;      // the node that computes it,
  int input = -1;     // or the input it is,
  int feedback = -1;  // or the feedback it reads
};

enum class NodeType { op, arith, set };

struct Node {
  NodeType type = NodeType::op;
  const RowInfo* row = nullptr;  // an operation's row of the table
  PyObject* instance = nullptr;  // owned; nullptr for pan2 and arithmetic
  bool modulated = false;
  Arith arith = Arith::copy;
  int feedback = -1;  // what a set node sets
  std::vector<Operand> args;
  std::vector<int> results;
};

struct InputInfo {
  std::string name;
  Kind kind = Kind::sample;
  int value = -1;
};

struct FeedbackInfo {
  std::optional<std::string> name;
  double initial = 0.0;
  double current = 0.0;  // what the next sample reads
  int value = -1;
  int setter = -1;  // its set node
};

struct OutputInfo {
  std::string name;
  Operand source;
  bool wide = false;  // float64, else float32
};

// Where a value's samples are during a chunk: an array of float32 (what a
// processor computed), of doubles (arithmetic, feedbacks, most inputs) or of
// uint64 (count inputs), or one number for the whole run (an input given as
// a number). A value is kept in a chunk of the schedule's own, or, for an
// input and for an output written where its unit computes it, in the run's
// array, the place moving on with every chunk.
struct Place {
  Arg at;  // `at.data`: the chunk's first sample (or the array's, for a moving place)
  Kind kind = Kind::sample;
  bool moves = false;  // an input's or an output's: in the run's arrays
};

struct Schedule {
  std::size_t chunk = 0;
  std::vector<Sample> narrow;  // the schedule's own chunks, of each width
  std::vector<double> wide;
  std::vector<Place> places;  // per value
  std::vector<int> direct;    // per output: whether its value is computed into it (1) or copied (0)
  // A unit's argument (slot 0 to kMaxArgs - 1), result (kResult + r) or a
  // split step's `delayed` (kDelayed) that refers to a value whose place
  // moves: set anew for every chunk.
  struct Use {
    int unit;
    int slot;
    int value;
  };
  static constexpr int kResult = kMaxArgs, kDelayed = kMaxArgs + 2;
  std::vector<Use> moving;
  std::vector<Unit> units;
  std::vector<std::string> labels;  // one per unit
  // What a chunk runs, in order: one unit over the whole chunk, the units of
  // a component taking turns sample by sample, or independent units of one
  // row side by side.
  struct Stage {
    bool per_sample = false;  // the units take turns sample by sample
    LanesFn lanes = nullptr;  // or they run side by side
    std::vector<int> units;
  };
  std::vector<Stage> stages;
  std::vector<BorrowFlag*> borrows;  // each used instance's, once
};

struct Patch {
  std::vector<ValueInfo> values;
  std::vector<Node> nodes;
  std::vector<InputInfo> inputs;
  std::vector<FeedbackInfo> feedbacks;
  std::vector<OutputInfo> outputs;
  std::optional<Schedule> schedule;  // once compiled, the recording is closed
  bool cleared = false;              // the garbage collector has taken its instances

  Patch() = default;
  Patch(const Patch&) = delete;
  Patch& operator=(const Patch&) = delete;
  ~Patch() { clear_instances(); }

  void clear_instances() {
    for (Node& node : nodes) Py_CLEAR(node.instance);
  }
  int new_value(Kind kind) {
    values.push_back({kind});
    return static_cast<int>(values.size()) - 1;
  }
  std::string label(int node) const;
};

// Raises (RuntimeError) for a feedback that is never set; otherwise fills
// `patch.schedule`.
void compile(Patch& patch);

// The arrays of one run: for each input its per-sample data (double or
// uint64) or its constant; for each output where it goes (float32 or float64).
struct RunData {
  std::size_t n = 0;
  std::vector<Arg> inputs;
  std::vector<bool> float32;  // per input: its array holds float32 (else float64 or uint64)
  std::vector<void*> outputs;
  // Asked between chunks whether to stop there (Ctrl-C), when given.
  Unlocked* unlocked = nullptr;
};

// Runs the compiled patch over `run.n` samples (fewer if it was told to
// stop: returns how many). Call without the lock, with every instance
// borrowed. Allocates nothing.
std::size_t execute(Patch& patch, const RunData& run);

}  // namespace vorda::blocks
