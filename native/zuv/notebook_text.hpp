// Reading the parts of a notebook the text views show: cell sources as
// lines, canvas names and ids, parent references, outputs.  All borrowed
// lookups; nothing here raises.
#pragma once

#include <string>
#include <vector>

#include "py/names.hpp"
#include "py/ref.hpp"

namespace zuv::cli {

// mapping[key] when `mapping` is a dict holding it, else nullptr (borrowed).
inline PyObject* member(PyObject* mapping, PyObject* key) {
  if (!mapping || !PyDict_Check(mapping)) return nullptr;
  PyObject* value = PyDict_GetItemWithError(mapping, key);
  if (!value) PyErr_Clear();
  return value;
}

// The cell's (or notebook's) "metadata" -> "canvas" object, or nullptr.
inline PyObject* canvas_of(PyObject* cell) {
  return member(member(cell, names().metadata), names().canvas);
}

// A string member as UTF-8, "" when absent or not a string.
std::string text_member(PyObject* mapping, PyObject* key);

// A source (a list of strings, or one string) as lines without line ends.
std::vector<std::string> source_lines(PyObject* source);

// Text split into lines without line ends.
std::vector<std::string> split_lines(const std::string& text);

// How to call a cell in one line: its canvas name, else its canvas id, else
// "cell N" (N from 1).  Control characters escaped.
std::string cell_label(PyObject* cell, Py_ssize_t position);

// The names of parent references (their id when unnamed), comma separated.
std::string parent_names(PyObject* parents);

// One line per output: "output: stream stdout, 3 lines", "output:
// execute_result text/plain, image/png", "output: error ValueError: bad".
std::vector<std::string> output_summaries(PyObject* outputs);

// A JSON value as compact JSON text (non-ASCII kept), or "?" if it cannot be.
std::string json_text(PyObject* value);

}  // namespace zuv::cli
