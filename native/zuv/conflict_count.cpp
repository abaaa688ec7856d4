#include "zuv/conflict_count.hpp"

#include "py/imports.hpp"
#include "py/names.hpp"

namespace zuv::cli {

namespace {

PyObject* member(PyObject* mapping, PyObject* key) {
  return mapping && PyDict_Check(mapping) ? PyDict_GetItemWithError(mapping, key) : nullptr;
}

int starts_with(PyObject* text, PyObject* prefix) {
  if (!text || !PyUnicode_Check(text)) return 0;
  return static_cast<int>(PyUnicode_Tailmatch(text, prefix, 0, PY_SSIZE_T_MAX, -1));
}

int is_marked(PyObject* name) {
  int current = starts_with(name, names().current_mark);
  return current != 0 ? current : starts_with(name, names().incoming_mark);
}

// Lines that open a conflict block; a source is a list of lines or one string.
Py_ssize_t conflict_blocks(PyObject* source) {
  if (source && PyUnicode_Check(source)) {
    Ref lines = Ref::steal(PyUnicode_Split(source, names().newline, -1));
    return lines ? conflict_blocks(lines.get()) : -1;
  }
  Py_ssize_t count = 0;
  if (source && PyList_Check(source)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
      int opens = starts_with(PyList_GET_ITEM(source, i), names().block_opening);
      if (opens < 0) return -1;
      count += opens;
    }
  }
  return count;
}

}  // namespace

bool count_conflicts(PyObject* notebook, ConflictCount& count) {
  PyObject* cells = member(notebook, names().cells);
  if (cells && PyList_Check(cells)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
      PyObject* cell = PyList_GET_ITEM(cells, i);
      int marked =
          is_marked(member(member(member(cell, names().metadata), names().canvas), names().name));
      Py_ssize_t blocks = marked < 0 ? -1 : conflict_blocks(member(cell, names().source));
      if (blocks < 0 || PyErr_Occurred()) return false;
      count.cells += marked;
      count.source_blocks += blocks;
    }
  }
  PyObject* parameters =
      member(member(member(notebook, names().metadata), names().canvas), names().parameters);
  if (parameters && PyList_Check(parameters)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters); ++i) {
      int marked = is_marked(member(PyList_GET_ITEM(parameters, i), names().name));
      if (marked < 0) return false;
      count.parameters += marked;
    }
  }
  return !PyErr_Occurred();
}

}  // namespace zuv::cli
