#include "merge/merge_documents.hpp"

#include <vector>

#include "merge/cell_comparison.hpp"
#include "merge/cell_rules.hpp"
#include "merge/labels.hpp"
#include "merge/merged_cells.hpp"
#include "merge/parameter_rules.hpp"
#include "notebook/marks.hpp"
#include "py/collector_pause.hpp"
#include "py/error.hpp"
#include "py/imports.hpp"
#include "py/names.hpp"

namespace merge {

using zuv::is_marked;
using zuv::names;
namespace {

const char* side_name(Side side) {
  switch (side) {
    case Side::base:
      return "base";
    case Side::current:
      return "current";
    case Side::incoming:
      return "incoming";
  }
  return "";
}

// `value` (empty after a failed call) as a truth value.
bool truth(const Ref& value, bool& answer) {
  int is_true = value ? PyObject_IsTrue(value.get()) : -1;
  answer = is_true == 1;
  return is_true >= 0;
}

// table[key] as an owned reference, or empty with KeyError (or the lookup's
// own error) set.
Ref item(PyObject* table, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(table, key);
  if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return Ref::borrow(value);
}

// cell["metadata"]["canvas"]["name"] read without running any code: a
// borrowed reference, or null where the cell is not shaped like that.
bool raw_name(PyObject* cell, PyObject*& name) {
  name = cell;
  for (PyObject* key : {names().metadata, names().canvas, names().name}) {
    if (!name || !PyDict_CheckExact(name)) {
      name = nullptr;
      break;
    }
    name = PyDict_GetItemWithError(name, key);
  }
  return name || !PyErr_Occurred();
}

// Marked names of `names` (an iterable of names) that `held` lacks.
bool new_marks(PyObject* names, PyObject* held, Py_ssize_t& count) {
  count = 0;
  Ref iter = Ref::steal(PyObject_GetIter(names));
  if (!iter) return false;
  while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
    if (!is_marked(name.get())) continue;
    int known = PySet_Contains(held, name.get());
    if (known < 0) return false;
    count += !known;
  }
  return !PyErr_Occurred();
}

// The records of one canvas id in the three versions (empty where a version
// lacks it), and the pass that visits it.
enum class Pass { deleted_in_current, added_in_incoming, held_by_base_and_current };
struct CellVersions {
  Pass pass;
  Ref id, base, current, incoming;
};

class DocumentMerge {
 public:
  DocumentMerge(PyObject* file_path, Hooks& hooks) : file_path_(file_path), hooks_(hooks) {}

  bool run(PyObject* base, PyObject* current, PyObject* incoming, MergeResult& result);

 private:
  Ref index(PyObject* document, Side side, bool check_duplicates);
  bool load_merged(PyObject* document);
  bool list_visits();

  // Facts, read in the rules' row order (each read may run replaceable code).
  Ref name_of(PyObject* record) { return zuv::getattr(record, names().name); }
  Ref difference(PyObject* older, PyObject* newer, bool outputs_count);
  // Whether that record is non-empty.
  bool differs(PyObject* older, PyObject* newer, bool outputs_count, bool& answer);
  bool canvas_change(PyObject* incoming_diff, CellFacts& facts);
  Ref comp_names();
  // The index of component names over the cells base and current hold: the
  // whole table read again for each lookup, or, with stock records, kept up
  // to date as the merge changes names.
  Ref rebuilt_names() { return track_names_ ? Ref::none() : comp_names(); }
  // The merged key of the cell carrying `name` (empty when none does).
  bool holder_of(PyObject* rebuilt, PyObject* name, Ref& holder);
  bool index_names();
  bool note_name(PyObject* key);
  bool names_of_both(const CellVersions& cell, CellFacts& facts);
  bool gather(const CellVersions& cell, CellFacts& facts);

  bool apply(const CellVersions& cell, CellOutcome outcome);
  Ref incoming_copy(const CellVersions& cell, bool tag_by_keyword);
  bool mark(PyObject* record, Side side);
  bool mark_entry(PyObject* key);
  bool merge_sources(const CellVersions& cell);
  bool add_incoming_comments(const CellVersions& cell);
  bool place_beside(const CellVersions& cell, bool mark_both);
  bool delete_cell(const CellVersions& cell);

  bool cut_parents();
  Ref merge_parameters();
  Ref assemble(PyObject* parameters);

  PyObject* file_path_;
  Hooks& hooks_;
  Ref current_doc_, base_doc_, incoming_doc_;
  Ref current_cells_, base_cells_, incoming_cells_;  // {canvas id: record}, never changed
  MergedCells merged_;
  std::vector<CellVersions> visits_;
  // Per visit: what gathering found that the outcome needs.
  Ref names_snapshot_;  // the name index of the pass over added cells, built once
  Ref holder_key_;      // the merged cell already carrying the incoming name
  Ref incoming_name_;
  Ref input_names_;  // cell names the current and incoming inputs held
  const zuv::json_diff::Symbols* shortcut_ = nullptr;  // see Hooks::comparison_shortcut
  bool track_names_ = false;
  Ref holders_;               // {name: [merged keys whose cell carries it]}
  Ref indexed_;               // {merged key: the name it is listed under}
  std::vector<Ref> touched_;  // merged keys whose names the last outcome may have changed
  ConflictReport conflicts_;
};

Ref DocumentMerge::index(PyObject* document, Side side, bool check_duplicates) {
  Ref cells = zuv::getitem(document, names().cells);
  if (!cells) return {};
  Ref tag = zuv::str(side_name(side));
  Ref table = Ref::steal(PyDict_New());
  Ref iter = Ref::steal(PyObject_GetIter(cells.get()));
  if (!tag || !table || !iter) return {};
  while (Ref cell = Ref::steal(PyIter_Next(iter.get()))) {
    Ref metadata = zuv::getitem(cell.get(), names().metadata);
    Ref canvas = metadata ? zuv::getitem(metadata.get(), names().canvas) : Ref{};
    Ref id = canvas ? zuv::getitem(canvas.get(), names().id) : Ref{};
    if (!id) return {};
    if (check_duplicates) {
      // Two cells under one canvas id: keeping only one of them would
      // silently drop the other from the merged notebook.
      int seen = PyDict_Contains(table.get(), id.get());
      if (seen < 0) return {};
      if (seen) {
        PyErr_Format(PyExc_ValueError, "duplicate canvas id %R in the %s version", id.get(),
                     side_name(side));
        return {};
      }
    }
    if (side != Side::base && check_duplicates) {
      PyObject* found = nullptr;
      if (!raw_name(cell.get(), found)) return {};
      Ref name = Ref::borrow(found);  // hashing a str subclass may run code
      if (name && PyUnicode_Check(name.get()) && PySet_Add(input_names_.get(), name.get()) < 0)
        return {};
    }
    Ref record = hooks_.record(cell.get(), side, true);
    if (!record || PyDict_SetItem(table.get(), id.get(), record.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return table;
}

// The merged table starts as a second set of records over the current cells.
bool DocumentMerge::load_merged(PyObject* document) {
  Ref table = index(document, Side::current, false);
  if (!table || !merged_.init()) return false;
  PyObject *key, *record;
  Py_ssize_t pos = 0;
  while (PyDict_Next(table.get(), &pos, &key, &record))
    if (!merged_.set(key, record, Side::current)) return false;
  return true;
}

// The visiting order.  Only dict lookups of canvas ids run here.
bool DocumentMerge::list_visits() {
  PyObject *id, *record;
  Py_ssize_t pos = 0;
  for (Pass pass : {Pass::deleted_in_current, Pass::added_in_incoming}) {
    pos = 0;
    while (PyDict_Next(incoming_cells_.get(), &pos, &id, &record)) {
      PyObject* base = PyDict_GetItemWithError(base_cells_.get(), id);
      if (!base && PyErr_Occurred()) return false;
      PyObject* current = PyDict_GetItemWithError(current_cells_.get(), id);
      if (!current && PyErr_Occurred()) return false;
      bool wanted = pass == Pass::deleted_in_current ? base && !current : !base;
      if (wanted)
        visits_.push_back(
            {pass, Ref::borrow(id), Ref::borrow(base), Ref::borrow(current), Ref::borrow(record)});
    }
  }
  pos = 0;
  while (PyDict_Next(current_cells_.get(), &pos, &id, &record)) {
    PyObject* base = PyDict_GetItemWithError(base_cells_.get(), id);
    if (!base) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    PyObject* incoming = PyDict_GetItemWithError(incoming_cells_.get(), id);
    if (!incoming && PyErr_Occurred()) return false;
    visits_.push_back({Pass::held_by_base_and_current, Ref::borrow(id), Ref::borrow(base),
                       Ref::borrow(record), Ref::borrow(incoming)});
  }
  return true;
}

// The difference record from `older` to `newer`, its "outputs" entry
// dropped unless outputs count.
Ref DocumentMerge::difference(PyObject* older, PyObject* newer, bool outputs_count) {
  if (outputs_count) return hooks_.changed(older, newer);
  if (shortcut_) {
    bool applies = false;
    Ref record;
    if (!changed_outside_outputs(older, newer, *shortcut_, applies, record)) return {};
    if (applies) return record;
  }
  Ref diff = hooks_.changed(older, newer);
  if (!diff) return {};
  int has = PySequence_Contains(diff.get(), names().outputs);
  if (has < 0) return {};
  if (has && !zuv::call_method(diff.get(), names().pop, names().outputs)) return {};
  return diff;
}

bool DocumentMerge::differs(PyObject* older, PyObject* newer, bool outputs_count, bool& answer) {
  if (outputs_count && shortcut_) {
    bool applies = false;
    if (!differs_counting_outputs(older, newer, *shortcut_, applies, answer)) return false;
    if (applies) return true;
  }
  return truth(difference(older, newer, outputs_count), answer);
}

// The keys of the incoming record's canvas entry, and whether it changed the
// source.
bool DocumentMerge::canvas_change(PyObject* incoming_diff, CellFacts& facts) {
  int has_source = PySequence_Contains(incoming_diff, names().source);
  if (has_source < 0) return false;
  facts.incoming_source_changed = has_source;
  int touches_metadata = PySequence_Contains(incoming_diff, names().metadata);
  if (touches_metadata <= 0) return touches_metadata == 0;
  Ref metadata_diff = zuv::getitem(incoming_diff, names().metadata);
  if (!metadata_diff) return false;
  int has_canvas = PySequence_Contains(metadata_diff.get(), names().canvas);
  if (has_canvas <= 0) return has_canvas == 0;
  Ref canvas_diff = zuv::getitem(metadata_diff.get(), names().canvas);
  Ref changed_keys = canvas_diff ? Ref::steal(PySet_New(canvas_diff.get())) : Ref{};
  if (!changed_keys) return false;
  int colour = PySet_Contains(changed_keys.get(), names().headerColor);
  int comments = colour < 0 ? -1 : PySet_Contains(changed_keys.get(), names().comments);
  if (comments < 0) return false;
  Py_ssize_t known = (colour ? 1 : 0) + (comments ? 1 : 0);
  facts.incoming_canvas = {true, colour == 1, comments == 1,
                           PySet_GET_SIZE(changed_keys.get()) > known};
  return true;
}

// {component name: merged key}, the later cell winning a shared name.
Ref DocumentMerge::comp_names() {
  Ref table = Ref::steal(PyDict_New());
  if (!table) return {};
  for (const MergedEntry& entry : merged_.entries()) {
    Ref name = name_of(entry.record.get());
    bool named = false;
    if (!truth(name, named)) return {};
    if (named && PyDict_SetItem(table.get(), name.get(), entry.key.get()) < 0) return {};
  }
  return table;
}

bool DocumentMerge::holder_of(PyObject* rebuilt, PyObject* name, Ref& holder) {
  if (!track_names_) {
    holder = Ref::borrow(PyDict_GetItemWithError(rebuilt, name));
    return holder || !PyErr_Occurred();
  }
  holder.reset();
  Ref keys = Ref::borrow(PyDict_GetItemWithError(holders_.get(), name));
  if (!keys) return !PyErr_Occurred();
  // The later cell in output order wins a shared name.
  double best_order = -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    double order = -1;
    if (!merged_.order(key.get(), order)) return false;
    if (order > best_order) {
      best_order = order;
      holder = std::move(key);
    }
  }
  return true;
}

// Lists `key` under the name its cell carries now (nowhere when the cell is
// unnamed or gone).
bool DocumentMerge::note_name(PyObject* key) {
  Ref old = Ref::borrow(PyDict_GetItemWithError(indexed_.get(), key));
  if (old) {
    PyObject* keys = PyDict_GetItemWithError(holders_.get(), old.get());
    if (!keys) return false;
    Ref list = Ref::borrow(keys);
    for (Py_ssize_t i = PyList_GET_SIZE(list.get()); i-- > 0;) {
      int same = PyObject_RichCompareBool(PyList_GET_ITEM(list.get(), i), key, Py_EQ);
      if (same < 0) return false;
      if (same && PySequence_DelItem(list.get(), i) < 0) return false;
    }
    if (PyList_GET_SIZE(list.get()) == 0 && PyDict_DelItem(holders_.get(), old.get()) < 0)
      return false;
    if (PyDict_DelItem(indexed_.get(), key) < 0) return false;
  } else if (PyErr_Occurred()) {
    return false;
  }
  bool present = false;
  if (!merged_.contains(key, present)) return false;
  if (!present) return true;
  Ref record = merged_.get(key);
  Ref name = record ? name_of(record.get()) : Ref{};
  bool named = false;
  if (!truth(name, named)) return false;
  if (!named) return true;
  PyObject* keys = PyDict_GetItemWithError(holders_.get(), name.get());
  if (!keys) {
    if (PyErr_Occurred()) return false;
    Ref list = Ref::steal(PyList_New(0));
    if (!list || PyDict_SetItem(holders_.get(), name.get(), list.get()) < 0) return false;
    keys = list.get();
  }
  return PyList_Append(keys, key) == 0 && PyDict_SetItem(indexed_.get(), key, name.get()) == 0;
}

bool DocumentMerge::index_names() {
  track_names_ = hooks_.stock_records();
  if (!track_names_) return true;
  holders_ = Ref::steal(PyDict_New());
  indexed_ = Ref::steal(PyDict_New());
  if (!holders_ || !indexed_) return false;
  for (const MergedEntry& entry : merged_.entries())
    if (!note_name(entry.key.get())) return false;
  return true;
}

// Whether the current and the incoming record carry a name (both names are
// read before either is tested).
bool DocumentMerge::names_of_both(const CellVersions& cell, CellFacts& f) {
  Ref current_name = name_of(cell.current.get());
  Ref incoming_name = current_name ? name_of(cell.incoming.get()) : Ref{};
  return incoming_name && truth(current_name, f.current_named) &&
         truth(incoming_name, f.incoming_named);
}

bool DocumentMerge::gather(const CellVersions& cell, CellFacts& f) {
  f.in_base = static_cast<bool>(cell.base);
  f.in_current = static_cast<bool>(cell.current);
  f.in_incoming = static_cast<bool>(cell.incoming);
  holder_key_.reset();
  incoming_name_.reset();
  PyObject* id = cell.id.get();
  switch (cell.pass) {
    case Pass::deleted_in_current: {
      // Here a change in the outputs alone counts.
      return differs(cell.base.get(), cell.incoming.get(), true, f.incoming_changed);
    }
    case Pass::added_in_incoming: {
      if (f.in_current) {
        if (!differs(cell.current.get(), cell.incoming.get(), false, f.sides_differ)) return false;
        return !f.sides_differ || names_of_both(cell, f);
      }
      incoming_name_ = name_of(cell.incoming.get());
      if (!incoming_name_) return false;
      int taken = PySequence_Contains(names_snapshot_.get(), incoming_name_.get());
      if (taken < 0) return false;
      f.incoming_name_taken = taken;
      if (taken && !(holder_key_ = item(names_snapshot_.get(), incoming_name_.get()))) return false;
      return true;
    }
    case Pass::held_by_base_and_current:
      break;
  }
  if (!differs(cell.base.get(), cell.current.get(), false, f.current_changed)) return false;
  if (!f.current_changed) {
    if (!f.in_incoming) return true;
    if (!differs(cell.base.get(), cell.incoming.get(), false, f.incoming_changed)) return false;
    if (!f.incoming_changed) return true;
    Ref names = rebuilt_names();
    incoming_name_ = names ? name_of(cell.incoming.get()) : Ref{};
    if (!incoming_name_) return false;
    Ref holder;
    if (!holder_of(names.get(), incoming_name_.get(), holder)) return false;
    if (holder) {
      int other = PyObject_RichCompareBool(holder.get(), id, Py_NE);
      if (other < 0) return false;
      if (other) holder_key_ = holder;
    }
    f.incoming_name_taken = static_cast<bool>(holder_key_);
    return true;
  }
  // Changed in current.  The merged record must be there before anything
  // else is read.
  if (!merged_.get(id)) return false;
  if (!f.in_incoming) return true;
  Ref incoming_diff = difference(cell.base.get(), cell.incoming.get(), false);
  if (!truth(incoming_diff, f.incoming_changed)) return false;
  if (!f.incoming_changed) return true;
  if (!differs(cell.current.get(), cell.incoming.get(), false, f.sides_differ)) return false;
  if (!f.sides_differ) return true;
  return names_of_both(cell, f) && canvas_change(incoming_diff.get(), f);
}

// MergeCell(incoming.data.copy(), "incoming"): the merge never puts the
// incoming record itself into the merged table.
Ref DocumentMerge::incoming_copy(const CellVersions& cell, bool tag_by_keyword) {
  Ref data = zuv::getattr(cell.incoming.get(), names().data);
  Ref copy = data ? zuv::call_method(data.get(), names().copy) : Ref{};
  return copy ? hooks_.record(copy.get(), Side::incoming, tag_by_keyword) : Ref{};
}

bool DocumentMerge::mark(PyObject* record, Side side) { return hooks_.mark(record, side); }

bool DocumentMerge::mark_entry(PyObject* key) {
  MergedEntry entry = merged_.entry(key);
  return entry.record && mark(entry.record.get(), entry.side);
}

bool DocumentMerge::merge_sources(const CellVersions& cell) {
  Ref current_source = zuv::getattr(cell.current.get(), names().source);
  Ref base_source = current_source ? zuv::getattr(cell.base.get(), names().source) : Ref{};
  Ref incoming_source = base_source ? zuv::getattr(cell.incoming.get(), names().source) : Ref{};
  if (!incoming_source) return false;
  Ref current_label = conflict_label(file_path_, names().current_suffix);
  Ref incoming_label = current_label ? conflict_label(file_path_, names().incoming_suffix) : Ref{};
  if (!incoming_label) return false;
  Py_ssize_t opened = -1;
  Ref merged_source =
      hooks_.merge_source(current_source.get(), base_source.get(), incoming_source.get(),
                          current_label.get(), incoming_label.get(), opened);
  Ref target = merged_source ? merged_.get(cell.id.get()) : Ref{};
  if (!target || PyObject_SetAttr(target.get(), names().source, merged_source.get()) < 0)
    return false;
  if (opened >= 0) {
    conflicts_.source_blocks += opened;
    return true;
  }
  // Blocks this merge opened: those under its own label that the current
  // source did not already hold.
  Ref opening = Ref::steal(PyUnicode_FromFormat("<<<<<<< %U", current_label.get()));
  if (!opening) return false;
  opened = block_openings(merged_source.get(), opening.get()) -
           block_openings(current_source.get(), opening.get());
  if (opened > 0) conflicts_.source_blocks += opened;
  return true;
}

// Comments the incoming side introduced (in the incoming cell, not in the
// base cell) are appended, once each, in the incoming order, unless the
// merged cell holds them already.  A comment current removed stays removed.
bool DocumentMerge::add_incoming_comments(const CellVersions& cell) {
  Ref target = merged_.get(cell.id.get());
  Ref base_comments = target ? zuv::getattr(cell.base.get(), names().comments) : Ref{};
  Ref comments = base_comments ? zuv::getattr(cell.incoming.get(), names().comments) : Ref{};
  Ref iter = comments ? Ref::steal(PyObject_GetIter(comments.get())) : Ref{};
  if (!iter) return false;
  while (Ref comment = Ref::steal(PyIter_Next(iter.get()))) {
    int in_base = PySequence_Contains(base_comments.get(), comment.get());
    if (in_base < 0) return false;
    if (in_base) continue;
    Ref held = zuv::getattr(target.get(), names().comments);
    if (!held) return false;
    int present = PySequence_Contains(held.get(), comment.get());
    if (present < 0) return false;
    if (!present && !zuv::call_method(target.get(), names().add_comment, comment.get()))
      return false;
  }
  return !PyErr_Occurred();
}

// A copy of the incoming cell with fresh canvas and cell ids, right after
// the current cell.
bool DocumentMerge::place_beside(const CellVersions& cell, bool mark_both) {
  Ref new_cell = incoming_copy(cell, false);
  if (!new_cell) return false;
  Ref weft_id = hooks_.fresh_id();
  if (!weft_id || PyObject_SetAttr(new_cell.get(), names().weft_id, weft_id.get()) < 0)
    return false;
  // A fresh cell id only where the copied cell has one: nbformat before 4.5
  // allows no "id" on a cell.
  Ref data = zuv::getattr(new_cell.get(), names().data);
  int has_id = data ? PySequence_Contains(data.get(), names().id) : -1;
  if (has_id < 0) return false;
  if (has_id) {
    Ref nb_id = hooks_.fresh_id();
    if (!nb_id || PyObject_SetAttr(new_cell.get(), names().cell_id, nb_id.get()) < 0) return false;
  }
  if (mark_both && (!mark_entry(cell.id.get()) || !mark(new_cell.get(), Side::incoming)))
    return false;
  Ref key = zuv::getattr(new_cell.get(), names().weft_id);
  if (!key || !merged_.insert_after(cell.id.get(), key.get(), new_cell.get(), Side::incoming))
    return false;
  touched_.push_back(cell.id);
  touched_.push_back(key);
  ++conflicts_.copies_beside;
  return true;
}

// Incoming deleted a cell current left alone.  A cell elsewhere that carries
// this cell's name with the incoming mark gets the plain name back.
bool DocumentMerge::delete_cell(const CellVersions& cell) {
  Ref merged = merged_.get(cell.id.get());
  Ref popped_name = merged ? name_of(merged.get()) : Ref{};
  if (!popped_name) return false;
  // Only a real name can have been marked.
  if (PyUnicode_Check(popped_name.get()) && PyUnicode_GET_LENGTH(popped_name.get()) > 0) {
    Ref marked = Ref::steal(PyNumber_Add(names().incoming_mark, popped_name.get()));
    Ref names = marked ? rebuilt_names() : Ref{};
    if (!names) return false;
    Ref holder_key;
    if (!holder_of(names.get(), marked.get(), holder_key)) return false;
    if (holder_key) {
      Ref holder = merged_.get(holder_key.get());
      if (!holder || PyObject_SetAttr(holder.get(), zuv::names().name, popped_name.get()) < 0)
        return false;
      touched_.push_back(holder_key);
    }
  }
  touched_.push_back(cell.id);
  return merged_.erase(cell.id.get());
}

bool DocumentMerge::apply(const CellVersions& cell, CellOutcome outcome) {
  PyObject* id = cell.id.get();
  switch (outcome) {
    case CellOutcome::keep_current:
    case CellOutcome::stay_deleted:
      return true;
    case CellOutcome::keep_current_marked: {
      touched_.push_back(cell.id);
      MergedEntry entry = merged_.entry(id);
      bool named = false;
      if (!entry.record || !truth(name_of(entry.record.get()), named)) return false;
      return !named || mark(entry.record.get(), entry.side);
    }
    case CellOutcome::take_incoming:
    case CellOutcome::take_incoming_marked:
    case CellOutcome::restore_incoming_marked:
    case CellOutcome::append_incoming:
    case CellOutcome::append_incoming_marked: {
      Ref copy = incoming_copy(cell, true);
      if (!copy || !merged_.set(id, copy.get(), Side::incoming)) return false;
      touched_.push_back(cell.id);
      if (holder_key_) touched_.push_back(holder_key_);
      if (outcome == CellOutcome::restore_incoming_marked) return mark(copy.get(), Side::incoming);
      if (outcome == CellOutcome::take_incoming || outcome == CellOutcome::append_incoming)
        return true;
      // The cell that already carries the name first, then the new one.
      return mark_entry(holder_key_.get()) && mark(copy.get(), Side::incoming);
    }
    case CellOutcome::delete_cell:
      return delete_cell(cell);
    case CellOutcome::merge_sources:
      return merge_sources(cell);
    case CellOutcome::add_comments:
      return add_incoming_comments(cell);
    case CellOutcome::add_comments_then_merge_sources:
      return add_incoming_comments(cell) && merge_sources(cell);
    case CellOutcome::place_beside:
      return place_beside(cell, false);
    case CellOutcome::place_beside_marked:
      return place_beside(cell, true);
  }
  return true;
}

// Every named cell keeps only its references to named cells still present,
// each reduced to its "id".
bool DocumentMerge::cut_parents() {
  Ref comp_ids = Ref::steal(PyList_New(0));
  if (!comp_ids) return false;
  for (const MergedEntry& entry : merged_.entries()) {
    bool named = false;
    if (!truth(name_of(entry.record.get()), named)) return false;
    if (named && PyList_Append(comp_ids.get(), entry.key.get()) < 0) return false;
  }
  // A set answers membership quickly; an unhashable id falls back to the list.
  Ref id_set = Ref::steal(PySet_New(comp_ids.get()));
  if (!id_set && !zuv::clear_expected({PyExc_TypeError})) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(comp_ids.get()); ++i) {
    Ref record = merged_.get(PyList_GET_ITEM(comp_ids.get(), i));
    if (!record) return false;
    Ref parents = zuv::getattr(record.get(), names().parents);
    Ref iter = parents ? Ref::steal(PyObject_GetIter(parents.get())) : Ref{};
    Ref new_parents = Ref::steal(PyList_New(0));
    if (!iter || !new_parents) return false;
    while (Ref parent = Ref::steal(PyIter_Next(iter.get()))) {
      Ref id = zuv::getitem(parent.get(), names().id);
      if (!id) return false;
      int kept = id_set ? PySet_Contains(id_set.get(), id.get()) : -1;
      if (kept < 0) {
        if (!zuv::clear_expected({PyExc_TypeError})) return false;
        kept = PySequence_Contains(comp_ids.get(), id.get());
        if (kept < 0) return false;
      }
      if (!kept) continue;
      Ref reference = Ref::steal(PyDict_New());
      if (!reference || PyDict_SetItem(reference.get(), names().id, id.get()) < 0 ||
          PyList_Append(new_parents.get(), reference.get()) < 0)
        return false;
    }
    if (PyErr_Occurred() || PyObject_SetAttr(record.get(), names().parents, new_parents.get()) < 0)
      return false;
  }
  return true;
}

// {name: parameter} over document["metadata"]["canvas"]["parameters"].  Two
// parameters under one name are refused: the table would silently keep one.
Ref parameter_table(PyObject* document, const char* version) {
  Ref metadata = zuv::getitem(document, names().metadata);
  Ref canvas = metadata ? zuv::getitem(metadata.get(), names().canvas) : Ref{};
  Ref parameters = canvas ? zuv::getitem(canvas.get(), names().parameters) : Ref{};
  Ref iter = parameters ? Ref::steal(PyObject_GetIter(parameters.get())) : Ref{};
  Ref table = Ref::steal(PyDict_New());
  if (!iter || !table) return {};
  while (Ref parameter = Ref::steal(PyIter_Next(iter.get()))) {
    Ref name = zuv::getitem(parameter.get(), names().name);
    int seen = name ? PyDict_Contains(table.get(), name.get()) : -1;
    if (seen < 0) return {};
    if (seen) {
      PyErr_Format(PyExc_ValueError, "duplicate parameter name %R in the %s version", name.get(),
                   version);
      return {};
    }
    if (PyDict_SetItem(table.get(), name.get(), parameter.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return table;
}

// The merged parameter table, conflicting parameters kept twice under
// marked names.  Names are visited as the three tables hold them: those
// base and current hold (current's order), those current deleted (base's
// order), those incoming added (incoming's order).
class ParameterMerge {
 public:
  ParameterMerge(PyObject* current, PyObject* base, PyObject* incoming)
      : current_(Ref::borrow(current)),
        base_(Ref::borrow(base)),
        incoming_(Ref::borrow(incoming)) {}

  Ref run() {
    merged_ = Ref::steal(PyDict_Copy(current_.get()));
    Ref current_names = merged_ ? Ref::steal(PyDict_Keys(current_.get())) : Ref{};
    Ref base_names = current_names ? Ref::steal(PyDict_Keys(base_.get())) : Ref{};
    Ref incoming_names = base_names ? Ref::steal(PyDict_Keys(incoming_.get())) : Ref{};
    if (!incoming_names) return {};
    if (!visit(current_names.get(), base_.get(), true) ||
        !visit(base_names.get(), current_.get(), false) ||
        !visit(incoming_names.get(), base_.get(), false))
      return {};
    Ref held = Ref::steal(PySet_New(current_names.get()));
    if (!held) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(incoming_names.get()); ++i)
      if (PySet_Add(held.get(), PyList_GET_ITEM(incoming_names.get(), i)) < 0) return {};
    if (!new_marks(merged_.get(), held.get(), marked_)) return {};
    return merged_;
  }
  Py_ssize_t marked() const { return marked_; }

 private:
  // Visits the names of `names` that `other` holds (or lacks).
  bool visit(PyObject* names, PyObject* other, bool held_by_other) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
      PyObject* name = PyList_GET_ITEM(names, i);
      int held = PyDict_Contains(other, name);
      if (held < 0) return false;
      if (held != held_by_other) continue;
      if (!merge_one(name)) return false;
    }
    return true;
  }

  // What each version holds under `name`, compared in the order the rules
  // need (a comparison of parameters is Python's ==).
  bool merge_one(PyObject* name) {
    Ref base = Ref::borrow(PyDict_GetItemWithError(base_.get(), name));
    if (!base && PyErr_Occurred()) return false;
    Ref current = Ref::borrow(PyDict_GetItemWithError(current_.get(), name));
    if (!current && PyErr_Occurred()) return false;
    Ref incoming = Ref::borrow(PyDict_GetItemWithError(incoming_.get(), name));
    if (!incoming && PyErr_Occurred()) return false;
    Held base_held = base ? Held::present : Held::absent;
    Held current_held = Held::absent, incoming_held = Held::absent;
    if (base && current) {
      int changed = PyObject_RichCompareBool(base.get(), current.get(), Py_NE);
      if (changed < 0) return false;
      current_held = changed ? Held::changed : Held::same_as_base;
    } else if (current) {
      current_held = Held::present;
    }
    if (incoming) {
      if (base && current) {
        int kept = PyObject_RichCompareBool(base.get(), incoming.get(), Py_EQ);
        if (kept < 0) return false;
        incoming_held = kept ? Held::same_as_base : Held::changed;
        if (!kept && current_held == Held::changed) {
          int same = PyObject_RichCompareBool(current.get(), incoming.get(), Py_EQ);
          if (same < 0) return false;
          if (same) incoming_held = Held::same_as_current;
        }
      } else if (base) {
        int changed = PyObject_RichCompareBool(incoming.get(), base.get(), Py_NE);
        if (changed < 0) return false;
        incoming_held = changed ? Held::changed : Held::same_as_base;
      } else if (current) {
        int same = PyObject_RichCompareBool(current.get(), incoming.get(), Py_EQ);
        if (same < 0) return false;
        incoming_held = same ? Held::same_as_current : Held::changed;
      } else {
        incoming_held = Held::present;
      }
    }
    return apply(name, decide_parameter(base_held, current_held, incoming_held), incoming.get());
  }

  bool apply(PyObject* name, ParameterOutcome outcome, PyObject* incoming) {
    switch (outcome) {
      case ParameterOutcome::keep_current:
      case ParameterOutcome::stay_absent:
        return true;
      case ParameterOutcome::take_incoming:
      case ParameterOutcome::take_incoming_at_end:
        return PyDict_SetItem(merged_.get(), name, incoming) == 0;
      case ParameterOutcome::drop:
        return PyDict_DelItem(merged_.get(), name) == 0;
      case ParameterOutcome::keep_both_marked:
        return keep_current_marked(name) && keep_incoming_marked(name) &&
               PyDict_DelItem(merged_.get(), name) == 0;
      case ParameterOutcome::keep_current_marked:
        return keep_current_marked(name) && PyDict_DelItem(merged_.get(), name) == 0;
      case ParameterOutcome::restore_incoming_marked:
        return keep_incoming_marked(name);
    }
    return true;
  }

  // Stores `parameter` under mark + name and renames it accordingly.
  // A marked name that another parameter of the merge holds is refused
  // rather than overwritten.
  bool keep_marked(PyObject* mark, PyObject* name, PyObject* parameter) {
    Ref marked = Ref::steal(PyNumber_Add(mark, name));
    if (!marked) return false;
    for (const Ref& table : {merged_, current_, incoming_}) {
      int taken = PyDict_Contains(table.get(), marked.get());
      if (taken < 0) return false;
      if (taken) {
        PyErr_Format(PyExc_ValueError,
                     "the conflict mark of parameter %R gives it the name %R, which another "
                     "parameter has",
                     name, marked.get());
        return false;
      }
    }
    if (PyDict_SetItem(merged_.get(), marked.get(), parameter) < 0) return false;
    return PyObject_SetItem(parameter, names().name, marked.get()) == 0;
  }
  bool keep_current_marked(PyObject* name) {
    Ref held = item(merged_.get(), name);
    return held && keep_marked(names().current_mark, name, held.get());
  }
  bool keep_incoming_marked(PyObject* name) {
    Ref held = item(incoming_.get(), name);
    return held && keep_marked(names().incoming_mark, name, held.get());
  }

  Ref current_, base_, incoming_;
  Ref merged_;
  Py_ssize_t marked_ = 0;  // marked names neither input held
};

Ref DocumentMerge::merge_parameters() {
  Ref current = parameter_table(current_doc_.get(), "current");
  Ref base = current ? parameter_table(base_doc_.get(), "base") : Ref{};
  Ref incoming = base ? parameter_table(incoming_doc_.get(), "incoming") : Ref{};
  if (!incoming) return {};
  ParameterMerge merge(current.get(), base.get(), incoming.get());
  Ref merged = merge.run();
  conflicts_.marked_parameters = merge.marked();
  return merged;
}

// current.copy() with the merged cells and parameters.
Ref DocumentMerge::assemble(PyObject* parameters) {
  Ref merged = zuv::call_method(current_doc_.get(), names().copy);
  Ref cells = Ref::steal(PyList_New(0));
  if (!merged || !cells) return {};
  Ref merged_names = Ref::steal(PyList_New(0));
  if (!merged_names) return {};
  for (const MergedEntry& entry : merged_.entries()) {
    Ref data = zuv::getattr(entry.record.get(), names().data);
    if (!data || PyList_Append(cells.get(), data.get()) < 0) return {};
    PyObject* name = nullptr;
    if (!raw_name(data.get(), name)) return {};
    if (name && PyList_Append(merged_names.get(), name) < 0) return {};
  }
  if (!new_marks(merged_names.get(), input_names_.get(), conflicts_.marked_cells)) return {};
  if (PyObject_SetItem(merged.get(), names().cells, cells.get()) < 0) return {};
  Ref values = Ref::steal(PyDict_Values(parameters));
  Ref metadata = values ? zuv::getitem(merged.get(), names().metadata) : Ref{};
  Ref canvas = metadata ? zuv::getitem(metadata.get(), names().canvas) : Ref{};
  if (!canvas || PyObject_SetItem(canvas.get(), names().parameters, values.get()) < 0) return {};
  return merged;
}

bool DocumentMerge::run(PyObject* base, PyObject* current, PyObject* incoming,
                        MergeResult& result) {
  if (!hooks_.comparison_shortcut(shortcut_)) return false;
  if (!(input_names_ = Ref::steal(PySet_New(nullptr)))) return false;
  current_doc_ = Ref::borrow(current);
  base_doc_ = Ref::borrow(base);
  incoming_doc_ = Ref::borrow(incoming);
  if (!(current_cells_ = index(current, Side::current, true)) || !load_merged(current) ||
      !(base_cells_ = index(base, Side::base, true)) ||
      !(incoming_cells_ = index(incoming, Side::incoming, true)) || !list_visits())
    return false;
  Pass pass = Pass::deleted_in_current;
  auto enter = [&](Pass next) {
    // Between the passes: the name index of the added cells is built once,
    // and the source merges get ready before the cells base and current hold.
    while (pass != next) {
      if (pass == Pass::deleted_in_current) {
        if (!(names_snapshot_ = comp_names())) return false;
        pass = Pass::added_in_incoming;
      } else {
        if (!hooks_.begin_source_merges() || !index_names()) return false;
        pass = Pass::held_by_base_and_current;
      }
    }
    return true;
  };
  for (const CellVersions& cell : visits_) {
    CellFacts facts;
    touched_.clear();
    if (!enter(cell.pass) || !gather(cell, facts) || !apply(cell, decide_cell(facts))) return false;
    if (track_names_)
      for (const Ref& key : touched_)
        if (!note_name(key.get())) return false;
  }
  if (!enter(Pass::held_by_base_and_current) || !cut_parents()) return false;
  Ref parameters = merge_parameters();
  Ref document = parameters ? assemble(parameters.get()) : Ref{};
  if (!document) return false;
  result.document = document;
  result.conflicts = conflicts_;
  return true;
}

}  // namespace

bool merge_documents(PyObject* base, PyObject* current, PyObject* incoming, PyObject* file_path,
                     Hooks& hooks, MergeResult& result) {
  zuv::CollectorPause pause;
  return DocumentMerge(file_path, hooks).run(base, current, incoming, result);
}

}  // namespace merge
