// What the merge asks of the outside world: the cell records, the cell
// comparison, the source merge, fresh ids and JSON.  The merge core
// (merge_documents.hpp) reaches everything replaceable through this
// interface, so it runs both behind `merge_files` (the module globals, which
// Python code may substitute) and behind a native caller that imports
// nothing it does not need.
//
// Convention: a function returning `Ref` gives an empty `Ref`, and one
// returning `bool` gives false, with a Python exception set.
#pragma once

#include "py/ref.hpp"

namespace merge {

using zuv::Ref;

// The version a record was built from.
enum class Side { base, current, incoming };

class Hooks {
 public:
  virtual ~Hooks() = default;

  // Called once before anything else: resolves what the merge will call.
  virtual bool prepare() = 0;
  // The parsed document at `path`.
  virtual Ref load(PyObject* path) = 0;
  // The document as the JSON text written to the merged file.
  virtual Ref dumps(PyObject* document) = 0;

  // A record over `cell` itself (not a copy).  `tag_by_keyword` says how the
  // version tag is handed to a replaceable record class.
  virtual Ref record(PyObject* cell, Side side, bool tag_by_keyword) = 0;
  // Gives a named record its side's conflict mark.
  virtual bool mark(PyObject* record, Side side) = 0;
  // The difference record from `older` to `newer` (empty when they agree,
  // parent names and "execution_count" aside).
  virtual Ref changed(PyObject* older, PyObject* newer) = 0;
  // The same record without its "outputs" entry, where outputs do not
  // count.  By default the full record, then the entry popped; a hook that
  // knows the comparison may skip comparing outputs.
  virtual Ref changed_outside_outputs(PyObject* older, PyObject* newer);
  // Whether `changed(older, newer)` would be non-empty, outputs included;
  // -1 on error.  By default that very record's truth; a hook that knows the
  // comparison may answer without building it.
  virtual int differs_counting_outputs(PyObject* older, PyObject* newer);
  // True when record names change only where the merge changes them (the
  // stock records and hooks): the merge then keeps its index of component
  // names up to date instead of reading every name again for each lookup.
  virtual bool stock_records() const { return false; }

  // Called once between the passes over added cells and over the cells base
  // and current hold, whether or not a source merge follows.
  virtual bool begin_source_merges() = 0;
  // The three-way merge of one cell's source lines.
  virtual Ref merge_source(PyObject* current, PyObject* base, PyObject* incoming,
                           PyObject* current_label, PyObject* incoming_label) = 0;
  // A new identifier in the text form of str(uuid.uuid4()).
  virtual Ref fresh_id() = 0;
};

}  // namespace merge
