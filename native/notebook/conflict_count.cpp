#include "notebook/conflict_count.hpp"

#include "notebook/lookup.hpp"
#include "notebook/marks.hpp"
#include "py/imports.hpp"
#include "py/names.hpp"

namespace zuv::cli {

namespace {

// Tail matching of two strings cannot fail.
bool starts_with(PyObject* text, PyObject* prefix) {
  return text && PyUnicode_Check(text) &&
         PyUnicode_Tailmatch(text, prefix, 0, PY_SSIZE_T_MAX, -1) == 1;
}

// Lines that open a conflict block; a source is a list of lines or one string.
bool conflict_blocks(PyObject* source, Py_ssize_t& count) {
  if (source && PyUnicode_Check(source)) {
    Ref lines = Ref::steal(PyUnicode_Split(source, names().newline, -1));
    return lines && conflict_blocks(lines.get(), count);
  }
  count = 0;
  if (source && PyList_Check(source))
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i)
      count += starts_with(PyList_GET_ITEM(source, i), names().block_opening);
  return true;
}

}  // namespace

bool count_conflicts(PyObject* notebook, ConflictCount& count) {
  PyObject* cells = member(notebook, names().cells);
  if (cells && PyList_Check(cells)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
      PyObject* cell = PyList_GET_ITEM(cells, i);
      bool marked = is_marked(member(canvas_of(cell), names().name));
      Py_ssize_t blocks = 0;
      if (!conflict_blocks(member(cell, names().source), blocks)) return false;
      count.cells += marked;
      count.source_blocks += blocks;
    }
  }
  PyObject* parameters = member(canvas_of(notebook), names().parameters);
  if (parameters && PyList_Check(parameters)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters); ++i)
      count.parameters += is_marked(member(PyList_GET_ITEM(parameters, i), names().name));
  }
  return true;
}

}  // namespace zuv::cli
