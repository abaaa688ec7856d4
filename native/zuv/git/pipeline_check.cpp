#include "zuv/git/pipeline_check.hpp"

#include <utility>

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

// Adds the str `key` to `seen`; `fresh` false when it was there already.
bool first_time(PyObject* seen, PyObject* key, bool& fresh) {
  int present = PySet_Contains(seen, key);
  fresh = present == 0;
  return present >= 0 && (!fresh || PySet_Add(seen, key) == 0);
}

// Sets `problem` to what is wrong; the check has its answer.
bool found(std::string& problem, std::string text) {
  problem = std::move(text);
  return true;
}

// The phrase of pipeline_problem for a JSON object, in `problem`.
bool find_problem(PyObject* document, std::string& problem) {
  PyObject* canvas = canvas_of(document);
  if (!canvas || !PyDict_Check(canvas)) return found(problem, "has no canvas metadata");
  PyObject* parameters = member(canvas, names().parameters);
  if (!parameters || !PyList_Check(parameters))
    return found(problem, "has no canvas parameter list");
  PyObject* cells = member(document, names().cells);
  if (!cells || !PyList_Check(cells)) return found(problem, "has no list of cells");

  Ref seen = Ref::steal(PySet_New(nullptr));
  if (!seen) return false;
  bool fresh = true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters); ++i) {
    PyObject* name = member(PyList_GET_ITEM(parameters, i), names().name);
    if (!name || !PyUnicode_Check(name))
      return found(problem, "has a canvas parameter without a name");
    if (!first_time(seen.get(), name, fresh)) return false;
    if (!fresh) return found(problem, "has two canvas parameters named " + quoted(name));
  }
  if (PySet_Clear(seen.get()) < 0) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
    PyObject* cell = PyList_GET_ITEM(cells, i);
    PyObject* id = member(canvas_of(cell), names().id);
    if (!id || !PyUnicode_Check(id))
      return found(problem, "has a cell without a canvas id (cell " + std::to_string(i + 1) + ")");
    if (!first_time(seen.get(), id, fresh)) return false;
    if (!fresh) return found(problem, "has two cells with canvas id " + quoted(id));
  }
  return true;
}

}  // namespace

bool pipeline_problem(PyObject* document, std::string& problem) {
  problem.clear();
  if (!PyDict_Check(document)) return found(problem, "is not a JSON object");
  return find_problem(document, problem);
}

Ref empty_pipeline_notebook() {
  return Ref::steal(Py_BuildValue("{s[]s{s{s[]}}}", "cells", "metadata", "canvas", "parameters"));
}

}  // namespace zuv::cli
