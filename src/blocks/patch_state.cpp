// Snapshots of patches: the recording written and read by one visitor, so the
// two cannot drift apart, and everything a recording must be checked for
// when it is read back (a snapshot's bytes are trusted for nothing).
#include <algorithm>
#include <optional>

#include "blocks/snapshot_io.hpp"
#include "blocks/snapshot_tags.hpp"
#include "blocks/state.hpp"

namespace vorda::blocks {
namespace {

// What an operand may hold besides a value: the parameter's kind for a
// processor's argument, a double elsewhere.
enum class Constant : std::uint8_t { sample = 1, count = 2, wide = 3 };

// How many arguments an operation takes (-1: whatever `validate` finds).
int arity_of(const Node& node) {
  if (node.type != NodeType::op) return -1;
  return node.row->params + (node.modulated ? node.row->modulated : 0);
}

// `arg` is one of the node's arguments.
Constant constant_of(const Node& node, const Operand& arg) {
  if (node.type != NodeType::op) return Constant::wide;
  const std::size_t position = static_cast<std::size_t>(&arg - node.args.data());
  return node.row->kinds[position] == Kind::count ? Constant::count : Constant::sample;
}

std::vector<PyObject*> used_instances(const Patch& patch) {
  std::vector<PyObject*> used;
  for (const Node& node : patch.nodes)
    if (node.instance != nullptr &&
        std::find(used.begin(), used.end(), node.instance) == used.end())
      used.push_back(node.instance);
  return used;
}

// --- The recording's fields, in the format's order --------------------------------

// `Io` writes (PatchWriter) or reads (PatchReader) each field; `P` is the
// patch, const when written.
template <class Io, class P>
void visit_patch(Io& io, P& patch) {
  io.list(patch.values, "values", [&](auto& value) {
    io.kind(value.kind);
    io.origin(value);
  });
  io.list(patch.nodes, "operations", [&](auto& node) {
    io.node(node);
    io.list(
        node.args, "operands", [&](auto& arg) { io.operand(arg, constant_of(node, arg)); },
        arity_of(node));
    io.list(node.results, "results", [&](auto& result) { io.index(result); });
  });
  io.list(patch.inputs, "inputs", [&](auto& input) {
    io.name(input.name);
    io.kind(input.kind);
    io.index(input.value);
  });
  io.list(patch.feedbacks, "feedbacks", [&](auto& feedback) {
    io.optional_name(feedback.name);
    io.f64(feedback.initial);
    io.f64(feedback.current);
    io.index(feedback.value);
    io.optional_index(feedback.setter);
  });
  io.list(patch.outputs, "outputs", [&](auto& output) {
    io.name(output.name);
    io.operand(output.source, Constant::wide);
    io.flag(output.wide);
  });
}

class PatchWriter {
 public:
  PatchWriter(Writer& out, const std::vector<PyObject*>& used) : out_(out), used_(used) {}

  template <class T, class Each>
  void list(const std::vector<T>& items, const char*, Each each, int = -1) {
    out_.u32(static_cast<std::uint32_t>(items.size()));
    for (const T& item : items) each(item);
  }
  void kind(Kind kind) { out_.u8(kind == Kind::count ? 1 : 0); }
  void origin(const ValueInfo& value) {
    const std::uint8_t origin = value.input >= 0 ? 0 : value.feedback >= 0 ? 1 : 2;
    out_.u8(origin);
    index(origin == 0 ? value.input : origin == 1 ? value.feedback : value.node);
  }
  void node(const Node& node) {
    out_.u8(static_cast<std::uint8_t>(node.type));
    if (node.type == NodeType::op) {
      out_.u16(static_cast<std::uint16_t>(node.row - all_rows().data()));
      auto where = std::find(used_.begin(), used_.end(), node.instance);
      out_.u32(node.instance ? static_cast<std::uint32_t>(where - used_.begin()) : kNone);
      flag(node.modulated);
    } else if (node.type == NodeType::arith) {
      out_.u8(static_cast<std::uint8_t>(node.arith));
    } else {
      index(node.feedback);
    }
  }
  void operand(const Operand& operand, Constant constant) {
    if (operand.is_value()) {
      out_.u8(0);
      index(operand.value);
      return;
    }
    out_.u8(static_cast<std::uint8_t>(constant));
    if (constant == Constant::wide)
      out_.f64(operand.constant.wide);
    else if (constant == Constant::count)
      out_.u64(operand.constant.count);
    else
      out_(operand.constant.sample);
  }
  void index(int i) { out_.u32(static_cast<std::uint32_t>(i)); }
  void optional_index(int i) { out_.u32(i < 0 ? kNone : static_cast<std::uint32_t>(i)); }
  void name(const std::string& text) { out_.name(text); }
  void optional_name(const std::optional<std::string>& text) {
    flag(text.has_value());
    if (text) name(*text);
  }
  void f64(double v) { out_.f64(v); }
  void flag(bool v) { out_.u8(v ? 1 : 0); }

 private:
  Writer& out_;
  const std::vector<PyObject*>& used_;
};

// A count read from a snapshot, for entries that follow: bounded by the
// bytes left (each entry takes at least one), so nothing is reserved on the
// word of a crafted count.
std::uint32_t entries(Reader& in, const char* what) {
  const std::uint32_t n = in.u32();
  if (n > in.left())
    bad(std::string("the patch claims ") + std::to_string(n) + " " + what +
        ", more than the snapshot's remaining bytes can hold");
  return n;
}

class PatchReader {
 public:
  PatchReader(Reader& in, const std::vector<Owned>& held) : in_(in), held_(held) {}

  // Each entry is added before it is read, so that what it holds (an
  // instance) is released with the patch if what follows is bad.
  // `expected`, where known, is the only count that fits.
  template <class T, class Each>
  void list(std::vector<T>& items, const char* what, Each each, int expected = -1) {
    const std::uint32_t n = entries(in_, what);
    if (expected >= 0 && n != static_cast<std::uint32_t>(expected))
      bad("an operation of the patch has the wrong number of arguments");
    for (std::uint32_t i = 0; i < n; ++i) each(items.emplace_back());
  }
  void kind(Kind& kind) { kind = in_.u8() ? Kind::count : Kind::sample; }
  void origin(ValueInfo& value) {
    const std::uint8_t origin = in_.u8();
    int from;
    index(from);
    if (origin > 2) bad("a value of the patch has an unknown origin");
    (origin == 0 ? value.input : origin == 1 ? value.feedback : value.node) = from;
  }
  void node(Node& node) {
    const std::uint8_t type = in_.u8();
    if (type == 0) {
      node.type = NodeType::op;
      const std::uint16_t tag = in_.u16();
      if (tag >= all_rows().size()) bad("unknown operation tag " + std::to_string(tag));
      node.row = &all_rows()[tag];
      const std::uint32_t instance = in_.u32();
      if (instance != kNone) {
        if (instance >= held_.size()) bad("an operation refers to no instance");
        node.instance = Py_NewRef(held_[instance].get());
      }
      flag(node.modulated);
    } else if (type == 1) {
      node.type = NodeType::arith;
      node.arith = static_cast<Arith>(in_.u8());
    } else if (type == 2) {
      node.type = NodeType::set;
      index(node.feedback);
    } else {
      bad("an operation of the patch has an unknown type");
    }
  }
  void operand(Operand& operand, Constant expected) {
    const std::uint8_t tag = in_.u8();
    if (tag == 0) {
      index(operand.value);
      return;
    }
    if (tag != static_cast<std::uint8_t>(expected))
      bad("an operand of the patch holds a number of the wrong kind for its place");
    if (expected == Constant::sample) {
      in_(operand.constant.sample);
      operand.constant.wide = operand.constant.sample;
    } else if (expected == Constant::count) {
      operand.constant.count = in_.u64();
    } else {
      operand.constant.wide = in_.f64();
    }
  }
  // An index into one of the patch's tables (range-checked by `validate`).
  void index(int& i) {
    const std::uint32_t raw = in_.u32();
    if (raw > 0x7fffffffu)
      bad("the patch refers to entry " + std::to_string(raw) + ", which none has");
    i = static_cast<int>(raw);
  }
  void optional_index(int& i) {
    const std::uint32_t raw = in_.u32();
    if (raw != kNone && raw > 0x7fffffffu) bad("a feedback is set by no operation");
    i = raw == kNone ? -1 : static_cast<int>(raw);
  }
  void name(std::string& text) { text = in_.name(); }
  void optional_name(std::optional<std::string>& text) {
    if (in_.u8()) text = in_.name();
  }
  void f64(double& v) { v = in_.f64(); }
  void flag(bool& v) { v = in_.u8() != 0; }

 private:
  Reader& in_;
  const std::vector<Owned>& held_;
};

// --- The instances a patch uses ----------------------------------------------------

void save_instances(const std::vector<PyObject*>& used, Writer& out, bool inline_instances) {
  out.u32(static_cast<std::uint32_t>(used.size()));
  for (PyObject* instance : used) {
    if (inline_instances)
      save_instance(instance, out);
    else
      out.u8(static_cast<std::uint8_t>(tag_of(instance)));
  }
}

// The instances of a snapshot: read from it, or given to restore() (the
// snapshot then holds their class tags, which they must match).
std::vector<Owned> load_instances(Reader& in, PyObject* given) {
  const std::uint8_t inline_instances = in.u8();
  if (inline_instances > 1) bad("the patch's instances are neither inline nor left out");
  const std::uint32_t count = entries(in, "instances");
  std::vector<Owned> held;
  const bool none_given = given == nullptr || given == Py_None;
  if (inline_instances) {
    if (!none_given) bad("the snapshot holds its patch's instances: give restore() none");
    for (std::uint32_t i = 0; i < count; ++i) held.emplace_back(load_instance(in));
    return held;
  }
  if (none_given)
    bad("the snapshot leaves its patch's instances out: give them to restore() as instances=");
  Owned sequence = checked(PySequence_Tuple(given));
  if (PyTuple_GET_SIZE(sequence.get()) != static_cast<Py_ssize_t>(count))
    bad("the snapshot's patch uses " + std::to_string(count) + " instances, but " +
        std::to_string(PyTuple_GET_SIZE(sequence.get())) + " were given");
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t tag = in.u8();
    if (tag >= class_count()) bad("unknown class tag " + std::to_string(tag));
    PyObject* instance = PyTuple_GET_ITEM(sequence.get(), i);
    if (Py_TYPE(instance) != class_type(tag))
      bad("instance " + std::to_string(i) + " given is a " + type_name(instance) +
          ", but the snapshot's patch used a " + bare_type_name(class_type(tag)));
    held.emplace_back(Py_NewRef(instance));
  }
  return held;
}

// --- What a recording read back must be ---------------------------------------------

[[noreturn]] void inconsistent(const std::string& what) {
  bad("the patch's recording is inconsistent: " + what);
}

// Values and their origins agree; returns, per value, the node that
// computes it (-1 for an input or a feedback).
std::vector<int> check_values(const Patch& patch) {
  const int values = static_cast<int>(patch.values.size());
  std::vector<int> made_by(values, -1);
  for (int v = 0; v < values; ++v) {
    const ValueInfo& value = patch.values[v];
    if (value.input >= 0) {
      if (value.input >= static_cast<int>(patch.inputs.size()) ||
          patch.inputs[value.input].value != v || patch.inputs[value.input].kind != value.kind)
        inconsistent("value " + std::to_string(v) + " and its input disagree");
    } else if (value.feedback >= 0) {
      if (value.feedback >= static_cast<int>(patch.feedbacks.size()) ||
          patch.feedbacks[value.feedback].value != v || value.kind != Kind::sample)
        inconsistent("value " + std::to_string(v) + " and its feedback disagree");
    } else {
      if (value.node < 0 || value.node >= static_cast<int>(patch.nodes.size()) ||
          value.kind != Kind::sample)
        inconsistent("value " + std::to_string(v) + " comes from no operation");
      made_by[v] = value.node;
    }
  }
  return made_by;
}

// Inputs have their values, and names are unique (and no input is `n`).
void check_names(const Patch& patch) {
  const int values = static_cast<int>(patch.values.size());
  for (std::size_t i = 0; i < patch.inputs.size(); ++i) {
    const InputInfo& input = patch.inputs[i];
    if (input.value < 0 || input.value >= values ||
        patch.values[input.value].input != static_cast<int>(i))
      inconsistent("input " + std::to_string(i) + " has no value");
    if (input.name == "n") inconsistent("an input is named 'n'");
    for (std::size_t j = 0; j < i; ++j)
      if (patch.inputs[j].name == input.name)
        inconsistent("two inputs are named '" + input.name + "'");
  }
  for (std::size_t i = 0; i < patch.outputs.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (patch.outputs[j].name == patch.outputs[i].name)
        inconsistent("two outputs are named '" + patch.outputs[i].name + "'");
}

// An operand of node `before` (or of an output, after every node) refers
// to a value of the right kind that is there when it runs: an input, a
// feedback, or a result of an earlier node (never its own).
void check_operand(const Patch& patch, const std::vector<int>& made_by, const Operand& operand,
                   int before, Kind kind, const std::string& where) {
  if (!operand.is_value()) return;
  if (operand.value >= static_cast<int>(patch.values.size()))
    inconsistent(where + " refers to no value");
  if (patch.values[operand.value].kind != kind)
    inconsistent(where + " takes a value of another kind");
  if (made_by[operand.value] >= before) inconsistent(where + " uses a value computed after it");
}

// How many arguments and results node `n` must have, after checking what
// it is.
std::pair<std::size_t, std::size_t> node_shape(const Patch& patch, int n,
                                               const std::string& where) {
  const Node& node = patch.nodes[n];
  if (node.type == NodeType::op) {
    const RowInfo& row = *node.row;
    if (node.modulated && row.modulated == 0)
      inconsistent(where + " modulates what has no modulation");
    if ((row.type == nullptr) != (node.instance == nullptr) ||
        (node.instance != nullptr && Py_TYPE(node.instance) != *row.type))
      inconsistent(where + " is not an operation of its instance's class");
    return {static_cast<std::size_t>(row.params + (node.modulated ? row.modulated : 0)),
            static_cast<std::size_t>(row.results)};
  }
  if (node.type == NodeType::arith) {
    if (node.arith > Arith::tanh) inconsistent(where + " is an unknown arithmetic operation");
    return {static_cast<std::size_t>(arith_arity(node.arith)), 1};
  }
  if (node.type == NodeType::set) {
    if (node.feedback < 0 || node.feedback >= static_cast<int>(patch.feedbacks.size()) ||
        patch.feedbacks[node.feedback].setter != n)
      inconsistent(where + " sets a feedback that is not its own");
    return {1, 0};
  }
  inconsistent(where + " is of an unknown type");
}

void check_nodes(const Patch& patch, const std::vector<int>& made_by) {
  const int values = static_cast<int>(patch.values.size());
  for (int n = 0; n < static_cast<int>(patch.nodes.size()); ++n) {
    const Node& node = patch.nodes[n];
    const std::string where = "operation " + std::to_string(n);
    const auto [args, results] = node_shape(patch, n, where);
    if (node.args.size() != args) inconsistent(where + " has the wrong number of arguments");
    for (std::size_t a = 0; a < args; ++a)
      check_operand(patch, made_by, node.args[a], n,
                    node.type == NodeType::op ? node.row->kinds[a] : Kind::sample, where);
    if (node.results.size() != results) inconsistent(where + " has the wrong number of results");
    for (int r : node.results)
      if (r >= values || made_by[r] != n) inconsistent(where + " and its results disagree");
  }
  for (int v = 0; v < values; ++v) {
    if (made_by[v] < 0) continue;
    const std::vector<int>& results = patch.nodes[made_by[v]].results;
    if (std::count(results.begin(), results.end(), v) != 1)
      inconsistent("value " + std::to_string(v) + " is not among its operation's results");
  }
}

void check_feedbacks(const Patch& patch, bool compiled) {
  const int values = static_cast<int>(patch.values.size());
  for (std::size_t f = 0; f < patch.feedbacks.size(); ++f) {
    const int setter = patch.feedbacks[f].setter;
    if (setter >= static_cast<int>(patch.nodes.size()) ||
        (setter >= 0 && (patch.nodes[setter].type != NodeType::set ||
                         patch.nodes[setter].feedback != static_cast<int>(f))))
      inconsistent("feedback " + std::to_string(f) + " and the operation setting it disagree");
    if (compiled && setter < 0) inconsistent("a compiled patch has a feedback never set");
    const int value = patch.feedbacks[f].value;
    if (value < 0 || value >= values || patch.values[value].feedback != static_cast<int>(f))
      inconsistent("feedback " + std::to_string(f) + " has no value");
  }
}

// Everything a recording must be for a patch to have recorded it.
void validate(const Patch& patch, const std::vector<PyObject*>& instances, bool compiled) {
  const std::vector<int> made_by = check_values(patch);
  check_names(patch);
  check_nodes(patch, made_by);
  check_feedbacks(patch, compiled);
  for (const OutputInfo& output : patch.outputs)
    check_operand(patch, made_by, output.source, static_cast<int>(patch.nodes.size()), Kind::sample,
                  "an output");
  for (PyObject* instance : instances)
    if (std::none_of(patch.nodes.begin(), patch.nodes.end(),
                     [&](const Node& node) { return node.instance == instance; }))
      inconsistent("an instance is used by no operation");
}

}  // namespace

void save_patch(const Patch& patch, Writer& out, bool with_instances) {
  out.u8(patch.schedule ? 1 : 0);
  out.u8(with_instances ? 1 : 0);
  const auto used = used_instances(patch);
  save_instances(used, out, with_instances);
  PatchWriter writer(out, used);
  visit_patch(writer, patch);
}

std::unique_ptr<Patch> load_patch(Reader& in, PyObject* given) {
  auto patch = std::make_unique<Patch>();
  const bool compiled = in.u8() != 0;
  const std::vector<Owned> held = load_instances(in, given);
  PatchReader reader(in, held);
  visit_patch(reader, *patch);
  std::vector<PyObject*> instances;
  for (const Owned& o : held) instances.push_back(o.get());
  validate(*patch, instances, compiled);
  if (compiled) compile(*patch);
  return patch;
}

PyObject* snapshot_patch(PyObject* object, bool with_instances) {
  SharedBorrow borrow(patch_borrow(object));
  return written([&](Writer& out) {
    write_header(out, kPatch);
    save_patch(patch_in(object), out, with_instances);
  });
}

std::unique_ptr<Patch> restore_patch(PyObject* data, PyObject* instances) {
  Bytes bytes(data);
  Reader in = bytes.reader();
  return as_value_error([&] {
    if (read_header(in) != kPatch) bad("the snapshot is of an instance, not of a patch");
    auto patch = load_patch(in, instances);
    finish(in);
    return patch;
  });
}

PyObject* instances_of(const Patch& patch) {
  auto used = used_instances(patch);
  Owned tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(used.size())));
  for (std::size_t i = 0; i < used.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(used[i]));
  return tuple.release();
}

}  // namespace vorda::blocks
