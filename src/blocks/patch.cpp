// Running a compiled patch: a chunk of samples at a time, each stage of the
// schedule in turn (compile.cpp makes the schedule).
#include "blocks/patch.hpp"

#include <algorithm>
#include <cstring>

namespace vorda::blocks {

std::string Patch::label(int index) const {
  const Node& node = nodes[index];
  if (node.type == NodeType::arith) return arith_name(node.arith);
  if (node.type == NodeType::set) {
    const FeedbackInfo& f = feedbacks[node.feedback];
    return "set " + (f.name ? "'" + *f.name + "'" : "feedback " + std::to_string(node.feedback));
  }
  std::string name = node.row->class_name ? std::string(node.row->class_name) + "." : "";
  return name + node.row->callee;
}

namespace {

// Inputs given as one number fill their chunk once, for the whole run.
void fill_constant_inputs(const Patch& patch, const RunData& run, Schedule& s) {
  for (std::size_t i = 0; i < patch.inputs.size(); ++i) {
    const InputInfo& input = patch.inputs[i];
    const Arg& given = run.inputs[i];
    if (!given.constant) continue;
    if (input.kind == Kind::count)
      std::fill_n(s.count_data[input.value], s.chunk, given.count);
    else
      std::fill_n(s.sample_data[input.value], s.chunk, given.wide);
  }
}

// Samples [start, start + n) of the input arrays into their chunks.
void copy_inputs(const Patch& patch, const RunData& run, Schedule& s, std::size_t start,
                 std::size_t n) {
  for (std::size_t i = 0; i < patch.inputs.size(); ++i) {
    const InputInfo& input = patch.inputs[i];
    const Arg& given = run.inputs[i];
    if (given.constant) continue;
    if (input.kind == Kind::count) {
      std::memcpy(s.count_data[input.value], static_cast<const std::uint64_t*>(given.data) + start,
                  n * sizeof(std::uint64_t));
    } else if (run.float32[i]) {
      const float* from = static_cast<const float*>(given.data) + start;
      double* to = s.sample_data[input.value];
      for (std::size_t t = 0; t < n; ++t) to[t] = from[t];
    } else {
      std::memcpy(s.sample_data[input.value], static_cast<const double*>(given.data) + start,
                  n * sizeof(double));
    }
  }
}

void run_stages(const Schedule& s, std::size_t n) {
  for (const Schedule::Stage& stage : s.stages) {
    if (stage.lanes != nullptr) {
      const Unit* side_by_side[kMaxLanes];
      for (std::size_t k = 0; k < stage.units.size(); ++k)
        side_by_side[k] = &s.units[stage.units[k]];
      stage.lanes(side_by_side, n);
    } else if (!stage.per_sample) {
      const Unit& u = s.units[stage.units.front()];
      u.block(u, n);
    } else {
      for (std::size_t t = 0; t < n; ++t)
        for (int k : stage.units) s.units[k].step(s.units[k], t);
    }
  }
}

// The chunk's outputs into samples [start, start + n) of the output arrays.
void copy_outputs(const Patch& patch, const RunData& run, const Schedule& s, std::size_t start,
                  std::size_t n) {
  for (std::size_t o = 0; o < patch.outputs.size(); ++o) {
    const OutputInfo& output = patch.outputs[o];
    const Operand& source = output.source;
    const double* from = source.is_value() ? s.sample_data[source.value] : nullptr;
    if (output.wide) {
      double* to = static_cast<double*>(run.outputs[o]) + start;
      if (from != nullptr)
        std::memcpy(to, from, n * sizeof(double));
      else
        std::fill_n(to, n, source.constant.wide);
    } else {
      float* to = static_cast<float*>(run.outputs[o]) + start;
      if (from != nullptr)
        for (std::size_t t = 0; t < n; ++t) to[t] = static_cast<float>(from[t]);
      else
        std::fill_n(to, n, static_cast<float>(source.constant.wide));
    }
  }
}

}  // namespace

void execute(Patch& patch, const RunData& run) {
  Schedule& s = *patch.schedule;
  fill_constant_inputs(patch, run, s);
  for (const FeedbackInfo& f : patch.feedbacks) s.sample_data[f.value][0] = f.current;
  for (std::size_t start = 0; start < run.n; start += s.chunk) {
    const std::size_t n = std::min(s.chunk, run.n - start);
    copy_inputs(patch, run, s, start, n);
    run_stages(s, n);
    copy_outputs(patch, run, s, start, n);
    // What each feedback's set wrote at the end of the chunk is what the
    // next chunk's first sample reads.
    for (const FeedbackInfo& f : patch.feedbacks) {
      double* data = s.sample_data[f.value];
      data[0] = data[n];
    }
  }
  for (FeedbackInfo& f : patch.feedbacks) f.current = s.sample_data[f.value][0];
}

}  // namespace vorda::blocks
