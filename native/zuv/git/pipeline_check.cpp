#include "zuv/git/pipeline_check.hpp"

#include "py/imports.hpp"
#include "zuv/notebook/notebook_text.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

std::string quoted(PyObject* text) {
  std::string out(1, '\'');
  out += escape_line(utf8(text));
  out += '\'';
  return out;
}

// Adds `key` to `seen`; false when it was there already (or on an error).
bool first_time(PyObject* seen, PyObject* key) {
  int present = PySet_Contains(seen, key);
  if (present != 0 || PySet_Add(seen, key) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

}  // namespace

std::string pipeline_problem(PyObject* document) {
  if (!PyDict_Check(document)) return "is not a JSON object";
  PyObject* canvas = member(member(document, names().metadata), names().canvas);
  if (!canvas || !PyDict_Check(canvas)) return "has no canvas metadata";
  PyObject* parameters = member(canvas, names().parameters);
  if (!parameters || !PyList_Check(parameters)) return "has no canvas parameter list";
  PyObject* cells = member(document, names().cells);
  if (!cells || !PyList_Check(cells)) return "has no list of cells";

  Ref seen = Ref::steal(PySet_New(nullptr));
  if (!seen) {
    PyErr_Clear();
    return "could not be checked (out of memory)";
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters); ++i) {
    PyObject* name = member(PyList_GET_ITEM(parameters, i), names().name);
    if (!name || !PyUnicode_Check(name)) return "has a canvas parameter without a name";
    if (!first_time(seen.get(), name)) return "has two canvas parameters named " + quoted(name);
  }
  if (PySet_Clear(seen.get()) < 0) PyErr_Clear();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
    PyObject* cell = PyList_GET_ITEM(cells, i);
    PyObject* id = member(member(member(cell, names().metadata), names().canvas), names().id);
    if (!id || !PyUnicode_Check(id))
      return "has a cell without a canvas id (cell " + std::to_string(i + 1) + ")";
    if (!first_time(seen.get(), id)) return "has two cells with canvas id " + quoted(id);
  }
  return "";
}

Ref empty_pipeline_notebook() {
  return Ref::steal(Py_BuildValue("{s[]s{s{s[]}}}", "cells", "metadata", "canvas", "parameters"));
}

}  // namespace zuv::cli
