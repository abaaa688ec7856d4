// Reading the parts of a notebook the text views show: cell sources as
// lines, canvas names and ids, parent references, outputs.  All borrowed
// lookups; nothing here raises.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
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

// The same lines as views into `text`, which must outlive them.
std::vector<std::string_view> split_views(std::string_view text);

// A source's lines (those of source_lines) as views into one buffer that
// the object owns: filled in place, never copied nor moved.
struct SourceText {
  std::string text;
  std::vector<std::string_view> lines;

  SourceText() = default;
  explicit SourceText(PyObject* source);
  ~SourceText() = default;
  SourceText(const SourceText&) = delete;
  SourceText& operator=(const SourceText&) = delete;
  SourceText(SourceText&&) = delete;
  SourceText& operator=(SourceText&&) = delete;
};

// How to call a cell in one line: its canvas name, else its canvas id, else
// "cell N" (N from 1).  Control characters escaped.
std::string cell_label(PyObject* cell, Py_ssize_t position);

// Canvas id -> canvas name of a notebook's cells (the first cell of an id;
// unnamed cells are left out).
using CellNames = std::unordered_map<std::string, std::string>;
CellNames cell_names(PyObject* document);

// How the views call the parent a reference points to: the name of the cell
// of the same notebook with its id, else the id (a reference's own "name"
// is only a copy, and merges drop it).  Escaped.
std::string parent_label(PyObject* reference, const CellNames& names);

// Parent references, comma separated, each id once.
std::string parent_names(PyObject* parents, const CellNames& names);

// The parents a cell gained and lost from a diff's added/removed parent
// lists: a reference on both lists with the same id is the same edge
// (its "name" changed, or was dropped), so it is in neither.  Gained
// parents are named from the new notebook, lost ones from the old.
void parent_changes(PyObject* added, PyObject* removed, const CellNames& before,
                    const CellNames& after, std::string& gained, std::string& lost);

// One line per output: "output: stream stdout, 3 lines", "output:
// execute_result text/plain, image/png", "output: error ValueError: bad".
std::vector<std::string> output_summaries(PyObject* outputs);

// A JSON value as compact JSON text (non-ASCII kept), or "?" if it cannot be
// (absent, nested too deep), in `out`.  False only on another failure.
bool json_text(PyObject* value, std::string& out);

// A comment as one line: a string as it is, anything else as JSON; escaped.
bool comment_text(PyObject* comment, std::string& out);

// A header colour as one line: a string as it is (escaped), anything else
// as JSON, "(none)" when absent.
bool colour_text(PyObject* colour, std::string& out);

// What changed in a cell's canvas besides its name and parents, one line
// each, escaped: "comment added: TEXT", "comment removed: TEXT" (a string
// comment as it is, any other as JSON; repeats counted), "comments
// reordered", "header colour: OLD -> NEW" ("(none)" where absent).  The
// text view and the pages show these same lines.  Appended to `lines`.
bool canvas_changes(PyObject* old_canvas, PyObject* new_canvas, std::vector<std::string>& lines);

}  // namespace zuv::cli
