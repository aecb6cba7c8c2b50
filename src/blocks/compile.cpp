// Compiling a patch into a schedule.
//
// The words used here, each for one thing:
//   row        an entry of the operation table (rows.hpp): how blocks and
//              patches call one operation of one class; `RowInfo` is what the
//              compiler sees of it at run time.
//   node       one recorded call of the patch: an operation (a row on an
//              instance, or pan2), arithmetic, or a feedback's set.
//   unit       what runs: a node whole, or one half of a split node (its
//              reads ahead, or the feed that follows them); one unit of the
//              graph below becomes one `Unit` of the schedule.
//   component  units that depend on each other in a cycle: they must take
//              turns sample by sample.
//   stage      one entry of the schedule: a unit over the whole chunk, a
//              component's units taking turns, or independent units of one
//              row side by side.
//   reach      how many writes back a read reaches (1: the sample just
//              written); a read whose reach is at least the chunk's length can
//              run ahead of the chunk's writes (read_ahead.hpp).
//
// The units depend on each other in three ways: a data edge (a unit reads
// what another computed on the same sample), a feedback edge (it reads what a
// feedback was set to on the previous sample) and an order edge (two
// operations on one instance, one of which changes it, keep their order,
// within a sample and from one sample to the next). Operations on different
// instances, and arithmetic, commute as long as each runs after what it
// reads, so any order that respects every edge gives the recorded loop's
// bits.
//
// The passes, in order: check the feedbacks, choose which instances to split
// (and so the chunk), build the graph, order its components, lay out the
// chunk memory, build the units, build the stages.
#include <algorithm>
#include <functional>
#include <map>
#include <queue>

#include "blocks/patch.hpp"

namespace vorda::blocks {
namespace {

// A chunk is at most this long, and its values (those in the schedule's own
// chunks) take at most this much memory, so that they stay in the cache
// from the unit that writes them to those that read them. A patch whose
// inputs and outputs are all the run's arrays runs in the longest chunks.
constexpr std::size_t kMaxChunk = 4096;
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr std::size_t kMinSplitFree = 256;  // the chunk when the memory allows no more
// A loop whose reads reach back less than this keeps taking turns: a chunk
// as short as that would cost more in calls than the turns do.
constexpr std::size_t kMinChunk = 32;

enum class Role { whole, read, feed };

using Groups = std::vector<std::vector<int>>;

struct Graph {
  std::vector<int> node_of;  // per unit
  std::vector<Role> role_of;
  std::vector<int> whole, read, feed;  // per node: its units (-1 if none)
  std::vector<std::vector<int>> edges;

  int units() const { return static_cast<int>(node_of.size()); }
  void edge(int from, int to) {
    if (from >= 0 && to >= 0 && from != to) edges[from].push_back(to);
  }
  // The unit that computes a node's results, and the one that takes its
  // arguments (a split step's read takes only its constant delay).
  int producer(int node) const { return read[node] >= 0 ? read[node] : whole[node]; }
  int consumer(int node) const { return feed[node] >= 0 ? feed[node] : producer(node); }
};

// --- Check the feedbacks ---------------------------------------------------------

void check_feedbacks(const Patch& patch) {
  for (std::size_t f = 0; f < patch.feedbacks.size(); ++f) {
    const FeedbackInfo& feedback = patch.feedbacks[f];
    if (feedback.setter < 0)
      raise(PyExc_RuntimeError,
            "feedback " + (feedback.name ? "'" + *feedback.name + "'" : std::to_string(f)) +
                " is never set: call its set() once, with what the next sample reads");
  }
}

// Nodes by instance, in recorded order, instances in order of first use.
Groups by_instance(const Patch& patch) {
  std::map<PyObject*, std::size_t> slot;
  Groups groups;
  for (int i = 0; i < static_cast<int>(patch.nodes.size()); ++i) {
    PyObject* instance = patch.nodes[i].instance;
    if (instance == nullptr) continue;
    auto [where, added] = slot.try_emplace(instance, groups.size());
    if (added) groups.emplace_back();
    groups[where->second].push_back(i);
  }
  return groups;
}

// The one node of a group that changes its instance, or -1 if none or more.
int writer_of(const Patch& patch, const std::vector<int>& group) {
  int writer = -1;
  for (int i : group) {
    if (patch.nodes[i].row->shared) continue;
    if (writer >= 0) return -1;
    writer = i;
  }
  return writer;
}

// --- Choose splits ---------------------------------------------------------------

bool constant_from(const Node& node, int first) {
  for (std::size_t i = static_cast<std::size_t>(first); i < node.args.size(); ++i)
    if (node.args[i].is_value()) return false;
  return true;
}

std::uint64_t reach_of(const Node& node, void* proc) {
  return node.row->reach(proc, node.args[node.row->delay_param].constant);
}

// How far back the reads of an instance reach, at the least, in a chunk
// whose reads all come before its writes; 0 if the instance cannot be
// split: it must have one operation that changes it, splittable, with
// constant delays (and decays).
std::uint64_t split_reach(const Patch& patch, const std::vector<int>& group) {
  const int writer = writer_of(patch, group);
  if (writer < 0) return 0;
  const Node& w = patch.nodes[writer];
  void* proc = w.row->value_of(w.instance);
  if (group.size() == 1) {
    if (w.row->split != Split::step || w.modulated || !constant_from(w, 1)) return 0;
    return reach_of(w, proc);
  }
  std::uint64_t least = UINT64_MAX;
  for (int i : group) {
    if (i == writer) continue;
    const Node& r = patch.nodes[i];
    if (r.row->split != Split::read || !constant_from(r, 0)) return 0;
    // A read recorded after the write sees this sample's write one write later.
    const std::uint64_t reach = reach_of(r, proc);
    least = std::min(least, i > writer ? reach - 1 : reach);
  }
  return least;
}

Graph build_graph(const Patch& patch, const Groups& groups, const std::vector<bool>& split);

// Strongly connected components (Tarjan's, without recursion), each listed
// in increasing unit order.
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
  auto visit = [&](int v, std::vector<Frame>& frames) {
    index[v] = low[v] = next++;
    stack.push_back(v);
    on_stack[v] = true;
    frames.push_back({v, 0});
  };
  for (int root = 0; root < count; ++root) {
    if (index[root] >= 0) continue;
    std::vector<Frame> frames;
    visit(root, frames);
    while (!frames.empty()) {
      Frame& frame = frames.back();
      const int v = frame.v;
      if (frame.edge < edges[v].size()) {
        const int w = edges[v][frame.edge++];
        if (index[w] < 0)
          visit(w, frames);
        else if (on_stack[w])
          low[v] = std::min(low[v], index[w]);
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

// Which instances to split: every one whose reads and write would otherwise
// take turns (it sits in a loop) and whose reads reach back far enough.
// The chunk is at most the shortest reach among them.
std::vector<bool> choose_splits(const Patch& patch, const Groups& groups, std::size_t& chunk) {
  std::vector<bool> split(groups.size(), false);
  const Graph plain = build_graph(patch, groups, split);
  std::vector<std::size_t> size_of(plain.units(), 0);
  for (const auto& component : components(plain.edges))
    for (int unit : component) size_of[unit] = component.size();
  chunk = kMaxChunk;
  for (std::size_t k = 0; k < groups.size(); ++k) {
    const std::uint64_t reach = split_reach(patch, groups[k]);
    if (reach < kMinChunk || size_of[plain.whole[groups[k].front()]] < 2) continue;
    split[k] = true;
    chunk = std::min<std::size_t>(chunk, reach);
  }
  return split;
}

// --- Build the graph -------------------------------------------------------------

void add_units(const Patch& patch, const Groups& groups, const std::vector<bool>& split, Graph& g) {
  const int count = static_cast<int>(patch.nodes.size());
  g.whole.assign(count, -1);
  g.read.assign(count, -1);
  g.feed.assign(count, -1);
  std::vector<bool> split_node(count, false);
  for (std::size_t k = 0; k < groups.size(); ++k)
    if (split[k])
      for (int i : groups[k]) split_node[i] = true;
  auto add = [&](int node, Role role) {
    g.node_of.push_back(node);
    g.role_of.push_back(role);
    return g.units() - 1;
  };
  for (int i = 0; i < count; ++i) {
    // A split instance's step becomes its read and its feed, its reads run
    // ahead; its write (and everything else) stays whole.
    const Split how = split_node[i] ? patch.nodes[i].row->split : Split::none;
    if (how == Split::none) g.whole[i] = add(i, Role::whole);
    if (how != Split::none) g.read[i] = add(i, Role::read);
    if (how == Split::step) g.feed[i] = add(i, Role::feed);
  }
  g.edges.assign(g.units(), {});
}

void add_data_edges(const Patch& patch, Graph& g) {
  for (int i = 0; i < static_cast<int>(patch.nodes.size()); ++i) {
    for (const Operand& arg : patch.nodes[i].args) {
      if (!arg.is_value()) continue;
      const ValueInfo& value = patch.values[arg.value];
      if (value.node >= 0) g.edge(g.producer(value.node), g.consumer(i));
      if (value.feedback >= 0)
        g.edge(g.consumer(patch.feedbacks[value.feedback].setter), g.consumer(i));
    }
    if (g.feed[i] >= 0) g.edge(g.read[i], g.feed[i]);
  }
}

void add_order_edges(const Patch& patch, const Groups& groups, const std::vector<bool>& split,
                     Graph& g) {
  for (std::size_t k = 0; k < groups.size(); ++k) {
    const std::vector<int>& group = groups[k];
    if (split[k]) {
      // Every read of the chunk before the write; nothing back.
      const int writer = writer_of(patch, group);
      for (int i : group)
        if (i != writer) g.edge(g.read[i], g.consumer(writer));
      continue;
    }
    const bool changes =
        std::any_of(group.begin(), group.end(), [&](int i) { return !patch.nodes[i].row->shared; });
    if (!changes || group.size() < 2) continue;
    // A cycle through all of them: the instance's operations keep their
    // order within a sample and from one sample to the next.
    for (std::size_t j = 0; j + 1 < group.size(); ++j)
      g.edge(g.consumer(group[j]), g.consumer(group[j + 1]));
    g.edge(g.consumer(group.back()), g.consumer(group.front()));
  }
}

Graph build_graph(const Patch& patch, const Groups& groups, const std::vector<bool>& split) {
  Graph g;
  add_units(patch, groups, split, g);
  add_data_edges(patch, g);
  add_order_edges(patch, groups, split, g);
  return g;
}

// --- Order the components ---------------------------------------------------------

struct Order {
  std::vector<std::vector<int>> components;
  std::vector<std::vector<int>> batches;  // components run together, in order
};

// The row a component could run side by side with others of its kind: one
// whole operation, unmodulated, every argument a value; nullptr otherwise.
const RowInfo* lane_row(const Patch& patch, const Graph& g, const std::vector<int>& component) {
  if (component.size() != 1 || g.role_of[component.front()] != Role::whole) return nullptr;
  const Node& node = patch.nodes[g.node_of[component.front()]];
  if (node.type != NodeType::op || node.modulated || node.row->lanes == nullptr) return nullptr;
  for (const Operand& arg : node.args)
    if (!arg.is_value()) return nullptr;
  return node.row;
}

// The components in an order that respects every edge, the earliest
// recorded first among those that are free to go. A component that could
// run side by side with others of its row waits until nothing else is free,
// so that as many of its kind as possible are free with it.
Order order_components(const Patch& patch, const Graph& g) {
  Order order{components(g.edges), {}};
  const auto& found = order.components;
  std::vector<int> owner(g.units());
  for (std::size_t c = 0; c < found.size(); ++c)
    for (int unit : found[c]) owner[unit] = static_cast<int>(c);
  std::vector<int> waiting(found.size(), 0);
  std::vector<std::vector<int>> after(found.size());
  for (int from = 0; from < g.units(); ++from)
    for (int to : g.edges[from])
      if (owner[from] != owner[to]) {
        after[owner[from]].push_back(owner[to]);
        ++waiting[owner[to]];
      }
  using Ready = std::pair<int, int>;  // (first unit, component)
  using Queue = std::priority_queue<Ready, std::vector<Ready>, std::greater<>>;
  Queue ready;
  std::map<const RowInfo*, Queue> lanes_ready;
  auto free = [&](int c) {
    if (const RowInfo* row = lane_row(patch, g, found[c]))
      lanes_ready[row].push({found[c].front(), c});
    else
      ready.push({found[c].front(), c});
  };
  for (std::size_t c = 0; c < found.size(); ++c)
    if (waiting[c] == 0) free(static_cast<int>(c));
  while (!ready.empty() || !lanes_ready.empty()) {
    std::vector<int> batch;
    if (!ready.empty()) {
      batch.push_back(ready.top().second);
      ready.pop();
    } else {
      auto row = std::min_element(lanes_ready.begin(), lanes_ready.end(),
                                  [](auto& a, auto& b) { return a.second.top() < b.second.top(); });
      Queue& queue = row->second;
      while (!queue.empty() && batch.size() < static_cast<std::size_t>(row->first->max_lanes)) {
        batch.push_back(queue.top().second);
        queue.pop();
      }
      if (queue.empty()) lanes_ready.erase(row);
    }
    for (int c : batch)
      for (int next : after[c])
        if (--waiting[next] == 0) free(next);
    order.batches.push_back(std::move(batch));
  }
  return order;
}

// --- Lay out the memory ------------------------------------------------------------

bool computed_by_operation(const Patch& patch, int value) {
  const int node = patch.values[value].node;
  return node >= 0 && patch.nodes[node].type == NodeType::op;
}

// A feedback set to what arithmetic computes reads it where the arithmetic
// writes it: the value's chunk is the feedback's, one slot on ([1, n] of
// it), and the set has nothing left to copy. (A value that sets two
// feedbacks is the first one's.) Returns, per value, the feedback whose
// chunk it shares, or -1.
std::vector<int> share_feedback_chunks(const Patch& patch) {
  std::vector<int> shared(patch.values.size(), -1);
  for (std::size_t f = 0; f < patch.feedbacks.size(); ++f) {
    const Operand& source = patch.nodes[patch.feedbacks[f].setter].args[0];
    if (!source.is_value() || patch.values[source.value].node < 0 ||
        computed_by_operation(patch, source.value) || shared[source.value] >= 0)
      continue;
    shared[source.value] = static_cast<int>(f);
  }
  return shared;
}

// Which outputs are computed where they go: a float32 output of what a
// processor computes, a float64 one of what arithmetic computes, each value
// into one output at most, unless its chunk is a feedback's.
std::vector<int> choose_direct_outputs(const Patch& patch, const std::vector<int>& shared) {
  std::vector<int> direct(patch.outputs.size(), 0);
  std::vector<bool> taken(patch.values.size(), false);
  for (std::size_t o = 0; o < patch.outputs.size(); ++o) {
    const Operand& source = patch.outputs[o].source;
    if (!source.is_value() || patch.values[source.value].node < 0) continue;
    const int v = source.value;
    if (taken[v] || shared[v] >= 0) continue;
    if (patch.outputs[o].wide == computed_by_operation(patch, v)) continue;  // widths differ
    direct[o] = 1;
    taken[v] = true;
  }
  return direct;
}

// Every value's place (patch.hpp): a processor's results in float32 chunks,
// arithmetic's and feedbacks' in double ones (a feedback's one slot longer:
// read at [0, n) and set at [1, n]), inputs and direct outputs in the run's
// arrays.
Schedule lay_out_memory(const Patch& patch, std::size_t longest) {
  Schedule s;
  const std::vector<int> shared = share_feedback_chunks(patch);
  s.direct = choose_direct_outputs(patch, shared);
  const std::size_t values = patch.values.size();
  s.places.resize(values);
  for (std::size_t o = 0; o < patch.outputs.size(); ++o)
    if (s.direct[o]) s.places[patch.outputs[o].source.value].moves = true;
  std::size_t bytes = 0;  // of a sample of every value the schedule keeps
  for (std::size_t v = 0; v < values; ++v) {
    Place& place = s.places[v];
    place.kind = patch.values[v].kind;
    place.at.constant = false;
    place.at.narrow = computed_by_operation(patch, static_cast<int>(v));
    if (patch.values[v].input >= 0) place.moves = true;
    if (!place.moves && shared[v] < 0) bytes += place.at.narrow ? sizeof(Sample) : sizeof(double);
  }
  std::size_t chunk = std::min(longest, kMinSplitFree);
  while (chunk * 2 <= longest && chunk * 2 * bytes <= kChunkBytes) chunk *= 2;
  s.chunk = chunk;
  std::vector<std::size_t> offset(values, 0);
  std::size_t narrow = 0, wide = 0;
  for (std::size_t v = 0; v < values; ++v) {
    const Place& place = s.places[v];
    if (place.moves || shared[v] >= 0) continue;
    std::size_t& used = place.at.narrow ? narrow : wide;
    offset[v] = used;
    used += chunk + (patch.values[v].feedback >= 0 ? 1 : 0);
  }
  s.narrow.assign(narrow, 0.0f);
  s.wide.assign(wide, 0.0);
  for (std::size_t v = 0; v < values; ++v) {
    Place& place = s.places[v];
    if (place.moves || shared[v] >= 0) continue;
    if (place.at.narrow)
      place.at.data = s.narrow.data() + offset[v];
    else
      place.at.data = s.wide.data() + offset[v];
  }
  for (std::size_t v = 0; v < values; ++v)
    if (shared[v] >= 0)
      s.places[v].at.data =
          static_cast<const double*>(s.places[patch.feedbacks[shared[v]].value].at.data) + 1;
  return s;
}

// --- Build the units -----------------------------------------------------------------

void nothing_block(const Unit&, std::size_t) {}
void nothing_step(const Unit&, std::size_t) {}

// A unit's reference to a value (an argument, a result or `delayed`): bound
// now to its chunk, or noted to be bound for every chunk if its place moves.
void use(Schedule& s, int unit, int slot, int value) {
  const Place& place = s.places[value];
  if (place.moves) {
    s.moving.push_back({unit, slot, value});
    return;
  }
  Unit& u = s.units[unit];
  if (slot < Schedule::kResult)
    u.args[slot] = place.at;
  else if (slot < Schedule::kDelayed)
    u.out[slot - Schedule::kResult] = const_cast<void*>(place.at.data);
  else
    u.delayed = static_cast<const Sample*>(place.at.data);
}

// What an operation's unit runs, by its role.
void build_operation(const Node& node, Role role, Unit& u, std::string& label) {
  if (node.instance != nullptr) u.proc = node.row->value_of(node.instance);
  switch (role) {
    case Role::whole:
      u.block = node.modulated ? node.row->block_modulated : node.row->block;
      u.step = node.modulated ? node.row->step_modulated : node.row->step;
      break;
    case Role::read:
      u.block = node.row->read_ahead;
      label += " (read ahead)";
      break;
    case Role::feed:
      u.block = node.row->feed;
      label += " (write)";
      break;
  }
}

void bind_unit(const Patch& patch, const Graph& g, int k, Schedule& s) {
  const Node& node = patch.nodes[g.node_of[k]];
  for (std::size_t a = 0; a < node.args.size(); ++a) {
    if (node.args[a].is_value())
      use(s, k, static_cast<int>(a), node.args[a].value);
    else
      s.units[k].args[a] = node.args[a].constant;
  }
  const Role role = node.type == NodeType::op ? g.role_of[k] : Role::whole;
  if (role == Role::feed) {
    use(s, k, Schedule::kDelayed, node.results[0]);
  } else if (node.type == NodeType::set) {
    use(s, k, Schedule::kResult, patch.feedbacks[node.feedback].value);
    s.units[k].out[0] = static_cast<double*>(s.units[k].out[0]) + 1;  // slots [1, n]
  } else {
    for (std::size_t r = 0; r < node.results.size(); ++r)
      use(s, k, Schedule::kResult + static_cast<int>(r), node.results[r]);
  }
}

void build_units(const Patch& patch, const Groups& groups, const std::vector<bool>& split,
                 const Graph& g, Schedule& s) {
  s.units.resize(g.units());
  s.labels.resize(g.units());
  for (int k = 0; k < g.units(); ++k) {
    const int n = g.node_of[k];
    const Node& node = patch.nodes[n];
    Unit& u = s.units[k];
    bind_unit(patch, g, k, s);
    s.labels[k] = patch.label(n);
    if (node.type == NodeType::op) {
      build_operation(node, g.role_of[k], u, s.labels[k]);
    } else if (node.type == NodeType::arith) {
      u.block = arith_block(node.arith);
      u.step = arith_step(node.arith);
    } else {  // a feedback's set: nothing to do if it reads where the feedback is
      const bool in_place =
          node.args[0].is_value() && s.places[node.args[0].value].at.data == u.out[0];
      u.block = in_place ? nothing_block : arith_block(Arith::copy);
      u.step = in_place ? nothing_step : arith_step(Arith::copy);
    }
  }
  // Reads recorded after their ring's write read one write further ahead.
  for (std::size_t k = 0; k < groups.size(); ++k) {
    if (!split[k]) continue;
    const int writer = writer_of(patch, groups[k]);
    for (int i : groups[k])
      if (i > writer && g.read[i] >= 0 && g.feed[i] < 0) s.units[g.read[i]].ahead = 1;
  }
}

// --- Build the stages ----------------------------------------------------------------

void build_stages(const Patch& patch, const Graph& g, const Order& order, Schedule& s) {
  const auto& found = order.components;
  for (const std::vector<int>& together : order.batches) {
    Schedule::Stage stage;
    if (together.size() > 1) {
      for (int c : together) stage.units.push_back(found[c].front());
      stage.lanes = patch.nodes[g.node_of[stage.units.front()]].row->lanes;
      s.stages.push_back(std::move(stage));
      continue;
    }
    const std::vector<int>& component = found[together.front()];
    const Node& first = patch.nodes[g.node_of[component.front()]];
    if (component.size() == 1 && s.units[component.front()].block == nothing_block)
      continue;  // a set with nothing to do
    const bool reads_itself = first.type == NodeType::set && first.args[0].is_value() &&
                              first.args[0].value == patch.feedbacks[first.feedback].value;
    stage.units = component;
    stage.per_sample = component.size() > 1 || reads_itself;
    s.stages.push_back(std::move(stage));
  }
}

}  // namespace

void compile(Patch& patch) {
  check_feedbacks(patch);
  const Groups groups = by_instance(patch);
  std::size_t chunk = 0;
  const std::vector<bool> split = choose_splits(patch, groups, chunk);
  const Graph graph = build_graph(patch, groups, split);
  const Order order = order_components(patch, graph);
  Schedule s = lay_out_memory(patch, chunk);
  build_units(patch, groups, split, graph, s);
  build_stages(patch, graph, order, s);
  for (const auto& group : groups) {
    const Node& node = patch.nodes[group.front()];
    s.borrows.push_back(node.row->borrow_of(node.instance));
  }
  patch.schedule = std::move(s);
}

}  // namespace vorda::blocks
