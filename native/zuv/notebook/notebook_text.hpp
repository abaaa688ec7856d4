// Reading the parts of a notebook the text views show: cell sources as
// lines, canvas names and ids, parent references, outputs.  All borrowed
// lookups; nothing here raises.
#pragma once

#include <string>
#include <vector>

#include "notebook/lookup.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"

namespace zuv::cli {

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

// A comment as one line: a string as it is, anything else as JSON; escaped.
std::string comment_text(PyObject* comment);

// What changed in a cell's canvas besides its name and parents, one line
// each, escaped: "comment added: TEXT", "comment removed: TEXT" (a string
// comment as it is, any other as JSON; repeats counted), "comments
// reordered", "header colour: OLD -> NEW" ("(none)" where absent).  The
// text view and the pages show these same lines.
std::vector<std::string> canvas_changes(PyObject* old_canvas, PyObject* new_canvas);

}  // namespace zuv::cli
