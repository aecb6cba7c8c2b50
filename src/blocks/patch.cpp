// Compiling a patch into a schedule, and running it.
//
// The operations of a patch depend on each other in three ways: a data
// edge (an operation reads what another computed on the same sample), a
// feedback edge (it reads what a feedback was set to on the previous
// sample) and an order edge (two operations on one instance, one of which
// changes it, must keep their order, within a sample and from one sample to
// the next). The strongly connected components of that graph must take
// turns sample by sample; every other operation runs a chunk of samples at
// a time through the block kernel, in an order that respects every edge.
//
// A loop through a delay line need not take turns when the line's delay is
// constant and at least a chunk long: no read of a chunk then reaches a
// sample the same chunk writes, so the reads of the whole chunk can come
// first ("ahead" of the writes), then the rest of the loop, then the writes.
// Such an instance is split: its reads become one unit and its write (or
// the rest of its step) another, with no order edge back from the write.
#include "blocks/patch.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <queue>

namespace vorda::blocks {
namespace {

// A chunk is at most this long, so that its values stay in the cache.
constexpr std::size_t kMaxChunk = 256;
// A delay shorter than this keeps its loop sample by sample: a chunk as
// short as it would cost more in calls than the turns do.
constexpr std::size_t kMinChunk = 32;

// One schedulable piece of a node: the whole of it, or one half of a split.
enum class Half { whole, tap, feed };
struct Part {
  int node;
  Half half;
};

// Strongly connected components (Tarjan's, without recursion), each listed
// in increasing part order.
std::vector<std::vector<int>> components(const std::vector<std::vector<int>>& edges) {
  const int count = static_cast<int>(edges.size());
  std::vector<int> index(count, -1), low(count, 0), stack;
  std::vector<bool> on_stack(count, false);
  std::vector<std::vector<int>> found;
  int next = 0;
  struct Frame {
    int v;
    std::size_t edge;
  };
  for (int root = 0; root < count; ++root) {
    if (index[root] >= 0) continue;
    std::vector<Frame> frames{{root, 0}};
    index[root] = low[root] = next++;
    stack.push_back(root);
    on_stack[root] = true;
    while (!frames.empty()) {
      Frame& frame = frames.back();
      const int v = frame.v;
      if (frame.edge < edges[v].size()) {
        int w = edges[v][frame.edge++];
        if (index[w] < 0) {
          index[w] = low[w] = next++;
          stack.push_back(w);
          on_stack[w] = true;
          frames.push_back({w, 0});
        } else if (on_stack[w]) {
          low[v] = std::min(low[v], index[w]);
        }
        continue;
      }
      if (low[v] == index[v]) {
        std::vector<int> component;
        int w;
        do {
          w = stack.back();
          stack.pop_back();
          on_stack[w] = false;
          component.push_back(w);
        } while (w != v);
        std::sort(component.begin(), component.end());
        found.push_back(std::move(component));
      }
      frames.pop_back();
      if (!frames.empty()) low[frames.back().v] = std::min(low[frames.back().v], low[v]);
    }
  }
  return found;
}

struct Graph {
  std::vector<Part> parts;
  std::vector<int> whole_of, tap_of, feed_of;  // per node: its parts (-1 if none)
  std::vector<std::vector<int>> edges;

  void edge(int from, int to) {
    if (from >= 0 && to >= 0 && from != to) edges[from].push_back(to);
  }
};

// Nodes by instance, in recorded order, instances in order of first use.
std::vector<std::vector<int>> by_instance(const Patch& patch) {
  std::map<PyObject*, std::size_t> slot;
  std::vector<std::vector<int>> groups;
  for (int i = 0; i < static_cast<int>(patch.nodes.size()); ++i) {
    PyObject* instance = patch.nodes[i].instance;
    if (instance == nullptr) continue;
    auto [where, added] = slot.try_emplace(instance, groups.size());
    if (added) groups.emplace_back();
    groups[where->second].push_back(i);
  }
  return groups;
}

bool constant_from(const Node& node, int first) {
  for (std::size_t i = static_cast<std::size_t>(first); i < node.args.size(); ++i)
    if (node.args[i].is_value()) return false;
  return true;
}

// The youngest sample the reads of an instance reach in a chunk whose
// reads all come before its writes (in writes back; at least this long a
// chunk keeps them apart), or 0 if the instance cannot be split: it must
// have one operation that changes it, splittable, with constant delays.
std::uint64_t split_age(const Patch& patch, const std::vector<int>& group) {
  int writer = -1;
  for (int i : group) {
    if (patch.nodes[i].op->shared) continue;
    if (writer >= 0) return 0;
    writer = i;
  }
  if (writer < 0) return 0;
  const Node& w = patch.nodes[writer];
  void* proc = w.op->value_of(w.instance);
  if (group.size() == 1) {
    if (w.op->tapping != Tapping::step || w.modulated || !constant_from(w, 1)) return 0;
    return w.op->youngest(proc, w.args[w.op->delay_param].constant);
  }
  std::uint64_t age = UINT64_MAX;
  for (int i : group) {
    if (i == writer) continue;
    const Node& r = patch.nodes[i];
    if (r.op->tapping != Tapping::read || !constant_from(r, 0)) return 0;
    // A read after the write sees this sample's write one write later.
    std::uint64_t reach = r.op->youngest(proc, r.args[r.op->delay_param].constant);
    age = std::min(age, i > writer ? reach - 1 : reach);
  }
  return age;
}

Graph build_graph(const Patch& patch, const std::vector<std::vector<int>>& groups,
                  const std::vector<bool>& split) {
  Graph g;
  const int count = static_cast<int>(patch.nodes.size());
  g.whole_of.assign(count, -1);
  g.tap_of.assign(count, -1);
  g.feed_of.assign(count, -1);
  std::vector<bool> split_node(count, false);
  for (std::size_t k = 0; k < groups.size(); ++k)
    if (split[k])
      for (int i : groups[k]) split_node[i] = true;
  for (int i = 0; i < count; ++i) {
    auto add = [&](Half half) {
      g.parts.push_back({i, half});
      return static_cast<int>(g.parts.size()) - 1;
    };
    // A split instance's step becomes its read and its feed, its reads run
    // ahead; its write (and everything else) stays whole.
    const Tapping tapping = split_node[i] ? patch.nodes[i].op->tapping : Tapping::none;
    if (tapping == Tapping::step) {
      g.tap_of[i] = add(Half::tap);
      g.feed_of[i] = add(Half::feed);
    } else if (tapping == Tapping::read) {
      g.tap_of[i] = add(Half::tap);
    } else {
      g.whole_of[i] = add(Half::whole);
    }
  }
  g.edges.assign(g.parts.size(), {});
  // The part whose unit computes a node's results, and the parts that read
  // a node's arguments (a split step's read takes only its constant delay).
  auto producer = [&](int node) { return g.tap_of[node] >= 0 ? g.tap_of[node] : g.whole_of[node]; };
  auto consumer = [&](int node) { return g.feed_of[node] >= 0 ? g.feed_of[node] : producer(node); };
  for (int i = 0; i < count; ++i) {
    for (const Operand& arg : patch.nodes[i].args) {
      if (!arg.is_value()) continue;
      const ValueInfo& value = patch.values[arg.value];
      if (value.node >= 0) g.edge(producer(value.node), consumer(i));
      if (value.feedback >= 0)
        g.edge(consumer(patch.feedbacks[value.feedback].setter), consumer(i));
    }
    if (g.feed_of[i] >= 0) g.edge(g.tap_of[i], g.feed_of[i]);
  }
  for (std::size_t k = 0; k < groups.size(); ++k) {
    const std::vector<int>& group = groups[k];
    if (split[k]) {
      // Every read of the chunk before the write; nothing back.
      int writer = -1;
      for (int i : group)
        if (!patch.nodes[i].op->shared) writer = i;
      for (int i : group)
        if (i != writer) g.edge(g.tap_of[i], consumer(writer));
      continue;
    }
    bool changes = std::any_of(group.begin(), group.end(),
                               [&](int i) { return !patch.nodes[i].op->shared; });
    if (!changes || group.size() < 2) continue;
    // A cycle through all of them: the instance's operations keep their
    // order within a sample and from one sample to the next.
    for (std::size_t j = 0; j + 1 < group.size(); ++j)
      g.edge(consumer(group[j]), consumer(group[j + 1]));
    g.edge(consumer(group.back()), consumer(group.front()));
  }
  return g;
}

// A set whose value is computed where the feedback reads it.
void nothing_block(const Unit&, std::size_t) {}
void nothing_step(const Unit&, std::size_t) {}

void bind(const Schedule& s, const Operand& operand, Arg& arg) {
  if (!operand.is_value()) {
    arg = operand.constant;
    return;
  }
  arg = Arg{};
  arg.constant = false;
  if (s.sample_data[operand.value] != nullptr)
    arg.data = s.sample_data[operand.value];
  else
    arg.data = s.count_data[operand.value];
}

}  // namespace

std::string Patch::label(int index) const {
  const Node& node = nodes[index];
  if (node.type == NodeType::arith) return arith_name(node.arith);
  if (node.type == NodeType::set) {
    const FeedbackInfo& f = feedbacks[node.feedback];
    return "set " + (f.name ? "'" + *f.name + "'" : "feedback " + std::to_string(node.feedback));
  }
  std::string name = node.op->class_name ? std::string(node.op->class_name) + "." : "";
  return name + node.op->callee;
}

void compile(Patch& patch) {
  for (std::size_t f = 0; f < patch.feedbacks.size(); ++f) {
    const FeedbackInfo& feedback = patch.feedbacks[f];
    if (feedback.setter < 0)
      raise(PyExc_RuntimeError,
            "feedback " + (feedback.name ? "'" + *feedback.name + "'" : std::to_string(f)) +
                " is never set: call its set() once, with what the next sample reads");
  }
  const auto groups = by_instance(patch);
  std::vector<std::uint64_t> ages(groups.size(), 0);
  for (std::size_t k = 0; k < groups.size(); ++k) ages[k] = split_age(patch, groups[k]);

  // Which instances to split: every ring whose reads and write would
  // otherwise take turns, and every other step that sits in a loop.
  std::vector<bool> none(groups.size(), false), split(groups.size(), false);
  Graph plain = build_graph(patch, groups, none);
  std::vector<int> component_of(plain.parts.size(), 0), sizes;
  for (const auto& component : components(plain.edges)) {
    for (int part : component) component_of[part] = static_cast<int>(sizes.size());
    sizes.push_back(static_cast<int>(component.size()));
  }
  std::size_t chunk = kMaxChunk;
  for (std::size_t k = 0; k < groups.size(); ++k) {
    if (ages[k] < kMinChunk) continue;
    int first = plain.whole_of[groups[k].front()];
    if (sizes[component_of[first]] < 2) continue;
    split[k] = true;
    chunk = std::min<std::size_t>(chunk, ages[k]);
  }
  Graph g = build_graph(patch, groups, split);

  // The components in an order that respects every edge, the earliest
  // recorded first among those that are free to go. An operation that could
  // run side by side with others of its row (`lanes`) waits until nothing
  // else is free, so that as many of its kind as possible are free with it.
  auto found = components(g.edges);
  std::vector<int> owner(g.parts.size());
  for (std::size_t c = 0; c < found.size(); ++c)
    for (int part : found[c]) owner[part] = static_cast<int>(c);
  std::vector<int> waiting(found.size(), 0);
  std::vector<std::vector<int>> after(found.size());
  for (std::size_t from = 0; from < g.edges.size(); ++from)
    for (int to : g.edges[from])
      if (owner[from] != owner[to]) {
        after[owner[from]].push_back(owner[to]);
        ++waiting[owner[to]];
      }
  auto lane_row = [&](int c) -> const OpInfo* {
    if (found[c].size() != 1) return nullptr;
    const Part& part = g.parts[found[c].front()];
    const Node& node = patch.nodes[part.node];
    if (part.half != Half::whole || node.type != NodeType::op || node.modulated ||
        node.op->lanes2 == nullptr)
      return nullptr;
    for (const Operand& arg : node.args)
      if (!arg.is_value()) return nullptr;
    return node.op;
  };
  using Ready = std::pair<int, int>;  // (first part, component)
  using Queue = std::priority_queue<Ready, std::vector<Ready>, std::greater<>>;
  Queue ready;
  std::map<const OpInfo*, Queue> lanes_ready;
  auto free = [&](int c) {
    if (const OpInfo* row = lane_row(c))
      lanes_ready[row].push({found[c].front(), c});
    else
      ready.push({found[c].front(), c});
  };
  for (std::size_t c = 0; c < found.size(); ++c)
    if (waiting[c] == 0) free(static_cast<int>(c));
  std::vector<std::vector<int>> order;  // components run together
  while (!ready.empty() || !lanes_ready.empty()) {
    std::vector<int> batch;
    if (!ready.empty()) {
      batch.push_back(ready.top().second);
      ready.pop();
    } else {
      auto row = std::min_element(lanes_ready.begin(), lanes_ready.end(), [](auto& a, auto& b) {
        return a.second.top() < b.second.top();
      });
      Queue& queue = row->second;
      while (!queue.empty() && batch.size() < kMaxLanes) {
        batch.push_back(queue.top().second);
        queue.pop();
      }
      if (queue.empty()) lanes_ready.erase(row);
    }
    for (int c : batch)
      for (int next : after[c])
        if (--waiting[next] == 0) free(next);
    // Four side by side, or two, or one alone.
    for (std::size_t at = 0; at < batch.size();) {
      std::size_t take = batch.size() - at >= 4 ? 4 : batch.size() - at >= 2 ? 2 : 1;
      order.emplace_back(batch.begin() + static_cast<std::ptrdiff_t>(at),
                         batch.begin() + static_cast<std::ptrdiff_t>(at + take));
      at += take;
    }
  }

  // Memory: a chunk for every value (one more slot for a feedback, whose
  // chunk is read at [0, n) and set at [1, n]).
  Schedule s;
  s.chunk = chunk;
  const std::size_t values = patch.values.size();
  std::vector<std::size_t> offset(values, 0);
  std::size_t doubles = 0, counts = 0;
  for (std::size_t v = 0; v < values; ++v) {
    if (patch.values[v].kind == Kind::count) {
      offset[v] = counts;
      counts += chunk;
    } else {
      offset[v] = doubles;
      doubles += chunk + (patch.values[v].feedback >= 0 ? 1 : 0);
    }
  }
  s.samples.assign(doubles, 0.0);
  s.counts.assign(counts, 0);
  s.sample_data.assign(values, nullptr);
  s.count_data.assign(values, nullptr);
  for (std::size_t v = 0; v < values; ++v) {
    if (patch.values[v].kind == Kind::count)
      s.count_data[v] = s.counts.data() + offset[v];
    else
      s.sample_data[v] = s.samples.data() + offset[v];
  }

  // A feedback set to what an operation computes reads that operation's
  // results where it writes them: the value's chunk is the feedback's,
  // one slot on ([1, n] of it), and the set has nothing left to copy.
  // (A value that sets two feedbacks is the first one's.)
  std::vector<bool> aliased(patch.nodes.size(), false), moved(values, false);
  for (const FeedbackInfo& f : patch.feedbacks) {
    const Operand& source = patch.nodes[f.setter].args[0];
    if (!source.is_value() || patch.values[source.value].node < 0 || moved[source.value]) continue;
    s.sample_data[source.value] = s.sample_data[f.value] + 1;
    moved[source.value] = true;
    aliased[f.setter] = true;
  }

  // A unit for every part.
  s.units.resize(g.parts.size());
  s.labels.resize(g.parts.size());
  for (std::size_t k = 0; k < g.parts.size(); ++k) {
    const Part& part = g.parts[k];
    const Node& node = patch.nodes[part.node];
    Unit& u = s.units[k];
    for (std::size_t a = 0; a < node.args.size(); ++a) bind(s, node.args[a], u.args[a]);
    for (std::size_t r = 0; r < node.results.size(); ++r) u.out[r] = s.sample_data[node.results[r]];
    std::string label = patch.label(part.node);
    switch (node.type) {
      case NodeType::arith:
        u.block = arith_block(node.arith);
        u.step = arith_step(node.arith);
        break;
      case NodeType::set:
        u.block = aliased[part.node] ? nothing_block : arith_block(Arith::copy);
        u.step = aliased[part.node] ? nothing_step : arith_step(Arith::copy);
        u.out[0] = s.sample_data[patch.feedbacks[node.feedback].value] + 1;
        break;
      case NodeType::op:
        if (node.instance != nullptr) u.proc = node.op->value_of(node.instance);
        if (part.half == Half::whole) {
          u.block = node.modulated ? node.op->block_modulated : node.op->block;
          u.step = node.modulated ? node.op->step_modulated : node.op->step;
        } else if (part.half == Half::tap) {
          u.block = node.op->tap;
          label += " (read ahead)";
        } else {
          u.block = node.op->feed;
          u.delayed = s.sample_data[node.results[0]];
          u.out[0] = nullptr;
          label += " (write)";
        }
        break;
    }
    s.labels[k] = label;
  }
  // Reads recorded after their ring's write.
  for (std::size_t k = 0; k < groups.size(); ++k) {
    if (!split[k]) continue;
    int writer = -1;
    for (int i : groups[k])
      if (!patch.nodes[i].op->shared) writer = i;
    for (int i : groups[k])
      if (i > writer && g.tap_of[i] >= 0 && g.feed_of[i] < 0) s.units[g.tap_of[i]].ahead = 1;
  }

  for (const std::vector<int>& together : order) {
    Schedule::Item item;
    if (together.size() > 1) {
      for (int c : together) item.units.push_back(found[c].front());
      const OpInfo& row = *patch.nodes[g.parts[item.units.front()].node].op;
      item.lanes = together.size() == 4 ? row.lanes4 : row.lanes2;
      s.items.push_back(std::move(item));
      continue;
    }
    const int c = together.front();
    const Part& only = g.parts[found[c].front()];
    if (found[c].size() == 1 && aliased[only.node]) continue;  // nothing to do
    item.units = found[c];
    const Node& first = patch.nodes[g.parts[found[c].front()].node];
    bool reads_itself =
        first.type == NodeType::set && first.args[0].is_value() &&
        first.args[0].value == patch.feedbacks[first.feedback].value;
    item.per_sample = found[c].size() > 1 || reads_itself;
    s.items.push_back(std::move(item));
  }
  for (const auto& group : groups) {
    const Node& node = patch.nodes[group.front()];
    s.borrows.push_back(node.op->borrow_of(node.instance));
  }
  patch.schedule = std::move(s);
}

void execute(Patch& patch, const RunData& run) {
  Schedule& s = *patch.schedule;
  const std::size_t chunk = s.chunk;
  // Inputs given as one number fill their chunk once.
  for (std::size_t i = 0; i < patch.inputs.size(); ++i) {
    const InputInfo& input = patch.inputs[i];
    const Arg& given = run.inputs[i];
    if (!given.constant) continue;
    if (input.kind == Kind::count)
      std::fill_n(s.count_data[input.value], chunk, given.count);
    else
      std::fill_n(s.sample_data[input.value], chunk, given.wide);
  }
  for (const FeedbackInfo& f : patch.feedbacks) s.sample_data[f.value][0] = f.current;

  for (std::size_t start = 0; start < run.n; start += chunk) {
    const std::size_t n = std::min(chunk, run.n - start);
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
    for (const Schedule::Item& item : s.items) {
      if (item.lanes != nullptr) {
        const Unit* side_by_side[kMaxLanes];
        for (std::size_t k = 0; k < item.units.size(); ++k) side_by_side[k] = &s.units[item.units[k]];
        item.lanes(side_by_side, n);
        continue;
      }
      if (!item.per_sample) {
        const Unit& u = s.units[item.units.front()];
        u.block(u, n);
        continue;
      }
      for (std::size_t t = 0; t < n; ++t)
        for (int k : item.units) s.units[k].step(s.units[k], t);
    }
    for (std::size_t o = 0; o < patch.outputs.size(); ++o) {
      const OutputInfo& output = patch.outputs[o];
      const Operand& source = output.source;
      if (output.wide) {
        double* to = static_cast<double*>(run.outputs[o]) + start;
        if (source.is_value())
          std::memcpy(to, s.sample_data[source.value], n * sizeof(double));
        else
          std::fill_n(to, n, source.constant.wide);
      } else {
        float* to = static_cast<float*>(run.outputs[o]) + start;
        if (source.is_value()) {
          const double* from = s.sample_data[source.value];
          for (std::size_t t = 0; t < n; ++t) to[t] = static_cast<float>(from[t]);
        } else {
          std::fill_n(to, n, static_cast<float>(source.constant.wide));
        }
      }
    }
    for (const FeedbackInfo& f : patch.feedbacks) {
      double* data = s.sample_data[f.value];
      data[0] = data[n];
    }
  }
  for (FeedbackInfo& f : patch.feedbacks) f.current = s.sample_data[f.value][0];
}

}  // namespace vorda::blocks
