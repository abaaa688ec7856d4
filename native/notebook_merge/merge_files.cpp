// merge_files: the three-way notebook merge, from the three files to the
// merged notebook written over the current file.
//
// The merge starts from the current version: every current cell stays unless
// a rule removes it.  Cells are matched by canvas id; the records, the cell
// comparison and the source merge are reached through the module globals
// (`MergeCell`, `_cell_changed`, `_merge_source`, `json`, `git`, `uuid`), as
// Python code would reach them.
//
// Visiting orders are fixed so that the same inputs always give the same
// bytes: ids new to or re-added by the incoming version in the incoming
// document's order, cells held by base and current in the current document's
// order, parameters in the order of the table each pass is drawn from.

#include <cerrno>
#include <string>

#include "io/atomic_write.hpp"
#include "notebook_merge/labels.hpp"
#include "notebook_merge/merge.hpp"
#include "py/error.hpp"

namespace merge {
namespace {

using zuv::Exact;
using zuv::FunctionSpec;
using zuv::Param;

struct Keys {
  PyObject* cells = zuv::interned("cells");
  PyObject* metadata = zuv::interned("metadata");
  PyObject* canvas = zuv::interned("canvas");
  PyObject* id = zuv::interned("id");
  PyObject* name = zuv::interned("name");
  PyObject* parameters = zuv::interned("parameters");
  PyObject* source = zuv::interned("source");
  PyObject* comments = zuv::interned("comments");
  PyObject* header_color = zuv::interned("headerColor");
  PyObject* weft_id = zuv::interned("weft_id");
  PyObject* cell_id = zuv::interned("cell_id");
  PyObject* add_comment = zuv::interned("add_comment");
  PyObject* add_conflict_mark = zuv::interned("add_conflict_mark");
  PyObject* file_type = zuv::interned("file_type");
  PyObject* copy = zuv::interned("copy");
  PyObject* current_name = zuv::interned("current_name");
  PyObject* incoming_name = zuv::interned("incoming_name");
  PyObject* open = zuv::interned("open");
  PyObject* close = zuv::interned("close");
  PyObject* json = zuv::interned("json");
  PyObject* load = zuv::interned("load");
  PyObject* dumps = zuv::interned("dumps");
  PyObject* git = zuv::interned("git");
  PyObject* cmd = zuv::interned("cmd");
  PyObject* Git = zuv::interned("Git");
  PyObject* uuid = zuv::interned("uuid");
  PyObject* uuid4 = zuv::interned("uuid4");
  PyObject* cell_changed = zuv::interned("_cell_changed");
  PyObject* merge_source = zuv::interned("_merge_source");
  PyObject* read_mode = zuv::interned("r");
  PyObject* utf8 = zuv::interned("utf-8");
  PyObject* encoding = zuv::interned("encoding");
  PyObject* current_suffix = zuv::interned("-current");
  PyObject* incoming_suffix = zuv::interned("-incoming");
};

const Keys& keys() {
  static const Keys k;
  return k;
}

// `key in container`, with Python's `in`; -1 on error.
int contains(PyObject* container, PyObject* key) { return PySequence_Contains(container, key); }

// table[key] as a borrowed reference, or null with KeyError (or the lookup's
// own error) set.
PyObject* item(PyObject* table, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(table, key);
  if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return value;
}

// The per-call state of one merge: the three documents, the cell tables and
// what the module globals resolve to.
class Merge {
 public:
  Merge(PyObject* globals, PyObject* file_path) : globals_(globals), file_path_(file_path) {}

  Ref run(PyObject* base_path, PyObject* current_path, PyObject* incoming_path);

 private:
  bool resolve_globals();
  Ref load(PyObject* path);
  Ref index(PyObject* document, const char* tag, bool check_duplicates);
  Ref record(PyObject* cell, PyObject* tag);
  Ref incoming_copy(PyObject* cell_id, bool tag_by_keyword = true);
  Ref changed(PyObject* cell0, PyObject* cell1, bool drop_outputs);
  Ref name_of(PyObject* record) { return zuv::getattr(record, keys().name); }
  bool mark(PyObject* record);
  Ref comp_names();
  Ref fresh_id();

  bool deleted_in_current();
  bool added_in_incoming();
  bool held_by_base_and_current();
  bool changed_in_current(PyObject* cell_id);
  bool unchanged_in_current(PyObject* cell_id);
  bool place_beside(PyObject* cell_id, bool mark_both);
  bool merge_sources(PyObject* cell_id);
  bool add_incoming_comments(PyObject* cell_id);
  bool cut_parents();
  Ref merge_parameters();
  bool write(PyObject* current_path, PyObject* parameters);

  PyObject* globals_;
  PyObject* file_path_;
  Ref merge_cell_, cell_changed_, merge_source_;
  Ref current_, base_, incoming_;
  Ref current_cells_, base_cells_, incoming_cells_, merged_cells_;
  Ref git_;
};

bool Merge::resolve_globals() {
  merge_cell_ = zuv::global(globals_, names().merge_cell);
  if (!merge_cell_) return false;
  cell_changed_ = zuv::global(globals_, keys().cell_changed);
  return static_cast<bool>(cell_changed_);
}

// open(path, "r", encoding="utf-8") as a block, json.load inside it.
Ref Merge::load(PyObject* path) {
  Ref open = zuv::global(globals_, keys().open);
  if (!open) return {};
  PyObject* argv[] = {nullptr, path, keys().read_mode, keys().utf8};
  Ref kwnames = Ref::steal(PyTuple_Pack(1, keys().encoding));
  if (!kwnames) return {};
  Ref file = Ref::steal(
      PyObject_Vectorcall(open.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  if (!file) return {};
  Ref json = zuv::global(globals_, keys().json);
  Ref loader = json ? zuv::getattr(json.get(), keys().load) : Ref{};
  Ref document = loader ? zuv::call(loader.get(), file.get()) : Ref{};
  if (document) {
    if (!zuv::call_method(file.get(), keys().close)) return {};
    return document;
  }
  // Close the file on the way out too; the parsing error takes precedence.
  zuv::CaughtError error;
  if (!zuv::call_method(file.get(), keys().close)) PyErr_Clear();
  error.restore();
  return {};
}

Ref Merge::record(PyObject* cell, PyObject* tag) {
  PyObject* argv[] = {nullptr, cell, tag};
  static PyObject* const kwnames = PyTuple_Pack(1, keys().file_type);
  if (!kwnames) return {};
  return Ref::steal(PyObject_Vectorcall(merge_cell_.get(), argv + 1,
                                        1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// {canvas id: MergeCell} over document["cells"], in array order.  A version
// with two cells under one canvas id is refused: keeping only one of them
// would silently drop the other from the merged notebook.
Ref Merge::index(PyObject* document, const char* tag, bool check_duplicates) {
  Ref cells = zuv::getitem(document, keys().cells);
  if (!cells) return {};
  Ref tag_text = zuv::str(tag);
  Ref table = Ref::steal(PyDict_New());
  Ref iter = cells ? Ref::steal(PyObject_GetIter(cells.get())) : Ref{};
  if (!tag_text || !table || !iter) return {};
  while (Ref cell = Ref::steal(PyIter_Next(iter.get()))) {
    Ref metadata = zuv::getitem(cell.get(), keys().metadata);
    Ref canvas = metadata ? zuv::getitem(metadata.get(), keys().canvas) : Ref{};
    Ref id = canvas ? zuv::getitem(canvas.get(), keys().id) : Ref{};
    if (!id) return {};
    if (check_duplicates) {
      int seen = PyDict_Contains(table.get(), id.get());
      if (seen < 0) return {};
      if (seen) {
        PyErr_Format(PyExc_ValueError, "duplicate canvas id %R in the %s version", id.get(), tag);
        return {};
      }
    }
    Ref rec = record(cell.get(), tag_text.get());
    if (!rec || PyDict_SetItem(table.get(), id.get(), rec.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return table;
}

// MergeCell(incoming_cells[cell_id].data.copy(), file_type="incoming")
Ref Merge::incoming_copy(PyObject* cell_id, bool tag_by_keyword) {
  PyObject* incoming = item(incoming_cells_.get(), cell_id);
  if (!incoming) return {};
  Ref data = zuv::getattr(incoming, names().data);
  Ref copy = data ? zuv::call_method(data.get(), keys().copy) : Ref{};
  if (!copy) return {};
  if (tag_by_keyword) return record(copy.get(), names().incoming_tag);
  return zuv::call(merge_cell_.get(), copy.get(), names().incoming_tag);
}

// _cell_changed(cell0, cell1), optionally without its "outputs" entry.
Ref Merge::changed(PyObject* cell0, PyObject* cell1, bool drop_outputs) {
  Ref diff = zuv::call(cell_changed_.get(), cell0, cell1);
  if (!diff || !drop_outputs) return diff;
  int has = contains(diff.get(), names().outputs);
  if (has < 0) return {};
  if (has && !zuv::call_method(diff.get(), names().pop, names().outputs)) return {};
  return diff;
}

bool Merge::mark(PyObject* record) {
  return static_cast<bool>(zuv::call_method(record, keys().add_conflict_mark));
}

// {component name: key of merged_cells}, the later cell winning a shared name.
Ref Merge::comp_names() {
  Ref table = Ref::steal(PyDict_New());
  if (!table) return {};
  PyObject *key, *rec;
  Py_ssize_t pos = 0;
  while (PyDict_Next(merged_cells_.get(), &pos, &key, &rec)) {
    Ref k = Ref::borrow(key), r = Ref::borrow(rec);  // a getter may run any code
    Ref name = name_of(r.get());
    if (!name) return {};
    int named = PyObject_IsTrue(name.get());
    if (named < 0) return {};
    if (named && PyDict_SetItem(table.get(), name.get(), k.get()) < 0) return {};
  }
  return table;
}

Ref Merge::fresh_id() {
  Ref uuid = zuv::global(globals_, keys().uuid);
  Ref uuid4 = uuid ? zuv::getattr(uuid.get(), keys().uuid4) : Ref{};
  Ref value = uuid4 ? zuv::call(uuid4.get()) : Ref{};
  return value ? Ref::steal(PyObject_Str(value.get())) : Ref{};
}

// Cells the current version deleted: they stay deleted unless the incoming
// version changed them, in which case the incoming cell comes back, marked.
bool Merge::deleted_in_current() {
  PyObject *cell_id, *incoming;
  Py_ssize_t pos = 0;
  while (PyDict_Next(incoming_cells_.get(), &pos, &cell_id, &incoming)) {
    Ref id = Ref::borrow(cell_id), inc = Ref::borrow(incoming);
    PyObject* base = PyDict_GetItemWithError(base_cells_.get(), id.get());
    if (!base) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    int in_current = PyDict_Contains(current_cells_.get(), id.get());
    if (in_current) {
      if (in_current < 0) return false;
      continue;
    }
    Ref diff = changed(base, inc.get(), false);
    if (!diff) return false;
    int differs = PyObject_IsTrue(diff.get());
    if (differs < 0) return false;
    if (!differs) continue;
    Ref copy = incoming_copy(id.get());
    if (!copy || PyDict_SetItem(merged_cells_.get(), id.get(), copy.get()) < 0 || !mark(copy.get()))
      return false;
  }
  return !PyErr_Occurred();
}

// Cells new in the incoming version go to the end; one whose name a merged
// cell already carries is marked, together with that cell.
bool Merge::added_in_incoming() {
  Ref names_index = comp_names();
  if (!names_index) return false;
  PyObject *cell_id, *incoming;
  Py_ssize_t pos = 0;
  while (PyDict_Next(incoming_cells_.get(), &pos, &cell_id, &incoming)) {
    Ref id = Ref::borrow(cell_id), inc = Ref::borrow(incoming);
    int in_base = PyDict_Contains(base_cells_.get(), id.get());
    if (in_base) {
      if (in_base < 0) return false;
      continue;
    }
    PyObject* current = PyDict_GetItemWithError(current_cells_.get(), id.get());
    if (current) {
      // Both sides added the same canvas id (the same change merged or
      // picked on both branches).  Equal cells need nothing; otherwise the
      // incoming cell is kept beside the current one, as for any conflict.
      Ref diff = changed(current, inc.get(), true);
      if (!diff) return false;
      int differs = PyObject_IsTrue(diff.get());
      if (differs < 0) return false;
      if (!differs) continue;
      Ref current_name = name_of(current);
      Ref incoming_name = current_name ? name_of(inc.get()) : Ref{};
      if (!incoming_name) return false;
      int named0 = PyObject_IsTrue(current_name.get());
      int named1 = named0 < 0 ? -1 : PyObject_IsTrue(incoming_name.get());
      if (named1 < 0) return false;
      if (!place_beside(id.get(), named0 && named1)) return false;
      continue;
    }
    if (PyErr_Occurred()) return false;
    Ref name = name_of(inc.get());
    if (!name) return false;
    int taken = contains(names_index.get(), name.get());
    if (taken < 0) return false;
    Ref copy = incoming_copy(id.get());
    if (!copy || PyDict_SetItem(merged_cells_.get(), id.get(), copy.get()) < 0) return false;
    if (taken) {
      PyObject* holder_key = item(names_index.get(), name.get());
      if (!holder_key) return false;
      PyObject* holder = item(merged_cells_.get(), holder_key);
      if (!holder) return false;
      if (!mark(holder) || !mark(copy.get())) return false;
    }
  }
  return !PyErr_Occurred();
}

bool Merge::held_by_base_and_current() {
  Ref ids = Ref::steal(PyDict_Keys(current_cells_.get()));
  if (!ids) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
    PyObject* cell_id = PyList_GET_ITEM(ids.get(), i);
    PyObject* base = PyDict_GetItemWithError(base_cells_.get(), cell_id);
    if (!base) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    PyObject* current = item(current_cells_.get(), cell_id);
    if (!current) return false;
    Ref diff = changed(base, current, true);
    if (!diff) return false;
    int differs = PyObject_IsTrue(diff.get());
    if (differs < 0) return false;
    if (!(differs ? changed_in_current(cell_id) : unchanged_in_current(cell_id))) return false;
  }
  return true;
}

bool Merge::merge_sources(PyObject* cell_id) {
  PyObject* current = item(current_cells_.get(), cell_id);
  PyObject* base = current ? item(base_cells_.get(), cell_id) : nullptr;
  PyObject* incoming = base ? item(incoming_cells_.get(), cell_id) : nullptr;
  if (!incoming) return false;
  Ref current_source = zuv::getattr(current, keys().source);
  Ref base_source = current_source ? zuv::getattr(base, keys().source) : Ref{};
  Ref incoming_source = base_source ? zuv::getattr(incoming, keys().source) : Ref{};
  if (!incoming_source) return false;
  Ref current_label = conflict_label(file_path_, keys().current_suffix);
  Ref incoming_label = current_label ? conflict_label(file_path_, keys().incoming_suffix) : Ref{};
  static PyObject* const kwnames = PyTuple_Pack(2, keys().current_name, keys().incoming_name);
  if (!incoming_label || !kwnames) return false;
  if (!merge_source_ && !(merge_source_ = zuv::global(globals_, keys().merge_source))) return false;
  PyObject* argv[] = {nullptr,
                      git_.get(),
                      current_source.get(),
                      base_source.get(),
                      incoming_source.get(),
                      current_label.get(),
                      incoming_label.get()};
  Ref merged_source = Ref::steal(PyObject_Vectorcall(merge_source_.get(), argv + 1,
                                                     4 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
  if (!merged_source) return false;
  PyObject* target = item(merged_cells_.get(), cell_id);
  if (!target) return false;
  return PyObject_SetAttr(target, keys().source, merged_source.get()) == 0;
}

// Comments the incoming cell holds and the merged cell lacks are appended,
// once each, in the incoming order.
bool Merge::add_incoming_comments(PyObject* cell_id) {
  PyObject* incoming = item(incoming_cells_.get(), cell_id);
  PyObject* target = incoming ? item(merged_cells_.get(), cell_id) : nullptr;
  if (!target) return false;
  Ref target_ref = Ref::borrow(target);
  Ref comments = zuv::getattr(incoming, keys().comments);
  Ref iter = comments ? Ref::steal(PyObject_GetIter(comments.get())) : Ref{};
  if (!iter) return false;
  while (Ref comment = Ref::steal(PyIter_Next(iter.get()))) {
    Ref held = zuv::getattr(target_ref.get(), keys().comments);
    if (!held) return false;
    int present = contains(held.get(), comment.get());
    if (present < 0) return false;
    if (!present && !zuv::call_method(target_ref.get(), keys().add_comment, comment.get()))
      return false;
  }
  return !PyErr_Occurred();
}

// A copy of the incoming cell with fresh canvas and cell ids, placed right
// after the current cell.
bool Merge::place_beside(PyObject* cell_id, bool mark_both) {
  Ref new_cell = incoming_copy(cell_id, false);
  if (!new_cell) return false;
  Ref weft_id = fresh_id();
  if (!weft_id || PyObject_SetAttr(new_cell.get(), keys().weft_id, weft_id.get()) < 0) return false;
  Ref nb_id = fresh_id();
  if (!nb_id || PyObject_SetAttr(new_cell.get(), keys().cell_id, nb_id.get()) < 0) return false;
  if (mark_both) {
    PyObject* current = item(merged_cells_.get(), cell_id);
    if (!current) return false;
    if (!mark(current) || !mark(new_cell.get())) return false;
  }
  Ref key = zuv::getattr(new_cell.get(), keys().weft_id);
  Ref placed = Ref::steal(PyDict_New());
  if (!key || !placed) return false;
  PyObject *k, *v;
  Py_ssize_t pos = 0;
  while (PyDict_Next(merged_cells_.get(), &pos, &k, &v)) {
    if (PyDict_SetItem(placed.get(), k, v) < 0) return false;
    int here = PyObject_RichCompareBool(k, cell_id, Py_EQ);
    if (here < 0) return false;
    if (here && PyDict_SetItem(placed.get(), key.get(), new_cell.get()) < 0) return false;
  }
  merged_cells_ = placed;
  return true;
}

// A cell held by base and current that the current version changed.
bool Merge::changed_in_current(PyObject* cell_id) {
  PyObject* merged = item(merged_cells_.get(), cell_id);
  if (!merged) return false;
  Ref merged_ref = Ref::borrow(merged);
  PyObject* incoming = PyDict_GetItemWithError(incoming_cells_.get(), cell_id);
  if (!incoming) {
    if (PyErr_Occurred()) return false;
    // Deleted by incoming: the changed current cell stays, marked if named.
    Ref name = name_of(merged_ref.get());
    int named = name ? PyObject_IsTrue(name.get()) : -1;
    if (named < 0) return false;
    return !named || mark(merged_ref.get());
  }
  Ref incoming_ref = Ref::borrow(incoming);
  PyObject* base = item(base_cells_.get(), cell_id);
  if (!base) return false;
  Ref incoming_diff = changed(base, incoming_ref.get(), true);
  if (!incoming_diff) return false;
  int differs = PyObject_IsTrue(incoming_diff.get());
  if (differs <= 0) return differs == 0;  // unchanged by incoming: current stands

  // The same change on both sides is no conflict.
  PyObject* current = item(current_cells_.get(), cell_id);
  if (!current) return false;
  Ref sides_diff = changed(current, incoming_ref.get(), true);
  if (!sides_diff) return false;
  differs = PyObject_IsTrue(sides_diff.get());
  if (differs <= 0) return differs == 0;

  Ref current_name = name_of(current);
  Ref incoming_name = current_name ? name_of(incoming_ref.get()) : Ref{};
  if (!incoming_name) return false;
  int current_named = PyObject_IsTrue(current_name.get());
  int incoming_named = current_named < 0 ? -1 : PyObject_IsTrue(incoming_name.get());
  if (incoming_named < 0) return false;

  int has_source = contains(incoming_diff.get(), keys().source);
  if (has_source < 0) return false;
  Ref canvas_diff;
  int touches_metadata = contains(incoming_diff.get(), keys().metadata);
  if (touches_metadata < 0) return false;
  if (touches_metadata) {
    Ref metadata_diff = zuv::getitem(incoming_diff.get(), keys().metadata);
    if (!metadata_diff) return false;
    int has_canvas = contains(metadata_diff.get(), keys().canvas);
    if (has_canvas < 0) return false;
    if (has_canvas && !(canvas_diff = zuv::getitem(metadata_diff.get(), keys().canvas)))
      return false;
  }
  if (canvas_diff) {
    Ref changed_keys = Ref::steal(PySet_New(canvas_diff.get()));
    if (!changed_keys) return false;
    Py_ssize_t count = PySet_GET_SIZE(changed_keys.get());
    int colour = PySet_Contains(changed_keys.get(), keys().header_color);
    int comments = colour < 0 ? -1 : PySet_Contains(changed_keys.get(), keys().comments);
    if (comments < 0) return false;
    if (count == 1 && colour) return !has_source || merge_sources(cell_id);  // header colour only
    if (count == colour + comments) {  // comments and header colour only
      if (!add_incoming_comments(cell_id)) return false;
      return !has_source || merge_sources(cell_id);
    }
    if (!current_named && !incoming_named) return merge_sources(cell_id);
    return place_beside(cell_id, current_named && incoming_named);
  }
  if (current_named != incoming_named) return place_beside(cell_id, false);
  return merge_sources(cell_id);
}

// A cell held by base and current that the current version left unchanged:
// the incoming version's deletion or change is taken.
bool Merge::unchanged_in_current(PyObject* cell_id) {
  PyObject* incoming = PyDict_GetItemWithError(incoming_cells_.get(), cell_id);
  if (!incoming) {
    if (PyErr_Occurred()) return false;
    PyObject* merged = item(merged_cells_.get(), cell_id);
    if (!merged) return false;
    Ref popped_name = name_of(merged);
    if (!popped_name) return false;
    // A cell elsewhere that carries this name with the incoming mark gets
    // the plain name back.  Only a real name can have been marked.
    if (PyUnicode_Check(popped_name.get()) && PyUnicode_GET_LENGTH(popped_name.get()) > 0) {
      Ref marked = Ref::steal(PyNumber_Add(names().incoming_mark, popped_name.get()));
      Ref index = marked ? comp_names() : Ref{};
      if (!index) return false;
      PyObject* holder_key = PyDict_GetItemWithError(index.get(), marked.get());
      if (holder_key) {
        PyObject* holder = item(merged_cells_.get(), holder_key);
        if (!holder || PyObject_SetAttr(holder, keys().name, popped_name.get()) < 0) return false;
      } else if (PyErr_Occurred()) {
        return false;
      }
    }
    return PyDict_DelItem(merged_cells_.get(), cell_id) == 0;
  }
  Ref incoming_ref = Ref::borrow(incoming);
  PyObject* base = item(base_cells_.get(), cell_id);
  if (!base) return false;
  Ref incoming_diff = changed(base, incoming_ref.get(), true);
  if (!incoming_diff) return false;
  int differs = PyObject_IsTrue(incoming_diff.get());
  if (differs <= 0) return differs == 0;

  Ref index = comp_names();
  Ref name = index ? name_of(incoming_ref.get()) : Ref{};
  if (!name) return false;
  PyObject* holder_key = nullptr;
  int taken = contains(index.get(), name.get());
  if (taken < 0) return false;
  if (taken) {
    holder_key = item(index.get(), name.get());
    if (!holder_key) return false;
    int other = PyObject_RichCompareBool(holder_key, cell_id, Py_NE);
    if (other < 0) return false;
    if (!other) holder_key = nullptr;
  }
  Ref holder_key_ref = Ref::borrow(holder_key);
  Ref copy = incoming_copy(cell_id);
  if (!copy || PyDict_SetItem(merged_cells_.get(), cell_id, copy.get()) < 0) return false;
  if (holder_key_ref) {
    PyObject* holder = item(merged_cells_.get(), holder_key_ref.get());
    if (!holder) return false;
    if (!mark(holder) || !mark(copy.get())) return false;
  }
  return true;
}

// Every named cell keeps only its references to named cells still present,
// each reduced to its "id".
bool Merge::cut_parents() {
  Ref comp_ids = Ref::steal(PyList_New(0));
  if (!comp_ids) return false;
  PyObject *key, *rec;
  Py_ssize_t pos = 0;
  while (PyDict_Next(merged_cells_.get(), &pos, &key, &rec)) {
    Ref k = Ref::borrow(key), r = Ref::borrow(rec);
    Ref name = name_of(r.get());
    int named = name ? PyObject_IsTrue(name.get()) : -1;
    if (named < 0) return false;
    if (named && PyList_Append(comp_ids.get(), k.get()) < 0) return false;
  }
  // A set answers membership quickly; an unhashable id falls back to the list.
  Ref id_set = Ref::steal(PySet_New(comp_ids.get()));
  if (!id_set) PyErr_Clear();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(comp_ids.get()); ++i) {
    PyObject* rec_ = item(merged_cells_.get(), PyList_GET_ITEM(comp_ids.get(), i));
    if (!rec_) return false;
    Ref r = Ref::borrow(rec_);
    Ref parents = zuv::getattr(r.get(), names().parents);
    Ref iter = parents ? Ref::steal(PyObject_GetIter(parents.get())) : Ref{};
    Ref new_parents = Ref::steal(PyList_New(0));
    if (!iter || !new_parents) return false;
    while (Ref parent = Ref::steal(PyIter_Next(iter.get()))) {
      Ref id = zuv::getitem(parent.get(), keys().id);
      if (!id) return false;
      int kept = id_set ? PySet_Contains(id_set.get(), id.get()) : -1;
      if (kept < 0) {
        if (id_set && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        kept = PySequence_Contains(comp_ids.get(), id.get());
        if (kept < 0) return false;
      }
      if (!kept) continue;
      Ref reference = Ref::steal(PyDict_New());
      if (!reference || PyDict_SetItem(reference.get(), keys().id, id.get()) < 0 ||
          PyList_Append(new_parents.get(), reference.get()) < 0)
        return false;
    }
    if (PyErr_Occurred() || PyObject_SetAttr(r.get(), names().parents, new_parents.get()) < 0)
      return false;
  }
  return true;
}

// {name: parameter} over document["metadata"]["canvas"]["parameters"].
Ref parameter_table(PyObject* document) {
  Ref metadata = zuv::getitem(document, keys().metadata);
  Ref canvas = metadata ? zuv::getitem(metadata.get(), keys().canvas) : Ref{};
  Ref parameters = canvas ? zuv::getitem(canvas.get(), keys().parameters) : Ref{};
  Ref iter = parameters ? Ref::steal(PyObject_GetIter(parameters.get())) : Ref{};
  Ref table = Ref::steal(PyDict_New());
  if (!iter || !table) return {};
  while (Ref parameter = Ref::steal(PyIter_Next(iter.get()))) {
    Ref name = zuv::getitem(parameter.get(), keys().name);
    if (!name || PyDict_SetItem(table.get(), name.get(), parameter.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return table;
}

// The merged parameter table, conflicting parameters kept twice under
// marked names.
class ParameterMerge {
 public:
  ParameterMerge(PyObject* current, PyObject* base, PyObject* incoming)
      : current_(current), base_(base), incoming_(incoming) {}

  Ref run() {
    merged_ = Ref::steal(PyDict_Copy(current_));
    if (!merged_) return {};
    if (!held_by_base_and_current() || !deleted_in_current() || !added_in_incoming()) return {};
    return merged_;
  }

 private:
  // Stores `parameter` under mark + name and renames it accordingly.
  bool keep_marked(PyObject* mark, PyObject* name, PyObject* parameter) {
    Ref marked = Ref::steal(PyNumber_Add(mark, name));
    if (!marked || PyDict_SetItem(merged_.get(), marked.get(), parameter) < 0) return false;
    return PyObject_SetItem(parameter, keys().name, marked.get()) == 0;
  }
  bool keep_current_marked(PyObject* name) {
    PyObject* held = item(merged_.get(), name);
    if (!held) return false;
    return keep_marked(names().current_mark, name, Ref::borrow(held).get());
  }
  bool keep_incoming_marked(PyObject* name) {
    PyObject* held = item(incoming_, name);
    return held && keep_marked(names().incoming_mark, name, Ref::borrow(held).get());
  }
  bool conflict(PyObject* name) {
    return keep_current_marked(name) && keep_incoming_marked(name) &&
           PyDict_DelItem(merged_.get(), name) == 0;
  }

  bool held_by_base_and_current() {
    Ref names_ = Ref::steal(PyDict_Keys(current_));
    if (!names_) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names_.get()); ++i) {
      PyObject* name = PyList_GET_ITEM(names_.get(), i);
      PyObject* base = PyDict_GetItemWithError(base_, name);
      if (!base) {
        if (PyErr_Occurred()) return false;
        continue;
      }
      PyObject* current = PyDict_GetItemWithError(current_, name);
      PyObject* incoming = current ? PyDict_GetItemWithError(incoming_, name) : nullptr;
      if (!current || (!incoming && PyErr_Occurred())) return false;
      int current_changed = PyObject_RichCompareBool(base, current, Py_NE);
      if (current_changed < 0) return false;
      int incoming_kept = incoming ? PyObject_RichCompareBool(base, incoming, Py_EQ) : 0;
      if (incoming_kept < 0) return false;
      if (current_changed) {
        if (!incoming) {
          if (!keep_current_marked(name) || PyDict_DelItem(merged_.get(), name) < 0) return false;
          continue;
        }
        if (incoming_kept) continue;
        int same_change = PyObject_RichCompareBool(current, incoming, Py_EQ);
        if (same_change < 0) return false;
        if (!same_change && !conflict(name)) return false;
      } else if (!incoming) {
        if (PyDict_DelItem(merged_.get(), name) < 0) return false;
      } else if (!incoming_kept) {
        if (PyDict_SetItem(merged_.get(), name, incoming) < 0) return false;
      }
    }
    return true;
  }

  bool deleted_in_current() {
    PyObject *name, *base;
    Py_ssize_t pos = 0;
    while (PyDict_Next(base_, &pos, &name, &base)) {
      int in_current = PyDict_Contains(current_, name);
      if (in_current) {
        if (in_current < 0) return false;
        continue;
      }
      PyObject* incoming = PyDict_GetItemWithError(incoming_, name);
      if (!incoming) {
        if (PyErr_Occurred()) return false;
        continue;
      }
      int incoming_changed = PyObject_RichCompareBool(incoming, base, Py_NE);
      if (incoming_changed < 0) return false;
      if (incoming_changed && !keep_incoming_marked(name)) return false;
    }
    return true;
  }

  bool added_in_incoming() {
    PyObject *name, *incoming;
    Py_ssize_t pos = 0;
    while (PyDict_Next(incoming_, &pos, &name, &incoming)) {
      int in_base = PyDict_Contains(base_, name);
      if (in_base) {
        if (in_base < 0) return false;
        continue;
      }
      PyObject* current = PyDict_GetItemWithError(current_, name);
      if (current) {
        int same = PyObject_RichCompareBool(current, incoming, Py_EQ);
        if (same < 0) return false;
        if (!same && !conflict(name)) return false;
      } else if (PyErr_Occurred() || PyDict_SetItem(merged_.get(), name, incoming) < 0) {
        return false;
      }
    }
    return true;
  }

  PyObject* current_;
  PyObject* base_;
  PyObject* incoming_;
  Ref merged_;
};

Ref Merge::merge_parameters() {
  Ref current = parameter_table(current_.get());
  Ref base = current ? parameter_table(base_.get()) : Ref{};
  Ref incoming = base ? parameter_table(incoming_.get()) : Ref{};
  if (!incoming) return {};
  return ParameterMerge(current.get(), base.get(), incoming.get()).run();
}

bool Merge::write(PyObject* current_path, PyObject* parameters) {
  Ref merged = zuv::call_method(current_.get(), keys().copy);
  Ref cells = Ref::steal(PyList_New(0));
  if (!merged || !cells) return false;
  PyObject *key, *rec;
  Py_ssize_t pos = 0;
  while (PyDict_Next(merged_cells_.get(), &pos, &key, &rec)) {
    Ref data = zuv::getattr(rec, names().data);
    if (!data || PyList_Append(cells.get(), data.get()) < 0) return false;
  }
  if (PyObject_SetItem(merged.get(), keys().cells, cells.get()) < 0) return false;
  Ref values = Ref::steal(PyDict_Values(parameters));
  Ref metadata = values ? zuv::getitem(merged.get(), keys().metadata) : Ref{};
  Ref canvas = metadata ? zuv::getitem(metadata.get(), keys().canvas) : Ref{};
  if (!canvas || PyObject_SetItem(canvas.get(), keys().parameters, values.get()) < 0) return false;

  // Serialise everything before the file is touched: json.dumps with the
  // defaults writes the same text as json.dump.
  Ref json = zuv::global(globals_, keys().json);
  Ref dumps = json ? zuv::getattr(json.get(), keys().dumps) : Ref{};
  Ref text = dumps ? zuv::call(dumps.get(), merged.get()) : Ref{};
  if (!text) return false;
  Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text.get()));
  Ref path = Ref::steal(PyUnicode_EncodeFSDefault(current_path));
  if (!encoded || !path) return false;
  return zuv::io::replace_file(PyBytes_AS_STRING(path.get()), PyBytes_AS_STRING(encoded.get()),
                               PyBytes_GET_SIZE(encoded.get()));
}

Ref Merge::run(PyObject* base_path, PyObject* current_path, PyObject* incoming_path) {
  if (!resolve_globals()) return {};
  if (!(current_ = load(current_path)) || !(base_ = load(base_path)) ||
      !(incoming_ = load(incoming_path)))
    return {};
  if (!(current_cells_ = index(current_.get(), "current", true)) ||
      !(merged_cells_ = index(current_.get(), "current", false)) ||
      !(base_cells_ = index(base_.get(), "base", true)) ||
      !(incoming_cells_ = index(incoming_.get(), "incoming", true)))
    return {};
  if (!deleted_in_current() || !added_in_incoming()) return {};
  Ref git = zuv::global(globals_, keys().git);
  Ref cmd = git ? zuv::getattr(git.get(), keys().cmd) : Ref{};
  Ref git_class = cmd ? zuv::getattr(cmd.get(), keys().Git) : Ref{};
  if (!git_class || !(git_ = zuv::call(git_class.get()))) return {};
  if (!held_by_base_and_current() || !cut_parents()) return {};
  Ref parameters = merge_parameters();
  if (!parameters || !write(current_path, parameters.get())) return {};
  return Ref::none();
}

Ref merge_files_impl(const CallArgs& a) { return Merge(a.globals, a[3]).run(a[0], a[1], a[2]); }

constexpr Param kParams[] = {
    {"base_file_path", "str", Exact::str},
    {"current_file_path", "str", Exact::str},
    {"incoming_file_path", "str", Exact::str},
    {"file_path", "str", Exact::str},
};
constexpr FunctionSpec kMergeFiles{"merge_files", "Ipython Notebook Merge Driver main", kParams,
                                   "None", merge_files_impl};

}  // namespace

bool add_merge_files(PyObject* module) { return zuv::add_function(module, kMergeFiles); }

}  // namespace merge
