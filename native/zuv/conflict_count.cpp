#include "zuv/conflict_count.hpp"

#include "py/imports.hpp"

namespace zuv::cli {

namespace {

PyObject* member(PyObject* mapping, const char* key) {
  return mapping && PyDict_Check(mapping) ? PyDict_GetItemWithError(mapping, interned(key))
                                          : nullptr;
}

int starts_with(PyObject* text, const char* prefix) {
  if (!text || !PyUnicode_Check(text)) return 0;
  return static_cast<int>(PyUnicode_Tailmatch(text, interned(prefix), 0, PY_SSIZE_T_MAX, -1));
}

int is_marked(PyObject* name) {
  int current = starts_with(name, "<<< ");
  return current != 0 ? current : starts_with(name, ">>> ");
}

// Lines that open a conflict block; a source is a list of lines or one string.
Py_ssize_t conflict_blocks(PyObject* source) {
  if (source && PyUnicode_Check(source)) {
    Ref lines = Ref::steal(PyUnicode_Split(source, interned("\n"), -1));
    return lines ? conflict_blocks(lines.get()) : -1;
  }
  Py_ssize_t count = 0;
  if (source && PyList_Check(source)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
      int opens = starts_with(PyList_GET_ITEM(source, i), "<<<<<<< ");
      if (opens < 0) return -1;
      count += opens;
    }
  }
  return count;
}

}  // namespace

bool count_conflicts(PyObject* notebook, ConflictCount& count) {
  PyObject* cells = member(notebook, "cells");
  if (cells && PyList_Check(cells)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
      PyObject* cell = PyList_GET_ITEM(cells, i);
      int marked = is_marked(member(member(member(cell, "metadata"), "canvas"), "name"));
      Py_ssize_t blocks = marked < 0 ? -1 : conflict_blocks(member(cell, "source"));
      if (blocks < 0 || PyErr_Occurred()) return false;
      count.cells += marked;
      count.source_blocks += blocks;
    }
  }
  PyObject* parameters = member(member(member(notebook, "metadata"), "canvas"), "parameters");
  if (parameters && PyList_Check(parameters)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters); ++i) {
      int marked = is_marked(member(PyList_GET_ITEM(parameters, i), "name"));
      if (marked < 0) return false;
      count.parameters += marked;
    }
  }
  return !PyErr_Occurred();
}

}  // namespace zuv::cli
