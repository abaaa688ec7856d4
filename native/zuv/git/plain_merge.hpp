// The cell-by-cell merge of notebooks whose cells do not all carry a canvas
// id: plain Jupyter notebooks, and pipeline notebooks with cells added
// outside the canvas.  The decisions are merge/plain_cells.hpp's; this file
// reads the facts from the parsed documents and builds the merged one.
#pragma once

#include <string>
#include <vector>

#include "merge/native_hooks.hpp"
#include "merge/plain_cells.hpp"
#include "py/ref.hpp"

namespace zuv::cli {

struct PlainMergeReport {
  Py_ssize_t marked_cells = 0;    // cells carrying a conflict mark this merge made
  Py_ssize_t source_blocks = 0;   // source conflict blocks this merge opened
  Py_ssize_t metadata_keys = 0;   // notebook metadata keys both sides changed differently
  Py_ssize_t pipeline_cells = 0;  // canvas cells the pipeline merge copied or marked
  Py_ssize_t pipeline_parameters = 0;
  std::string metadata_detail;  // those keys, by path
  bool any() const {
    return marked_cells || source_blocks || metadata_keys || pipeline_cells || pipeline_parameters;
  }
};

// What the alignment of cells without ids compares of `cell`: its type and
// its source as one text (what is neither text nor lines counts as empty).
// The merge and the views that match cells as it does share it.
merge::plain::CellText alignment_text(PyObject* cell);

// Why these parsed documents are no nbformat 4 notebooks the cell merge can
// take ("" when they are): `base` may be null (an empty base file).  Never
// raises.
std::string plain_problem(PyObject* base, PyObject* current, PyObject* incoming);

// Merges three nbformat 4 notebooks (plain_problem said ""); `base` null
// stands for an empty notebook.  Cell sources merge as the pipeline merge's
// do (in memory where libgit2 writes git's bytes, `marker_size` markers).  Cells with a canvas id
// follow the pipeline merge when all three versions carry canvas metadata.  True with `refusal` set
// when the cells cannot be keyed (an id twice in one version); false with a Python exception on
// failure.  The inputs may be changed.
bool merge_plain(PyObject* base, PyObject* current, PyObject* incoming,
                 const std::string& label_path, int marker_size, Ref& merged,
                 PlainMergeReport& report, std::string& refusal);

// The line merge of cell sources as the merge driver runs it: in memory where
// libgit2 writes git's bytes (the settings of `read_source_merge_settings`),
// else `git merge-file`; conflict labels formed from `label_path`.
class SourceLineMerge {
 public:
  SourceLineMerge(std::string label_path, int marker_size);
  // The merged source of three cells, held as the current cell holds its
  // source (a list of lines or one text); `opened` counts the conflict blocks
  // the merge opened.  False with a Python exception on failure.
  bool merge(PyObject* base, PyObject* current, PyObject* incoming, Ref& out, Py_ssize_t& opened);
  // The hooks, prepared on first use; null with a Python exception when
  // preparing failed.
  merge::NativeHooks* hooks();

 private:
  std::string label_path_;
  merge::NativeHooks hooks_;
  bool prepared_ = false;
  Ref current_label_, incoming_label_;
};

// One cell both sides changed, merged field by field against `base` (which
// may be null: an absent value is a value): a field one side changed takes
// that side's value; `source` goes through the line merge; `metadata` merges
// by key, recursively; `outputs` with `execution_count` come from the side
// that changed them.  The nbformat `id` stays current's.
struct FieldMerge {
  Ref cell;  // current's cell with the merged fields; null when both changed cell_type
  // The fields both sides changed differently, current's value kept
  // ("cell_type", "outputs", "metadata.tags", ...); the source is never
  // named here: its conflicts are blocks in it.
  std::vector<std::string> conflicts;
  Py_ssize_t source_blocks = 0;  // conflict blocks the source's line merge opened
};
bool merge_cell_fields(PyObject* base, PyObject* current, PyObject* incoming,
                       SourceLineMerge& sources, FieldMerge& out);

}  // namespace zuv::cli
