// The three-way notebook merge, apart from any module: callers hand in the
// three parsed documents and a `Hooks` implementation (hooks.hpp).
//
// The cells of the three versions are matched by canvas id and visited in a
// fixed order: ids the current version deleted and ids the incoming version
// added, both in the incoming document's order, then the ids base and
// current hold, in the current document's order.  Each cell is decided
// (cell_rules.hpp) and applied before the next is decided, since a decision
// may read names that earlier marks changed.  Then parent references are
// cut to the named cells still present, the canvas parameters are merged
// (parameter_rules.hpp) and the merged document is assembled.
#pragma once

#include "merge/hooks.hpp"

namespace merge {

// The conflicts this merge created; marks and conflict blocks that an input
// already held are not counted.
struct ConflictReport {
  Py_ssize_t copies_beside = 0;      // copies placed beside their cells (fresh canvas ids)
  Py_ssize_t marked_cells = 0;       // marked cell names that no cell of either input held
  Py_ssize_t marked_parameters = 0;  // marked parameter names neither input held
  Py_ssize_t source_blocks = 0;      // conflict blocks opened with this merge's current label
                                     // beyond those the current source already held
  bool any() const { return copies_beside || marked_cells || marked_parameters || source_blocks; }
};

struct MergeResult {
  Ref document;  // the merged notebook
  ConflictReport conflicts;
};

// Merges three parsed notebooks.  `file_path` forms the conflict labels of
// the source merges.  The inputs' cell and parameter objects are shared with
// the result and may be changed in place.  False with a Python exception set
// on failure.
bool merge_documents(PyObject* base, PyObject* current, PyObject* incoming, PyObject* file_path,
                     Hooks& hooks, MergeResult& result);

}  // namespace merge
