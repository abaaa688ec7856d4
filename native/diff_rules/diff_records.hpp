// The records a notebook diff is built of, as the diff rules reach them.
//
// One set of rules (diff_documents), two ways to the records: the
// notebook_diff module's (its globals: `Cell`, `DiffCell`, `DiffParameter`,
// `_cell_modified`, which callers may replace) and a direct one on the JSON
// objects themselves (plain_records.hpp), for the `zuv` views, which need
// neither the module nor its imports.
#pragma once

#include "py/names.hpp"
#include "py/ref.hpp"

namespace diff {

using zuv::Ref;

class DiffRecords {
 public:
  virtual ~DiffRecords() = default;
  // `Cell(cell)`: the view the index of a document's code cells holds.
  virtual Ref cell(PyObject* cell) = 0;
  // `ClassName(data)` for DiffCell and DiffParameter (names().DiffCell, ...).
  virtual Ref construct(PyObject* class_name, PyObject* data) = 0;
  // `record.member` and `record.member = value`.
  virtual Ref read(PyObject* record, PyObject* member) = 0;
  virtual bool write(PyObject* record, PyObject* member, PyObject* value) = 0;
  // `record.status = ClassName.CONSTANT` (names().ADDED, ...).
  virtual bool write_status(PyObject* record, PyObject* class_name, PyObject* constant) = 0;
  // `bool(_cell_modified(cell))` of a DiffCell, into `modified`.
  virtual bool modified(PyObject* diff_cell, bool& modified) = 0;
};

// The diff document of two notebook documents (exact dicts).
Ref diff_documents(DiffRecords& records, PyObject* prev, PyObject* current);

// Whether two sources differ as `difflib.unified_diff` sees them (no lines
// for equal lists, at least the header otherwise), where that is known
// without running it: both lists of exact str.  False when not known.
bool known_difference(PyObject* before, PyObject* after, bool& different);

}  // namespace diff
