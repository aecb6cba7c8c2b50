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

// A chunk is at most this long, so that its values stay in the cache.
constexpr std::size_t kMaxChunk = 256;
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
// The chunk is the shortest reach among them, at most kMaxChunk.
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
  if (node.type != NodeType::op || node.modulated || node.row->lanes2 == nullptr) return nullptr;
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
      const std::size_t take = batch.size() - at >= 4 ? 4 : batch.size() - at >= 2 ? 2 : 1;
      order.batches.emplace_back(batch.begin() + static_cast<std::ptrdiff_t>(at),
                                 batch.begin() + static_cast<std::ptrdiff_t>(at + take));
      at += take;
    }
  }
  return order;
}

// --- Lay out the memory ------------------------------------------------------------

// A chunk for every value (one more slot for a feedback, whose chunk is
// read at [0, n) and set at [1, n]).
Schedule lay_out_memory(const Patch& patch, std::size_t chunk) {
  Schedule s;
  s.chunk = chunk;
  const std::size_t values = patch.values.size();
  std::vector<std::size_t> offset(values, 0);
  std::size_t doubles = 0, counts = 0;
  for (std::size_t v = 0; v < values; ++v) {
    std::size_t& used = patch.values[v].kind == Kind::count ? counts : doubles;
    offset[v] = used;
    used += chunk + (patch.values[v].feedback >= 0 ? 1 : 0);
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
  return s;
}

// A feedback set to what an operation computes reads that operation's
// results where it writes them: the value's chunk is the feedback's, one
// slot on ([1, n] of it), and the set has nothing left to copy. (A value
// that sets two feedbacks is the first one's.) Returns, per node, whether
// it is such a set.
std::vector<bool> share_feedback_chunks(const Patch& patch, Schedule& s) {
  std::vector<bool> aliased(patch.nodes.size(), false), moved(patch.values.size(), false);
  for (const FeedbackInfo& f : patch.feedbacks) {
    const Operand& source = patch.nodes[f.setter].args[0];
    if (!source.is_value() || patch.values[source.value].node < 0 || moved[source.value]) continue;
    s.sample_data[source.value] = s.sample_data[f.value] + 1;
    moved[source.value] = true;
    aliased[f.setter] = true;
  }
  return aliased;
}

// --- Build the units -----------------------------------------------------------------

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

// What an operation's unit runs, by its role.
void build_operation(const Node& node, Role role, const Schedule& s, Unit& u, std::string& label) {
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
      u.delayed = s.sample_data[node.results[0]];
      u.out[0] = nullptr;
      label += " (write)";
      break;
  }
}

void build_units(const Patch& patch, const Groups& groups, const std::vector<bool>& split,
                 const Graph& g, const std::vector<bool>& aliased, Schedule& s) {
  s.units.resize(g.units());
  s.labels.resize(g.units());
  for (int k = 0; k < g.units(); ++k) {
    const int n = g.node_of[k];
    const Node& node = patch.nodes[n];
    Unit& u = s.units[k];
    for (std::size_t a = 0; a < node.args.size(); ++a) bind(s, node.args[a], u.args[a]);
    for (std::size_t r = 0; r < node.results.size(); ++r) u.out[r] = s.sample_data[node.results[r]];
    s.labels[k] = patch.label(n);
    if (node.type == NodeType::op) {
      build_operation(node, g.role_of[k], s, u, s.labels[k]);
    } else if (node.type == NodeType::arith) {
      u.block = arith_block(node.arith);
      u.step = arith_step(node.arith);
    } else {  // a feedback's set
      u.block = aliased[n] ? nothing_block : arith_block(Arith::copy);
      u.step = aliased[n] ? nothing_step : arith_step(Arith::copy);
      u.out[0] = s.sample_data[patch.feedbacks[node.feedback].value] + 1;
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

void build_stages(const Patch& patch, const Graph& g, const Order& order,
                  const std::vector<bool>& aliased, Schedule& s) {
  const auto& found = order.components;
  for (const std::vector<int>& together : order.batches) {
    Schedule::Stage stage;
    if (together.size() > 1) {
      for (int c : together) stage.units.push_back(found[c].front());
      const RowInfo& row = *patch.nodes[g.node_of[stage.units.front()]].row;
      stage.lanes = together.size() == 4 ? row.lanes4 : row.lanes2;
      s.stages.push_back(std::move(stage));
      continue;
    }
    const std::vector<int>& component = found[together.front()];
    const Node& first = patch.nodes[g.node_of[component.front()]];
    if (component.size() == 1 && aliased[g.node_of[component.front()]]) continue;  // nothing to do
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
  const std::vector<bool> aliased = share_feedback_chunks(patch, s);
  build_units(patch, groups, split, graph, aliased, s);
  build_stages(patch, graph, order, aliased, s);
  for (const auto& group : groups) {
    const Node& node = patch.nodes[group.front()];
    s.borrows.push_back(node.row->borrow_of(node.instance));
  }
  patch.schedule = std::move(s);
}

}  // namespace vorda::blocks
