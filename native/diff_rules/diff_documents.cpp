// The diff rules: the diff document of two notebook documents.
//
// Cells are matched by canvas id and parameters by name.  Each group of the
// output follows a document's order: removed cells and parameters the
// previous document's, everything else the current document's; parent
// references follow the order of the cell they come from.
#include "diff_rules/diff_records.hpp"

#include "py/collector_pause.hpp"
#include "py/imports.hpp"

namespace diff {

using zuv::Names;
using zuv::names;

namespace {

Ref new_dict() { return Ref::steal(PyDict_New()); }
Ref new_list() { return Ref::steal(PyList_New(0)); }

bool set_item(PyObject* mapping, PyObject* key, PyObject* value) {
  return PyObject_SetItem(mapping, key, value) == 0;
}

// Runs `visit(item)` for each item of `iterable`, as a for loop would; a
// plain list is walked by index, the way its own iterator walks it.
template <typename Visit>
bool for_each(PyObject* iterable, Visit visit) {
  if (PyList_CheckExact(iterable)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
      if (!visit(item.get())) return false;
    }
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(iterable));
  if (!iter) return false;
  while (Ref item = Ref::steal(PyIter_Next(iter.get())))
    if (!visit(item.get())) return false;
  return !PyErr_Occurred();
}

// `key in table` for one of our own dicts, into `found`.
bool contains(PyObject* table, PyObject* key, bool& found) {
  int in = PyDict_Contains(table, key);
  found = in > 0;
  return in >= 0;
}

// mapping.copy(), with the dict's own copy for a plain dict.
Ref copy_of(PyObject* mapping) {
  if (PyDict_CheckExact(mapping)) return Ref::steal(PyDict_Copy(mapping));
  return zuv::call_method(mapping, names().copy);
}

// A copy of a cell object whose "metadata" and canvas objects are copies
// too: what a DiffCell writes stays out of the caller's document.
Ref detached_copy(PyObject* cell) {
  Ref copy = copy_of(cell);
  if (!copy) return {};
  Ref metadata = zuv::getitem(copy.get(), names().metadata);
  if (!metadata || !(metadata = copy_of(metadata.get()))) return {};
  Ref canvas = zuv::getitem(metadata.get(), names().canvas);
  if (!canvas || !(canvas = copy_of(canvas.get()))) return {};
  if (!set_item(metadata.get(), names().canvas, canvas.get()) ||
      !set_item(copy.get(), names().metadata, metadata.get()))
    return {};
  return copy;
}

// A DiffCell over a detached copy of what `cell` (a Cell) wraps.
Ref diff_cell_of(DiffRecords& records, PyObject* cell) {
  Ref data = records.read(cell, names().data);
  if (!data) return {};
  Ref copy = detached_copy(data.get());
  return copy ? records.construct(names().DiffCell, copy.get()) : Ref{};
}

// {canvas id: Cell} over the code cells of a document, in document order;
// a later cell with an id already seen replaces the earlier one.
Ref index_code_cells(DiffRecords& records, PyObject* document) {
  Ref cells = Ref::borrow(PyDict_GetItemWithError(document, names().cells));
  if (!cells && (PyErr_Occurred() || !(cells = new_list()))) return {};
  Ref table = new_dict();
  if (!table) return {};
  bool done = for_each(cells.get(), [&](PyObject* cell) {
    Ref cell_type = zuv::getitem(cell, names().cell_type);
    if (!cell_type) return false;
    int other = PyObject_RichCompareBool(cell_type.get(), names().code, Py_NE);
    if (other) return other > 0;
    Ref metadata = zuv::getitem(cell, names().metadata);
    Ref canvas = metadata ? zuv::getitem(metadata.get(), names().canvas) : Ref{};
    Ref id = canvas ? zuv::getitem(canvas.get(), names().id) : Ref{};
    if (!id) return false;
    Ref record = records.cell(cell);
    return record && set_item(table.get(), id.get(), record.get());
  });
  return done ? table : Ref{};
}

// --- cells ---------------------------------------------------------------------

Ref removed_cell(DiffRecords& records, PyObject* prev_cell) {
  const Names& n = names();
  Ref cell = diff_cell_of(records, prev_cell);
  if (!cell || !records.write_status(cell.get(), n.DiffCell, n.REMOVED)) return {};
  Ref source = records.read(cell.get(), n.source);
  if (!source || !records.write(cell.get(), n.prev_source, source.get())) return {};
  Ref empty = new_list();
  if (!empty || !records.write(cell.get(), n.source, empty.get())) return {};
  Ref parents = records.read(cell.get(), n.parents);
  if (!parents || !records.write(cell.get(), n.removed_parents, parents.get())) return {};
  empty = new_list();
  if (!empty || !records.write(cell.get(), n.parents, empty.get())) return {};
  return cell;
}

Ref added_cell(DiffRecords& records, PyObject* current_cell) {
  const Names& n = names();
  Ref cell = diff_cell_of(records, current_cell);
  if (!cell || !records.write_status(cell.get(), n.DiffCell, n.ADDED)) return {};
  Ref empty = new_list();
  if (!empty || !records.write(cell.get(), n.prev_source, empty.get())) return {};
  Ref parents = records.read(cell.get(), n.parents);
  if (!parents || !records.write(cell.get(), n.added_parents, parents.get())) return {};
  empty = new_list();
  if (!empty || !records.write(cell.get(), n.parents, empty.get())) return {};
  return cell;
}

// {parent id: parent name} over a cell's parent references, in their order;
// a reference without "name" has the name None.
Ref parent_names(DiffRecords& records, PyObject* cell) {
  Ref parents = records.read(cell, names().parents);
  Ref table = parents ? new_dict() : Ref{};
  if (!table) return {};
  bool done = for_each(parents.get(), [&](PyObject* reference) {
    Ref id = zuv::getitem(reference, names().id);
    if (!id) return false;
    Ref name = zuv::getitem(reference, names().name);
    if (!name) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
      PyErr_Clear();
      name = Ref::none();
    }
    return set_item(table.get(), id.get(), name.get());
  });
  return done ? table : Ref{};
}

// [{"id": id, "name": names[id]} for id in names if (id in other) == shared]
Ref references(PyObject* names_by_id, PyObject* other, bool shared) {
  Ref list = new_list();
  if (!list) return {};
  Py_ssize_t pos = 0;
  PyObject* id;
  PyObject* name;
  while (PyDict_Next(names_by_id, &pos, &id, &name)) {
    bool found = false;
    if (!contains(other, id, found)) return {};
    if (found != shared) continue;
    Ref reference = new_dict();
    if (!reference || PyDict_SetItem(reference.get(), names().id, id) < 0 ||
        PyDict_SetItem(reference.get(), names().name, name) < 0 ||
        PyList_Append(list.get(), reference.get()) < 0)
      return {};
  }
  return list;
}

Ref kept_cell(DiffRecords& records, PyObject* prev_cell, PyObject* current_cell) {
  const Names& n = names();
  Ref cell = diff_cell_of(records, current_cell);
  if (!cell) return {};
  Ref prev_source = records.read(prev_cell, n.source);
  if (!prev_source || !records.write(cell.get(), n.prev_source, prev_source.get())) return {};
  bool is_modified = false;
  if (!records.modified(cell.get(), is_modified)) return {};
  if (is_modified && !records.write_status(cell.get(), n.DiffCell, n.MODIFIED)) return {};

  Ref current_parents = parent_names(records, current_cell);
  if (!current_parents) return {};
  Ref prev_parents = parent_names(records, prev_cell);
  if (!prev_parents) return {};
  Ref added = references(current_parents.get(), prev_parents.get(), false);
  if (!added || !records.write(cell.get(), n.added_parents, added.get())) return {};
  Ref removed = references(prev_parents.get(), current_parents.get(), false);
  if (!removed || !records.write(cell.get(), n.removed_parents, removed.get())) return {};
  Ref kept = references(current_parents.get(), prev_parents.get(), true);
  if (!kept || !records.write(cell.get(), n.parents, kept.get())) return {};
  return cell;
}

// Removed cells, then added cells, then cells in both documents.
Ref diff_cells(DiffRecords& records, PyObject* prev_cells, PyObject* current_cells) {
  Ref cells = new_dict();
  if (!cells) return {};
  Py_ssize_t pos = 0;
  PyObject* id;
  PyObject* prev_cell;
  while (PyDict_Next(prev_cells, &pos, &id, &prev_cell)) {
    bool kept = false;
    if (!contains(current_cells, id, kept)) return {};
    if (kept) continue;
    Ref cell = removed_cell(records, prev_cell);
    if (!cell || PyDict_SetItem(cells.get(), id, cell.get()) < 0) return {};
  }
  PyObject* current_cell;
  pos = 0;
  while (PyDict_Next(current_cells, &pos, &id, &current_cell)) {
    bool kept = false;
    if (!contains(prev_cells, id, kept)) return {};
    if (kept) continue;
    Ref cell = added_cell(records, current_cell);
    if (!cell || PyDict_SetItem(cells.get(), id, cell.get()) < 0) return {};
  }
  pos = 0;
  while (PyDict_Next(current_cells, &pos, &id, &current_cell)) {
    PyObject* prev = PyDict_GetItemWithError(prev_cells, id);
    if (!prev) {
      if (PyErr_Occurred()) return {};
      continue;
    }
    Ref cell = kept_cell(records, prev, current_cell);
    if (!cell || PyDict_SetItem(cells.get(), id, cell.get()) < 0) return {};
  }
  return cells;
}

// --- parameters ------------------------------------------------------------------

// {name: DiffParameter} over a document's canvas parameters; a document
// without them, or with a parameter without "name", has none.
Ref index_parameters(DiffRecords& records, PyObject* document) {
  const Names& n = names();
  Ref table = new_dict();
  if (!table) return {};
  Ref metadata = zuv::getitem(document, n.metadata);
  Ref canvas = metadata ? zuv::getitem(metadata.get(), n.canvas) : Ref{};
  Ref parameters = canvas ? zuv::getitem(canvas.get(), n.parameters) : Ref{};
  if (parameters) {
    for_each(parameters.get(), [&](PyObject* parameter) {
      Ref name = zuv::getitem(parameter, n.name);
      Ref record = name ? records.construct(n.DiffParameter, parameter) : Ref{};
      return record && set_item(table.get(), name.get(), record.get());
    });
  }
  if (!PyErr_Occurred()) return table;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
  PyErr_Clear();
  return new_dict();
}

// A parameter in both documents: modified when its value changed.
bool compare_parameter(DiffRecords& records, PyObject* prev, PyObject* current) {
  const Names& n = names();
  Ref current_value = records.read(current, n.value);
  if (!current_value) return false;
  Ref prev_value = records.read(prev, n.value);
  if (!prev_value) return false;
  Ref differs = Ref::steal(PyObject_RichCompare(current_value.get(), prev_value.get(), Py_NE));
  if (!differs) return false;
  int changed = PyObject_IsTrue(differs.get());
  if (changed <= 0) return changed == 0;
  if (!records.write_status(current, n.DiffParameter, n.MODIFIED)) return false;
  Ref prev_type = records.read(prev, n.type);
  if (!prev_type || !records.write(current, n.prev_type, prev_type.get())) return false;
  prev_value = records.read(prev, n.value);
  return prev_value && records.write(current, n.prev_value, prev_value.get());
}

// Removed parameters, then those in both documents, then added ones.
Ref diff_parameters(DiffRecords& records, PyObject* prev_parameters, PyObject* current_parameters) {
  const Names& n = names();
  Ref chosen = new_dict();
  if (!chosen) return {};
  Py_ssize_t pos = 0;
  PyObject* name;
  PyObject* parameter;
  while (PyDict_Next(prev_parameters, &pos, &name, &parameter)) {
    bool kept = false;
    if (!contains(current_parameters, name, kept)) return {};
    if (kept) continue;
    if (PyDict_SetItem(chosen.get(), name, parameter) < 0 ||
        !records.write_status(parameter, n.DiffParameter, n.REMOVED))
      return {};
  }
  pos = 0;
  while (PyDict_Next(current_parameters, &pos, &name, &parameter)) {
    PyObject* prev = PyDict_GetItemWithError(prev_parameters, name);
    if (!prev) {
      if (PyErr_Occurred()) return {};
      continue;
    }
    if (PyDict_SetItem(chosen.get(), name, parameter) < 0 ||
        !compare_parameter(records, prev, parameter))
      return {};
  }
  pos = 0;
  while (PyDict_Next(current_parameters, &pos, &name, &parameter)) {
    bool kept = false;
    if (!contains(prev_parameters, name, kept)) return {};
    if (kept) continue;
    if (PyDict_SetItem(chosen.get(), name, parameter) < 0 ||
        !records.write_status(parameter, n.DiffParameter, n.ADDED))
      return {};
  }
  return chosen;
}

// [record.data for record in table.values()]
Ref data_of_all(DiffRecords& records, PyObject* table) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return {};
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* record;
  while (PyDict_Next(table, &pos, &key, &record)) {
    Ref data = records.read(record, names().data);
    if (!data || PyList_Append(list.get(), data.get()) < 0) return {};
  }
  return list;
}

}  // namespace

Ref diff_documents(DiffRecords& records, PyObject* prev, PyObject* current) {
  const Names& n = names();
  zuv::CollectorPause pause;
  Ref current_cells = index_code_cells(records, current);
  if (!current_cells) return {};
  Ref prev_cells = index_code_cells(records, prev);
  if (!prev_cells) return {};
  Ref cells = diff_cells(records, prev_cells.get(), current_cells.get());
  if (!cells) return {};
  Ref diff_graph = new_dict();
  Ref cell_list = data_of_all(records, cells.get());
  if (!diff_graph || !cell_list || PyDict_SetItem(diff_graph.get(), n.cells, cell_list.get()) < 0)
    return {};

  Ref current_parameters = index_parameters(records, current);
  if (!current_parameters) return {};
  Ref prev_parameters = index_parameters(records, prev);
  if (!prev_parameters) return {};
  Ref chosen = diff_parameters(records, prev_parameters.get(), current_parameters.get());
  if (!chosen) return {};
  Ref parameter_list = data_of_all(records, chosen.get());
  Ref canvas = new_dict();
  Ref metadata = new_dict();
  if (!parameter_list || !canvas || !metadata ||
      PyDict_SetItem(canvas.get(), n.parameter, parameter_list.get()) < 0 ||
      PyDict_SetItem(metadata.get(), n.canvas, canvas.get()) < 0 ||
      PyDict_SetItem(diff_graph.get(), n.metadata, metadata.get()) < 0)
    return {};
  return diff_graph;
}

bool known_difference(PyObject* before, PyObject* after, bool& different) {
  if (!PyList_CheckExact(before) || !PyList_CheckExact(after)) return false;
  for (PyObject* lines : {before, after})
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i)
      if (!PyUnicode_CheckExact(PyList_GET_ITEM(lines, i))) return false;
  Py_ssize_t n = PyList_GET_SIZE(before);
  different = n != PyList_GET_SIZE(after);
  for (Py_ssize_t i = 0; i < n && !different; ++i) {
    PyObject* old_line = PyList_GET_ITEM(before, i);
    PyObject* new_line = PyList_GET_ITEM(after, i);
    different = old_line != new_line && PyUnicode_Compare(old_line, new_line) != 0;
  }
  return true;
}

}  // namespace diff
