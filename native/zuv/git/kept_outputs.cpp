#include "zuv/git/kept_outputs.hpp"

#include <cstdio>

#include "notebook/lookup.hpp"
#include "py/error.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

// The cells of a notebook as a list, or nullptr (borrowed).
PyObject* cells_of(PyObject* document) {
  PyObject* cells = member(document, names().cells);
  return cells && PyList_Check(cells) ? cells : nullptr;
}

// The cell's canvas id when it is a str, else an empty Ref.
Ref canvas_id(PyObject* cell) {
  PyObject* id = member(canvas_of(cell), names().id);
  return id && PyUnicode_Check(id) ? Ref::borrow(id) : Ref();
}

// canvas id -> cell of a notebook, the first cell of each id (none when
// the notebook has no cell list).
Ref cells_by_id(PyObject* document) {
  Ref index = Ref::steal(PyDict_New());
  if (!index) return {};
  PyObject* cells = cells_of(document);
  if (!cells) return index;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells, i));
    Ref id = canvas_id(cell.get());
    if (id && PyDict_SetDefault(index.get(), id.get(), cell.get()) == nullptr) return {};
  }
  return index;
}

// The cell's outputs (an empty list where it has none).
Ref outputs_of(PyObject* cell) {
  PyObject* outputs = member(cell, names().outputs);
  return outputs ? Ref::borrow(outputs) : Ref::steal(PyList_New(0));
}

// Whether two outputs values are equal, in `equal`; values nested too deep
// to compare count as different.  False only on another failure.
bool same(PyObject* a, PyObject* b, bool& equal) {
  int answer = PyObject_RichCompareBool(a, b, Py_EQ);
  equal = answer == 1;
  return answer >= 0 || clear_expected({PyExc_RecursionError});
}

}  // namespace

bool KeptOutputs::read(PyObject* base, PyObject* current, PyObject* incoming) {
  cells_.clear();
  Ref base_cells = cells_by_id(base);
  Ref current_cells = base_cells ? cells_by_id(current) : Ref{};
  if (!current_cells) return false;
  PyObject* incoming_cells = cells_of(incoming);
  if (!incoming_cells) return true;
  Ref list = Ref::borrow(incoming_cells);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(list.get(), i));
    Ref id = canvas_id(cell.get());
    if (!id) continue;
    Ref in_base = Ref::borrow(PyDict_GetItemWithError(base_cells.get(), id.get()));
    Ref in_current = Ref::borrow(PyDict_GetItemWithError(current_cells.get(), id.get()));
    if (PyErr_Occurred()) return false;
    if (!in_base || !in_current) continue;
    Ref base_outputs = outputs_of(in_base.get()), current_outputs = outputs_of(in_current.get());
    Ref incoming_outputs = outputs_of(cell.get());
    if (!base_outputs || !current_outputs || !incoming_outputs) return false;
    bool as_base = false, as_current = false;
    if (!same(incoming_outputs.get(), base_outputs.get(), as_base) ||
        !same(incoming_outputs.get(), current_outputs.get(), as_current))
      return false;
    if (as_base || as_current) continue;
    PyObject* name = member(canvas_of(in_current.get()), names().name);
    cells_.push_back({id, name && PyUnicode_Check(name) ? Ref::borrow(name) : id, current_outputs,
                      incoming_outputs});
  }
  return true;
}

bool KeptOutputs::report(PyObject* merged, const std::string& label) const {
  if (cells_.empty()) return true;
  PyObject* found = cells_of(merged);
  if (!found) return true;
  Ref wanted = Ref::steal(PyDict_New());  // canvas id -> index in cells_
  if (!wanted) return false;
  for (size_t i = 0; i < cells_.size(); ++i) {
    Ref index = Ref::steal(PyLong_FromSize_t(i));
    if (!index || PyDict_SetItem(wanted.get(), cells_[i].id.get(), index.get()) < 0) return false;
  }
  std::vector<char> current_seen(cells_.size(), 0), incoming_seen(cells_.size(), 0);
  Ref cells = Ref::borrow(found);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells.get()); ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells.get(), i));
    Ref id = canvas_id(cell.get());
    PyObject* index = id ? PyDict_GetItemWithError(wanted.get(), id.get()) : nullptr;
    if (!index) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    const size_t at = PyLong_AsSize_t(index);
    Ref outputs = outputs_of(cell.get());
    bool as_current = false, as_incoming = false;
    if (!outputs || !same(outputs.get(), cells_[at].current_outputs.get(), as_current) ||
        !same(outputs.get(), cells_[at].incoming_outputs.get(), as_incoming))
      return false;
    if (as_current) current_seen[at] = 1;
    if (as_incoming) incoming_seen[at] = 1;
  }
  for (size_t i = 0; i < cells_.size(); ++i)
    if (current_seen[i] && !incoming_seen[i])
      std::fprintf(stderr,
                   "zuv merge-driver: %s: cell %s keeps the current outputs; the incoming "
                   "side's changed outputs were not taken (outputs alone are no change)\n",
                   label.c_str(), escape_line(utf8(cells_[i].name.get())).c_str());
  return true;
}

}  // namespace zuv::cli
