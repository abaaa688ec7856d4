#include "zuv/git/plain_merge.hpp"

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "merge/labels.hpp"
#include "merge/merge_documents.hpp"
#include "merge/native_hooks.hpp"
#include "merge/plain_cells.hpp"
#include "notebook/lookup.hpp"
#include "py/error.hpp"
#include "zuv/git/pipeline_check.hpp"
#include "zuv/git/pipeline_merge.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"

namespace zuv::cli {

namespace {

namespace plain = merge::plain;
constexpr std::size_t kNone = SIZE_MAX;

// Equality where an absent value (null) is a value of its own.
bool same(PyObject* a, PyObject* b, bool& equal) {
  if (!a || !b) {
    equal = a == b;
    return true;
  }
  int result = PyObject_RichCompareBool(a, b, Py_EQ);
  equal = result == 1;
  return result >= 0;
}

// A cell's source as its list of lines, each keeping its line end (a str
// source split after each); the views' source_lines drops them.
Ref lines_keeping_ends(PyObject* cell) {
  PyObject* source = member(cell, names().source);
  if (!source) return Ref::steal(PyList_New(0));
  if (PyUnicode_Check(source)) return Ref::steal(PyUnicode_Splitlines(source, 1));
  return Ref::steal(PyList_GetSlice(source, 0, PY_SSIZE_T_MAX));
}

// The keys of `first`, then those of `second` and `third` that the earlier
// ones lack (any of them may be null).
bool key_union(PyObject* first, PyObject* second, PyObject* third, Ref& keys) {
  keys = Ref::steal(PyList_New(0));
  Ref seen = Ref::steal(PySet_New(nullptr));
  if (!keys || !seen) return false;
  for (PyObject* mapping : {first, second, third}) {
    if (!mapping) continue;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
      int held = PySet_Contains(seen.get(), key);
      if (held < 0) return false;
      if (held) continue;
      if (PySet_Add(seen.get(), key) < 0 || PyList_Append(keys.get(), key) < 0) return false;
    }
  }
  return true;
}

// The three-way merge of three mappings by key (`base` may be null): a key
// changed on one side takes that side's value (or goes), one both sides
// changed differently is merged again when all its values are objects, else
// keeps the current value and is named in `conflicts`.  `skip` (may be null)
// is left as current has it.  Where `record` (a list) is given, each such
// key is also appended to it as {"path": [keys from the top], "value":
// incoming's value}, without "value" where incoming has none; `keys` holds
// the keys above this mapping.
bool merge_mapping(PyObject* base, PyObject* current, PyObject* incoming, PyObject* skip,
                   const std::string& path, Ref& out, std::vector<std::string>& conflicts,
                   PyObject* record = nullptr, PyObject* keys_above = nullptr) {
  out = Ref::steal(PyDict_Copy(current));
  Ref keys;
  if (!out || !key_union(current, incoming, base, keys)) return false;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
    Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), k));
    if (skip) {
      bool skipped = false;
      if (!same(key.get(), skip, skipped)) return false;
      if (skipped) continue;
    }
    PyObject* found[3] = {};
    PyObject* tables[3] = {base, current, incoming};
    for (int v = 0; v < 3; ++v) {
      found[v] = tables[v] ? PyDict_GetItemWithError(tables[v], key.get()) : nullptr;
      if (!found[v] && PyErr_Occurred()) return false;
    }
    Ref b = Ref::borrow(found[0]), c = Ref::borrow(found[1]), i = Ref::borrow(found[2]);
    bool c_base = false, i_base = false, sides = false;
    if (!same(c.get(), b.get(), c_base) || !same(i.get(), b.get(), i_base) ||
        !same(c.get(), i.get(), sides))
      return false;
    switch (plain::decide_field(c_base, i_base, sides)) {
      case plain::FieldOutcome::current:
        break;
      case plain::FieldOutcome::incoming:
        if (i ? PyDict_SetItem(out.get(), key.get(), i.get()) < 0
              : PyDict_DelItem(out.get(), key.get()) < 0)
          return false;
        break;
      case plain::FieldOutcome::both_changed: {
        std::string name = path + utf8(key.get());
        Ref below;
        if (record) {
          below = keys_above ? Ref::steal(PyList_GetSlice(keys_above, 0, PY_SSIZE_T_MAX))
                             : Ref::steal(PyList_New(0));
          if (!below || PyList_Append(below.get(), key.get()) < 0) return false;
        }
        if (c && i && PyDict_Check(c.get()) && PyDict_Check(i.get()) &&
            (!b || PyDict_Check(b.get()))) {
          Ref inner;
          if (!merge_mapping(b.get(), c.get(), i.get(), nullptr, name + ".", inner, conflicts,
                             record, below.get()) ||
              PyDict_SetItem(out.get(), key.get(), inner.get()) < 0)
            return false;
        } else {
          conflicts.push_back(name);
          if (record) {
            Ref entry = Ref::steal(PyDict_New());
            if (!entry || PyDict_SetItem(entry.get(), names().path, below.get()) < 0 ||
                (i && PyDict_SetItem(entry.get(), names().value, i.get()) < 0) ||
                PyList_Append(record, entry.get()) < 0)
              return false;
          }
        }
      }
    }
  }
  return true;
}

// A copy of `cell` whose source opens with the mark line.
Ref marked(PyObject* cell, plain::MarkKind kind, std::string_view detail = {}) {
  std::string line = plain::mark_line(kind, detail) + "\n";
  Ref mark = Ref::steal(
      PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
  Ref copy = mark ? Ref::steal(PyDict_Copy(cell)) : Ref{};
  if (!copy) return {};
  PyObject* source = member(cell, names().source);
  Ref updated;
  if (source && PyUnicode_Check(source)) {
    updated = Ref::steal(PyUnicode_Concat(mark.get(), source));
  } else {
    updated =
        source ? Ref::steal(PyList_GetSlice(source, 0, PY_SSIZE_T_MAX)) : Ref::steal(PyList_New(0));
    if (updated && PyList_Insert(updated.get(), 0, mark.get()) < 0) return {};
  }
  if (!updated || PyDict_SetItem(copy.get(), names().source, updated.get()) < 0) return {};
  return copy;
}

// The markdown cell that shows notebook metadata keys both sides changed
// differently: the mark line naming them (current's values are kept), a line
// per key with incoming's value, and those values in its metadata
// (`incoming_values`, as merge_mapping records them) for a resolution that
// takes incoming's side.
Ref metadata_conflict_cell(const std::string& keys, PyObject* incoming_values) {
  std::string text = plain::mark_line(plain::MarkKind::notebook_metadata_changed_by_both, keys);
  text += "\n";
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(incoming_values); ++k) {
    // Held: writing a value as JSON runs the json module.
    Ref entry = Ref::borrow(PyList_GET_ITEM(incoming_values, k));
    Ref path = Ref::borrow(member(entry.get(), names().path));
    std::string name;
    for (Py_ssize_t p = 0; p < PyList_GET_SIZE(path.get()); ++p)
      name += (p ? "." : "") + utf8(PyList_GET_ITEM(path.get(), p));
    Ref value = Ref::borrow(member(entry.get(), names().value));
    std::string shown;
    JsonLayout one_line;
    one_line.ensure_ascii = false;
    if (value && !dump_json(value.get(), one_line, shown)) return {};
    text += value ? "\nincoming's " : "\nincoming deleted ";
    text += name;
    if (value) text.append(": ").append(shown);
    text += "\n";
  }
  Ref source = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
  Ref lines = source ? Ref::steal(PyUnicode_Splitlines(source.get(), 1)) : Ref{};
  Ref carried = lines ? Ref::steal(PyDict_New()) : Ref{};
  Ref metadata = carried ? Ref::steal(PyDict_New()) : Ref{};
  Ref cell = metadata ? Ref::steal(PyDict_New()) : Ref{};
  if (!cell || PyDict_SetItem(carried.get(), names().incoming, incoming_values) < 0 ||
      PyDict_SetItem(metadata.get(), names().zuv, carried.get()) < 0 ||
      PyDict_SetItem(cell.get(), names().cell_type, names().markdown) < 0 ||
      PyDict_SetItem(cell.get(), names().metadata, metadata.get()) < 0 ||
      PyDict_SetItem(cell.get(), names().source, lines.get()) < 0)
    return {};
  return cell;
}

// One cell across the three versions.
struct Identity {
  Ref base, current, incoming;
  bool canvas = false;     // merged by the pipeline merge
  std::vector<Ref> cells;  // what the merged notebook holds of it
  bool placed_by_incoming = false;
};

class PlainMerge {
 public:
  PlainMerge(const std::string& label_path, int marker_size, PlainMergeReport& report)
      : label_path_(label_path), report_(report), sources_(label_path, marker_size) {}

  bool run(PyObject* base, PyObject* current, PyObject* incoming, Ref& merged,
           std::string& refusal);

 private:
  struct Version {
    std::vector<Ref> cells;
    std::vector<std::string> keys;  // "" where the cell is matched by alignment
    std::vector<std::size_t> identity;
  };

  bool read(PyObject* document, Version& version);
  bool identify(Version& version, const char* role, std::string& refusal);
  Ref& slot_of(Identity& cell, const Version& version) {
    return &version == &versions_[0]   ? cell.base
           : &version == &versions_[1] ? cell.current
                                       : cell.incoming;
  }
  bool decide(Identity& cell);
  bool merge_fields(Identity& cell);
  bool run_pipeline(PyObject* base, PyObject* current, PyObject* incoming, Ref& canvas_cells,
                    Ref& canvas_metadata);
  bool finish_cells(PyObject* current, PyObject* cells);

  const std::string& label_path_;
  PlainMergeReport& report_;
  SourceLineMerge sources_;
  bool use_ids_ = true;
  bool mixed_ = false;
  Version versions_[3];
  std::vector<Identity> identities_;
  std::unordered_map<std::string, std::size_t> by_key_;
  // Cells without an id that only current added, by type and source.
  std::unordered_multimap<std::string, std::size_t> added_by_current_;
};

bool PlainMerge::read(PyObject* document, Version& version) {
  PyObject* cells = member(document, names().cells);
  if (!cells) return true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
    PyObject* cell = PyList_GET_ITEM(cells, i);
    version.cells.push_back(Ref::borrow(cell));
    std::string key;
    PyObject* canvas_id = member(canvas_of(cell), names().id);
    if (canvas_id && PyUnicode_Check(canvas_id)) {
      key = "c:" + utf8(canvas_id);
    } else {
      PyObject* id = member(cell, names().id);
      if (id && PyUnicode_Check(id))
        key = "n:" + utf8(id);
      else
        use_ids_ = false;
    }
    version.keys.push_back(std::move(key));
  }
  return true;
}

// Gives each cell of `version` its identity: by key where it has one (the
// base and current identities first), else by alignment against the base.
bool PlainMerge::identify(Version& version, const char* role, std::string& refusal) {
  const bool is_base = &version == &versions_[0];
  std::unordered_set<std::string> seen;
  std::vector<std::size_t> loose;  // cells matched by alignment
  version.identity.assign(version.cells.size(), kNone);
  for (std::size_t k = 0; k < version.cells.size(); ++k) {
    std::string& key = version.keys[k];
    if (!use_ids_ && key.starts_with("n:")) key.clear();
    if (key.empty()) {
      loose.push_back(k);
      continue;
    }
    if (!seen.insert(key).second) {
      refusal = std::string("the ") + role + " version has two cells with " +
                (key[0] == 'c' ? "canvas id " : "cell id ") + "'" + key.substr(2) + "'";
      return true;
    }
    auto [found, added] = by_key_.emplace(key, identities_.size());
    if (added) identities_.emplace_back().canvas = mixed_ && key[0] == 'c';
    version.identity[k] = found->second;
    slot_of(identities_[found->second], version) = version.cells[k];
  }
  if (!loose.empty()) {
    std::vector<std::size_t> base_loose;
    const Version& base = versions_[0];
    if (!is_base)
      for (std::size_t k = 0; k < base.cells.size(); ++k)
        if (base.keys[k].empty()) base_loose.push_back(k);
    auto texts = [](const Version& from, const std::vector<std::size_t>& which) {
      std::vector<plain::CellText> out;
      out.reserve(which.size());
      for (std::size_t k : which) out.push_back(alignment_text(from.cells[k].get()));
      return out;
    };
    std::vector<plain::CellText> own = texts(version, loose);
    std::vector<std::ptrdiff_t> match;
    if (!base_loose.empty()) match = plain::align(texts(base, base_loose), own);
    std::vector<std::size_t> counterpart(loose.size(), kNone);
    for (std::size_t m = 0; m < match.size(); ++m)
      if (match[m] >= 0)
        counterpart[static_cast<std::size_t>(match[m])] = base.identity[base_loose[m]];
    const bool is_current = &version == &versions_[1];
    for (std::size_t n = 0; n < loose.size(); ++n) {
      std::size_t id = counterpart[n];
      std::string text = own[n].type + '\0' + own[n].source;
      if (id == kNone && !is_base && !is_current) {
        // The same cell added on both sides (a cherry-picked commit) is one
        // cell, not two.
        auto [first, last] = added_by_current_.equal_range(text);
        for (auto it = first; it != last; ++it) {
          bool equal = false;
          if (!same(identities_[it->second].current.get(), version.cells[loose[n]].get(), equal))
            return false;
          if (!equal) continue;
          id = it->second;
          added_by_current_.erase(it);
          break;
        }
      }
      if (id == kNone) {
        id = identities_.size();
        identities_.emplace_back();
        if (is_current) added_by_current_.emplace(std::move(text), id);
      }
      version.identity[loose[n]] = id;
      slot_of(identities_[id], version) = version.cells[loose[n]];
    }
  }
  return true;
}

}  // namespace

SourceLineMerge::SourceLineMerge(std::string label_path, int marker_size)
    : label_path_(std::move(label_path)), hooks_(marker_size, read_source_merge_settings) {}

merge::NativeHooks* SourceLineMerge::hooks() {
  if (!prepared_ && !(prepared_ = hooks_.prepare())) return nullptr;
  return &hooks_;
}

bool SourceLineMerge::merge(PyObject* base, PyObject* current, PyObject* incoming, Ref& out,
                            Py_ssize_t& opened) {
  if (!current_label_) {
    Ref path = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
        label_path_.data(), static_cast<Py_ssize_t>(label_path_.size())));
    current_label_ = path ? merge::conflict_label(path.get(), names().current_suffix) : Ref{};
    incoming_label_ =
        current_label_ ? merge::conflict_label(path.get(), names().incoming_suffix) : Ref{};
    if (!incoming_label_) return false;
  }
  Ref c = lines_keeping_ends(current);
  Ref b = c ? lines_keeping_ends(base) : Ref{};
  Ref i = b ? lines_keeping_ends(incoming) : Ref{};
  if (!i || !hooks()) return false;
  opened = -1;
  Ref lines = hooks_.merge_source(c.get(), b.get(), i.get(), current_label_.get(),
                                  incoming_label_.get(), opened);
  if (!lines) return false;
  if (opened < 0) {
    // The merging tool could not tell: the blocks under the current label
    // that the current source did not hold.
    Ref opening = Ref::steal(PyUnicode_FromFormat("<<<<<<< %U", current_label_.get()));
    if (!opening) return false;
    opened = merge::block_openings(lines.get(), opening.get()) -
             merge::block_openings(c.get(), opening.get());
  }
  if (opened < 0) opened = 0;
  PyObject* held = member(current, names().source);
  if (held && PyUnicode_Check(held)) {
    out = Ref::steal(PyUnicode_Join(names().empty, lines.get()));
    return static_cast<bool>(out);
  }
  out = lines;
  return true;
}

bool merge_cell_fields(PyObject* b, PyObject* c, PyObject* i, SourceLineMerge& sources,
                       FieldMerge& out) {
  auto field_outcome = [&](PyObject* key, plain::FieldOutcome& outcome) {
    bool c_base = false, i_base = false, sides = false;
    PyObject* bv = member(b, key);
    PyObject* cv = member(c, key);
    PyObject* iv = member(i, key);
    Ref hold[3] = {Ref::borrow(bv), Ref::borrow(cv), Ref::borrow(iv)};
    if (!same(cv, bv, c_base) || !same(iv, bv, i_base) || !same(cv, iv, sides)) return false;
    outcome = plain::decide_field(c_base, i_base, sides);
    return true;
  };
  plain::FieldOutcome type{};
  if (!field_outcome(names().cell_type, type)) return false;
  out = FieldMerge{};
  if (type == plain::FieldOutcome::both_changed) {
    out.conflicts.emplace_back("cell_type");
    return true;
  }
  Ref result = Ref::steal(PyDict_Copy(c));
  Ref keys;
  if (!result || !key_union(c, i, b, keys)) return false;
  std::vector<std::string>& conflicts = out.conflicts;
  bool outputs_done = false;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
    Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), k));
    bool is_outputs = false, is_count = false, is_id = false;
    if (!same(key.get(), names().outputs, is_outputs) ||
        !same(key.get(), names().execution_count, is_count) || !same(key.get(), names().id, is_id))
      return false;
    if (is_id) continue;
    if (is_outputs || is_count) {
      // Outputs and execution count go together, from the side that changed them.
      if (outputs_done) continue;
      outputs_done = true;
      plain::FieldOutcome outputs{}, count{};
      if (!field_outcome(names().outputs, outputs) ||
          !field_outcome(names().execution_count, count))
        return false;
      bool current_same =
          outputs != plain::FieldOutcome::incoming && count != plain::FieldOutcome::incoming;
      bool incoming_same = outputs != plain::FieldOutcome::both_changed &&
                           count != plain::FieldOutcome::both_changed;
      if (!current_same && incoming_same) {
        for (PyObject* name : {names().outputs, names().execution_count}) {
          PyObject* value = member(i, name);
          if (value ? PyDict_SetItem(result.get(), name, value) < 0
                    : PyDict_DelItem(result.get(), name) < 0)
            return false;
        }
      } else if (!incoming_same) {
        conflicts.emplace_back("outputs");
      }
      continue;
    }
    plain::FieldOutcome outcome{};
    if (!field_outcome(key.get(), outcome)) return false;
    PyObject* iv = member(i, key.get());
    if (outcome == plain::FieldOutcome::incoming) {
      if (iv ? PyDict_SetItem(result.get(), key.get(), iv) < 0
             : PyDict_DelItem(result.get(), key.get()) < 0)
        return false;
      continue;
    }
    if (outcome == plain::FieldOutcome::current) continue;
    bool is_source = false, is_metadata = false;
    if (!same(key.get(), names().source, is_source) ||
        !same(key.get(), names().metadata, is_metadata))
      return false;
    PyObject* bv = member(b, key.get());
    PyObject* cv = member(c, key.get());
    Ref value;
    if (is_source && cv && iv) {
      Py_ssize_t opened = 0;
      if (!sources.merge(b, c, i, value, opened)) return false;
      out.source_blocks += opened;
    } else if (is_metadata && cv && iv && PyDict_Check(cv) && PyDict_Check(iv) &&
               (!bv || PyDict_Check(bv))) {
      if (!merge_mapping(bv, cv, iv, nullptr, "metadata.", value, conflicts)) return false;
    } else {
      conflicts.push_back(utf8(key.get()));
      continue;
    }
    if (PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return false;
  }
  // Outputs belong to code cells only.
  PyObject* final_type = member(result.get(), names().cell_type);
  bool code = false;
  if (!same(final_type, names().code, code)) return false;
  if (code) {
    if (!member(result.get(), names().outputs)) {
      Ref none = Ref::steal(PyList_New(0));
      if (!none || PyDict_SetItem(result.get(), names().outputs, none.get()) < 0) return false;
    }
    if (!member(result.get(), names().execution_count) &&
        PyDict_SetItem(result.get(), names().execution_count, Py_None) < 0)
      return false;
  } else {
    for (PyObject* name : {names().outputs, names().execution_count})
      if (member(result.get(), name) && PyDict_DelItem(result.get(), name) < 0) return false;
  }
  out.cell = std::move(result);
  return true;
}

namespace {

// Changed on both sides, differently: field by field against the base.
bool PlainMerge::merge_fields(Identity& cell) {
  FieldMerge merged;
  if (!merge_cell_fields(cell.base.get(), cell.current.get(), cell.incoming.get(), sources_,
                         merged))
    return false;
  report_.source_blocks += merged.source_blocks;
  if (!merged.cell) {
    Ref first = marked(cell.current.get(), plain::MarkKind::type_changed_by_both_current);
    Ref second =
        first ? marked(cell.incoming.get(), plain::MarkKind::type_changed_by_both_incoming) : Ref{};
    if (!second) return false;
    cell.cells = {first, second};
    report_.marked_cells += 2;
    return true;
  }
  Ref result = merged.cell;
  if (!merged.conflicts.empty()) {
    std::string detail;
    for (const std::string& name : merged.conflicts) detail += (detail.empty() ? "" : ", ") + name;
    result = marked(result.get(), plain::MarkKind::fields_changed_by_both, detail);
    if (!result) return false;
    ++report_.marked_cells;
  }
  cell.cells = {result};
  return true;
}

bool PlainMerge::decide(Identity& cell) {
  plain::CellFacts facts;
  facts.in_base = static_cast<bool>(cell.base);
  facts.in_current = static_cast<bool>(cell.current);
  facts.in_incoming = static_cast<bool>(cell.incoming);
  bool equal = false;
  if (facts.in_base && facts.in_current) {
    if (!same(cell.base.get(), cell.current.get(), equal)) return false;
    facts.current_changed = !equal;
  }
  if (facts.in_base && facts.in_incoming) {
    if (!same(cell.base.get(), cell.incoming.get(), equal)) return false;
    facts.incoming_changed = !equal;
  }
  if (facts.in_current && facts.in_incoming) {
    if (!same(cell.current.get(), cell.incoming.get(), equal)) return false;
    facts.sides_equal = equal;
  }
  using Outcome = plain::CellOutcome;
  using Kind = plain::MarkKind;
  switch (plain::decide_cell(facts)) {
    case Outcome::keep_current:
    case Outcome::add_current:
      cell.cells = {cell.current};
      return true;
    case Outcome::take_incoming:
      cell.cells = {cell.incoming};
      return true;
    case Outcome::add_incoming:
      cell.cells = {cell.incoming};
      cell.placed_by_incoming = true;
      return true;
    case Outcome::merge_fields:
      return merge_fields(cell);
    case Outcome::drop:
      return true;
    case Outcome::keep_current_changed_deleted: {
      Ref kept = marked(cell.current.get(), Kind::changed_by_current_deleted_by_incoming);
      if (!kept) return false;
      cell.cells = {kept};
      ++report_.marked_cells;
      return true;
    }
    case Outcome::keep_incoming_changed_deleted: {
      Ref kept = marked(cell.incoming.get(), Kind::changed_by_incoming_deleted_by_current);
      if (!kept) return false;
      cell.cells = {kept};
      cell.placed_by_incoming = true;
      ++report_.marked_cells;
      return true;
    }
    case Outcome::add_both_marked: {
      Ref first = marked(cell.current.get(), Kind::added_by_both_current);
      Ref second = first ? marked(cell.incoming.get(), Kind::added_by_both_incoming) : Ref{};
      if (!second) return false;
      cell.cells = {first, second};
      report_.marked_cells += 2;
      return true;
    }
  }
  return true;
}

// The pipeline merge of the canvas cells alone: its merged cells and canvas
// metadata.
bool PlainMerge::run_pipeline(PyObject* base, PyObject* current, PyObject* incoming,
                              Ref& canvas_cells, Ref& canvas_metadata) {
  Ref subsets[3];
  PyObject* documents[3] = {base, current, incoming};
  for (int v = 0; v < 3; ++v) {
    subsets[v] = Ref::steal(PyDict_Copy(documents[v]));
    Ref cells = subsets[v] ? Ref::steal(PyList_New(0)) : Ref{};
    if (!cells) return false;
    const Version& version = versions_[v];
    for (std::size_t k = 0; k < version.cells.size(); ++k)
      if (identities_[version.identity[k]].canvas &&
          PyList_Append(cells.get(), version.cells[k].get()) < 0)
        return false;
    if (PyDict_SetItem(subsets[v].get(), names().cells, cells.get()) < 0) return false;
  }
  Ref path = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
      label_path_.data(), static_cast<Py_ssize_t>(label_path_.size())));
  merge::NativeHooks* hooks = path ? sources_.hooks() : nullptr;
  if (!hooks) return false;
  merge::MergeResult result;
  if (!merge::merge_documents(subsets[0].get(), subsets[1].get(), subsets[2].get(), path.get(),
                              *hooks, result))
    return false;
  report_.pipeline_cells = result.conflicts.copies_beside + result.conflicts.marked_cells;
  report_.pipeline_parameters = result.conflicts.marked_parameters;
  report_.source_blocks += result.conflicts.source_blocks;
  canvas_cells = Ref::borrow(member(result.document.get(), names().cells));
  canvas_metadata = Ref::borrow(canvas_of(result.document.get()));
  if (!canvas_cells || !PyList_Check(canvas_cells.get()) || !canvas_metadata) {
    PyErr_SetString(PyExc_ValueError, "the pipeline merge returned no cells or canvas metadata");
    return false;
  }
  return true;
}

// Cell ids as the current version's nbformat wants them: none before 4.5;
// from 4.5 on, one on every cell and no two alike (a copy gets a fresh one).
bool PlainMerge::finish_cells(PyObject* current, PyObject* cells) {
  PyObject* minor = member(current, names().nbformat_minor);
  long version = minor && PyLong_Check(minor) ? PyLong_AsLong(minor) : 0;
  if (version == -1 && !clear_expected({PyExc_OverflowError})) return false;
  Ref seen = Ref::steal(PySet_New(nullptr));
  if (!seen) return false;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(cells); ++k) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells, k));
    PyObject* id = member(cell.get(), names().id);
    bool wanted = version >= 5;
    bool fine = !wanted ? !id : id && PyUnicode_Check(id);
    if (fine && wanted) {
      int taken = PySet_Contains(seen.get(), id);
      if (taken < 0) return false;
      fine = !taken;
    }
    if (fine) {
      if (wanted && PySet_Add(seen.get(), id) < 0) return false;
      continue;
    }
    Ref copy = Ref::steal(PyDict_Copy(cell.get()));
    if (!copy) return false;
    if (!wanted) {
      if (PyDict_DelItem(copy.get(), names().id) < 0) return false;
    } else {
      merge::NativeHooks* hooks = sources_.hooks();
      Ref fresh = hooks ? hooks->fresh_id() : Ref{};
      if (!fresh || PyDict_SetItem(copy.get(), names().id, fresh.get()) < 0 ||
          PySet_Add(seen.get(), fresh.get()) < 0)
        return false;
    }
    if (PyList_SetItem(cells, k, copy.release()) < 0) return false;
  }
  return true;
}

bool PlainMerge::run(PyObject* base, PyObject* current, PyObject* incoming, Ref& merged,
                     std::string& refusal) {
  PyObject* documents[3] = {base, current, incoming};
  mixed_ = true;
  for (PyObject* document : documents) {
    PyObject* parameters = member(canvas_of(document), names().parameters);
    mixed_ = mixed_ && parameters && PyList_Check(parameters);
  }
  for (int v = 0; v < 3; ++v)
    if (!read(documents[v], versions_[v])) return false;
  const char* roles[3] = {"base", "current", "incoming"};
  for (int v = 0; v < 3; ++v) {
    if (!identify(versions_[v], roles[v], refusal)) return false;
    if (!refusal.empty()) return true;
  }
  for (Identity& cell : identities_)
    if (!cell.canvas && !decide(cell)) return false;

  Ref canvas_cells = Ref::steal(PyList_New(0));
  Ref canvas_metadata;
  if (!canvas_cells) return false;
  if (mixed_ && !run_pipeline(base, current, incoming, canvas_cells, canvas_metadata)) return false;

  // The pipeline's cells, with current's plain cells after their nearest
  // preceding current cell...
  struct Entry {
    Ref canvas_cell;               // a cell the pipeline merge gave
    std::size_t identity = kNone;  // the cell's identity, where it has one
  };
  std::vector<Entry> first;
  std::vector<std::size_t> at(identities_.size(), kNone);
  for (Py_ssize_t r = 0; r < PyList_GET_SIZE(canvas_cells.get()); ++r) {
    PyObject* cell = PyList_GET_ITEM(canvas_cells.get(), r);
    PyObject* id = member(canvas_of(cell), names().id);
    auto found = id && PyUnicode_Check(id) ? by_key_.find("c:" + utf8(id)) : by_key_.end();
    std::size_t identity = found == by_key_.end() ? kNone : found->second;
    if (identity != kNone) at[identity] = first.size();
    first.push_back({Ref::borrow(cell), identity});
  }
  auto place_of = [&](const Version& version, bool by_current) {
    std::vector<std::ptrdiff_t> place;
    for (std::size_t k = 0; k < version.cells.size(); ++k) {
      const Identity& cell = identities_[version.identity[k]];
      std::size_t position = at[version.identity[k]];
      bool insert =
          !cell.canvas && !cell.cells.empty() &&
          (by_current ? !cell.placed_by_incoming : cell.placed_by_incoming && position == kNone);
      place.push_back(position != kNone ? static_cast<std::ptrdiff_t>(position)
                      : insert          ? plain::kInsert
                                        : plain::kNotHeld);
    }
    return place;
  };
  std::vector<bool> kept(first.size(), true), added(first.size());
  for (std::size_t r = 0; r < first.size(); ++r)
    added[r] = first[r].identity == kNone || !identities_[first[r].identity].current;
  std::vector<Entry> second;
  for (const plain::Slot& slot : plain::weave(kept, added, place_of(versions_[1], true))) {
    if (!slot.from_incoming) {
      second.push_back(first[slot.index]);
    } else {
      std::size_t identity = versions_[1].identity[slot.index];
      second.push_back({Ref{}, identity});
    }
  }
  // ... then incoming's additions after their nearest preceding incoming cell.
  std::fill(at.begin(), at.end(), kNone);
  kept.assign(second.size(), true);
  added.assign(second.size(), false);
  for (std::size_t s = 0; s < second.size(); ++s) {
    std::size_t identity = second[s].identity;
    if (identity != kNone) at[identity] = s;
    added[s] =
        identity == kNone || (!identities_[identity].base && !identities_[identity].incoming);
  }
  Ref cells = Ref::steal(PyList_New(0));
  if (!cells) return false;
  auto append = [&](const Entry& entry) {
    if (entry.canvas_cell) return PyList_Append(cells.get(), entry.canvas_cell.get()) == 0;
    for (const Ref& cell : identities_[entry.identity].cells)
      if (PyList_Append(cells.get(), cell.get()) < 0) return false;
    return true;
  };
  for (const plain::Slot& slot : plain::weave(kept, added, place_of(versions_[2], false))) {
    Entry entry =
        slot.from_incoming ? Entry{Ref{}, versions_[2].identity[slot.index]} : second[slot.index];
    if (!append(entry)) return false;
  }

  // The notebook's metadata by key; the canvas entry is the pipeline merge's.
  std::vector<std::string> conflicts;
  Ref metadata;
  Ref empty = Ref::steal(PyDict_New());
  Ref incoming_values = empty ? Ref::steal(PyList_New(0)) : Ref{};
  PyObject* base_metadata = member(base, names().metadata);
  if (!incoming_values ||
      !merge_mapping(base_metadata ? base_metadata : empty.get(), member(current, names().metadata),
                     member(incoming, names().metadata), mixed_ ? names().canvas : nullptr, "",
                     metadata, conflicts, incoming_values.get()))
    return false;
  if (mixed_ && PyDict_SetItem(metadata.get(), names().canvas, canvas_metadata.get()) < 0)
    return false;
  report_.metadata_keys = static_cast<Py_ssize_t>(conflicts.size());
  for (const std::string& name : conflicts)
    report_.metadata_detail += (report_.metadata_detail.empty() ? "" : ", ") + name;
  if (!conflicts.empty()) {
    // Shown where a person opening the notebook sees it: a marked cell first.
    Ref note = metadata_conflict_cell(report_.metadata_detail, incoming_values.get());
    if (!note || PyList_Insert(cells.get(), 0, note.get()) < 0) return false;
  }
  if (!finish_cells(current, cells.get())) return false;
  merged = Ref::steal(PyDict_Copy(current));
  return merged && PyDict_SetItem(merged.get(), names().cells, cells.get()) == 0 &&
         PyDict_SetItem(merged.get(), names().metadata, metadata.get()) == 0;
}

const char* shape_problem(PyObject* document) {
  if (!PyDict_Check(document)) return "is not a JSON object";
  PyObject* format = member(document, names().nbformat);
  int overflow = 0;
  if (!format || !PyLong_Check(format) || PyLong_AsLongAndOverflow(format, &overflow) != 4) {
    return "is not an nbformat 4 notebook";
  }
  PyObject* metadata = member(document, names().metadata);
  if (!metadata || !PyDict_Check(metadata)) return "has no notebook metadata object";
  PyObject* cells = member(document, names().cells);
  if (!cells || !PyList_Check(cells)) return "has no list of cells";
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
    PyObject* cell = PyList_GET_ITEM(cells, i);
    PyObject* type = member(cell, names().cell_type);
    PyObject* source = member(cell, names().source);
    PyObject* cell_metadata = member(cell, names().metadata);
    if (!type || !PyUnicode_Check(type) || !source || !cell_metadata ||
        !PyDict_Check(cell_metadata))
      return "has a cell that is no nbformat 4 cell";
    if (PyUnicode_Check(source)) continue;
    if (!PyList_Check(source)) return "has a cell whose source is neither text nor lines";
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(source); ++k)
      if (!PyUnicode_Check(PyList_GET_ITEM(source, k)))
        return "has a cell whose source is neither text nor lines";
  }
  return nullptr;
}

}  // namespace

merge::plain::CellText alignment_text(PyObject* cell) {
  PyObject* type = member(cell, names().cell_type);
  merge::plain::CellText text{type && PyUnicode_Check(type) ? utf8(type) : std::string(), {}};
  PyObject* source = member(cell, names().source);
  if (source && PyUnicode_Check(source)) {
    text.source = utf8(source);
  } else if (source && PyList_Check(source)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i)
      if (PyUnicode_Check(PyList_GET_ITEM(source, i)))
        text.source += utf8(PyList_GET_ITEM(source, i));
  }
  return text;
}

std::string plain_problem(PyObject* base, PyObject* current, PyObject* incoming) {
  const char* roles[3] = {"base", "current", "incoming"};
  PyObject* documents[3] = {base, current, incoming};
  for (int v = 0; v < 3; ++v) {
    if (!documents[v]) continue;
    if (const char* problem = shape_problem(documents[v]))
      return std::string("the ") + roles[v] + " version " + problem;
  }
  return "";
}

bool merge_plain(PyObject* base, PyObject* current, PyObject* incoming,
                 const std::string& label_path, int marker_size, Ref& merged,
                 PlainMergeReport& report, std::string& refusal) {
  Ref empty_base = base ? Ref::borrow(base) : empty_pipeline_notebook();
  if (!empty_base) return false;
  PlainMerge merge(label_path, marker_size, report);
  return merge.run(empty_base.get(), current, incoming, merged, refusal);
}

}  // namespace zuv::cli
