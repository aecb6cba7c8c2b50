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

// The inputs' places for this run: the run's arrays, or one number each.
void place_inputs(const Patch& patch, const RunData& run, Schedule& s) {
  for (std::size_t i = 0; i < patch.inputs.size(); ++i) {
    Arg& at = s.places[patch.inputs[i].value].at;
    at = run.inputs[i];
    if (at.constant) {
      // One number, as every reader takes it: a double for arithmetic, a
      // Sample for a processor (narrowed as the per-sample call narrows it).
      at.sample = static_cast<Sample>(at.wide);
    } else {
      at.narrow = run.float32[i];
    }
  }
  for (std::size_t o = 0; o < patch.outputs.size(); ++o) {
    if (!s.direct[o]) continue;
    Arg& at = s.places[patch.outputs[o].source.value].at;
    at.data = run.outputs[o];
  }
}

// The uses of moving places, bound to samples [start, start + chunk).
void bind_moving(Schedule& s, std::size_t start) {
  for (const Schedule::Use& use : s.moving) {
    const Place& place = s.places[use.value];
    Arg at = place.at;
    advance(at, place.kind, start);
    Unit& u = s.units[use.unit];
    if (use.slot < Schedule::kResult)
      u.args[use.slot] = at;
    else if (use.slot < Schedule::kDelayed)
      u.out[use.slot - Schedule::kResult] = const_cast<void*>(at.data);
    else
      u.delayed = static_cast<const Sample*>(at.data);
  }
}

void run_stages(const Schedule& s, std::size_t n) {
  for (const Schedule::Stage& stage : s.stages) {
    if (stage.lanes != nullptr) {
      const Unit* side_by_side[kMaxLanes];
      for (std::size_t k = 0; k < stage.units.size(); ++k)
        side_by_side[k] = &s.units[stage.units[k]];
      stage.lanes(side_by_side, static_cast<int>(stage.units.size()), n);
    } else if (!stage.per_sample) {
      const Unit& u = s.units[stage.units.front()];
      u.block(u, n);
    } else {
      for (std::size_t t = 0; t < n; ++t)
        for (int k : stage.units) s.units[k].step(s.units[k], t);
    }
  }
}

template <class To>
void copy_out(To* to, const Place& from, std::size_t start, std::size_t n) {
  if (from.at.constant) {
    std::fill_n(to, n, static_cast<To>(from.at.wide));
  } else if (from.at.narrow) {
    const Sample* data = static_cast<const Sample*>(from.at.data) + (from.moves ? start : 0);
    for (std::size_t t = 0; t < n; ++t) to[t] = static_cast<To>(data[t]);
  } else {
    const double* data = static_cast<const double*>(from.at.data) + (from.moves ? start : 0);
    for (std::size_t t = 0; t < n; ++t) to[t] = static_cast<To>(data[t]);
  }
}

// The chunk's outputs that are not computed in place into samples [start,
// start + n) of the output arrays.
void copy_outputs(const Patch& patch, const RunData& run, const Schedule& s, std::size_t start,
                  std::size_t n) {
  for (std::size_t o = 0; o < patch.outputs.size(); ++o) {
    if (s.direct[o]) continue;
    const OutputInfo& output = patch.outputs[o];
    Place from;
    if (output.source.is_value()) {
      from = s.places[output.source.value];
    } else {
      from.at.constant = true;
      from.at.wide = output.source.constant.wide;
    }
    if (output.wide)
      copy_out(static_cast<double*>(run.outputs[o]) + start, from, start, n);
    else
      copy_out(static_cast<float*>(run.outputs[o]) + start, from, start, n);
  }
}

}  // namespace

std::size_t execute(Patch& patch, const RunData& run) {
  Schedule& s = *patch.schedule;
  place_inputs(patch, run, s);
  // A feedback's chunk is the schedule's own, and writable.
  auto chunk_of = [&](const FeedbackInfo& f) {
    return static_cast<double*>(const_cast<void*>(s.places[f.value].at.data));
  };
  for (const FeedbackInfo& f : patch.feedbacks) chunk_of(f)[0] = f.current;
  std::size_t start = 0;
  while (start < run.n) {
    const std::size_t n = std::min(s.chunk, run.n - start);
    bind_moving(s, start);
    run_stages(s, n);
    copy_outputs(patch, run, s, start, n);
    // What each feedback's set wrote at the end of the chunk is what the
    // next chunk's first sample reads.
    for (const FeedbackInfo& f : patch.feedbacks) {
      double* data = chunk_of(f);
      data[0] = data[n];
    }
    start += n;
    if (run.unlocked != nullptr && run.unlocked->interrupted()) break;
  }
  for (FeedbackInfo& f : patch.feedbacks) f.current = chunk_of(f)[0];
  return start;
}

}  // namespace vorda::blocks
