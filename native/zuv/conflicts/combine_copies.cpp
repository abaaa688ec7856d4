#include "zuv/conflicts/combine_copies.hpp"

#include "merge/source_merge.hpp"
#include "notebook/lookup.hpp"
#include "zuv/git/plain_merge.hpp"
#include "zuv/notebook/py_text.hpp"

namespace zuv::cli {

namespace {

Ref text_object(std::string_view text) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

// A copy of `mapping` (a dict, or nothing: an empty one) with `key` set to
// `value`.
Ref copy_with(PyObject* mapping, PyObject* key, PyObject* value) {
  Ref copy = Ref::steal(mapping && PyDict_Check(mapping) ? PyDict_Copy(mapping) : PyDict_New());
  if (!copy || PyDict_SetItem(copy.get(), key, value) < 0) return {};
  return copy;
}

// A copy of a copy cell as the cell it stands for: its name without the
// conflict mark, the given canvas id and nbformat id (none: no "id").
Ref as_the_cell(PyObject* cell, const std::string& name, PyObject* canvas_id, PyObject* cell_id) {
  Ref plain = text_object(conflicts::plain_name(name));
  Ref canvas = plain ? copy_with(canvas_of(cell), names().name, plain.get()) : Ref{};
  if (!canvas || PyDict_SetItem(canvas.get(), names().id, canvas_id) < 0) return {};
  Ref metadata = copy_with(member(cell, names().metadata), names().canvas, canvas.get());
  Ref copy = metadata ? copy_with(cell, names().metadata, metadata.get()) : Ref{};
  if (!copy) return {};
  if (cell_id) {
    if (PyDict_SetItem(copy.get(), names().id, cell_id) < 0) return {};
  } else if (member(copy.get(), names().id) && PyDict_DelItem(copy.get(), names().id) < 0) {
    return {};
  }
  return copy;
}

// The cell of `document` whose canvas id equals `canvas_id` (borrowed), or
// null.
PyObject* cell_by_canvas_id(PyObject* document, PyObject* canvas_id, bool& failed) {
  failed = false;
  PyObject* cells = member(document, names().cells);
  if (!cells || !PyList_Check(cells)) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells, i));
    PyObject* id = member(canvas_of(cell.get()), names().id);
    if (!id) continue;
    const int same = PyObject_RichCompareBool(id, canvas_id, Py_EQ);
    if (same < 0) {
      failed = true;
      return nullptr;
    }
    if (same) return cell.get();
  }
  return nullptr;
}

}  // namespace

bool combine_copies(PyObject* document, const conflicts::NotebookFacts& merged,
                    PyObject* base_document,
                    const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                    const std::string& label_path, conflicts::Combinations& outcomes,
                    std::unordered_map<std::size_t, Ref>& cells) {
  PyObject* list = member(document, names().cells);
  if (!list || !PyList_Check(list)) return true;
  SourceLineMerge sources(label_path, merge::kDefaultMarkerSize);
  for (const auto& [current_at, incoming_at] : pairs) {
    conflicts::Combination& outcome = outcomes[current_at];
    if (current_at >= static_cast<std::size_t>(PyList_GET_SIZE(list)) ||
        incoming_at >= static_cast<std::size_t>(PyList_GET_SIZE(list))) {
      outcome.problem = "the copies are not where the conflict scan found them";
      continue;
    }
    Ref current = Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(current_at)));
    Ref incoming = Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(incoming_at)));
    Ref canvas_id = Ref::borrow(member(canvas_of(current.get()), names().id));
    Ref cell_id = Ref::borrow(member(current.get(), names().id));
    bool failed = false;
    Ref base =
        canvas_id ? Ref::borrow(cell_by_canvas_id(base_document, canvas_id.get(), failed)) : Ref{};
    if (failed) return false;
    if (!base) {
      outcome.problem = "the base version does not hold this cell (both sides added it)";
      continue;
    }
    Ref ours =
        as_the_cell(current.get(), merged.cells[current_at].name, canvas_id.get(), cell_id.get());
    Ref theirs = ours ? as_the_cell(incoming.get(), merged.cells[incoming_at].name, canvas_id.get(),
                                    cell_id.get())
                      : Ref{};
    if (!theirs) return false;
    FieldMerge joined;
    if (!merge_cell_fields(base.get(), ours.get(), theirs.get(), sources, joined)) {
      // A source git refuses (a NUL byte makes it binary) leaves these
      // copies open; a stop (SystemExit, KeyboardInterrupt) ends the command.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
      const std::string error = take_python_error();
      outcome.problem =
          "the merge of the two versions failed: " + error.substr(0, error.find('\n'));
      continue;
    }
    outcome.fields = joined.conflicts;
    if (joined.source_blocks > 0) outcome.fields.insert(outcome.fields.begin(), "source");
    if (!outcome.fields.empty() || !joined.cell) continue;
    PyObject* name = member(canvas_of(joined.cell.get()), names().name);
    outcome.name = name && PyUnicode_Check(name) ? utf8(name) : std::string();
    cells[current_at] = joined.cell;
  }
  return true;
}

}  // namespace zuv::cli
