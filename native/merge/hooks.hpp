// What the merge asks of the outside world: the cell records, the cell
// comparison, the source merge, fresh ids and JSON.  The merge core
// (merge_documents.hpp) reaches everything replaceable through this
// interface, so it runs both behind `merge_files` (the module globals, which
// Python code may substitute) and behind a native caller that imports
// nothing it does not need.
//
// Convention: a function returning `Ref` gives an empty `Ref`, and one
// returning `bool` gives false, with a Python exception set.
//
// Every final hooks class declares its overrides with MERGE_HOOKS_OVERRIDES
// (defined after the interface), so the list is written once.
#pragma once

#include "jsondiff/json_diff.hpp"
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
  // The symbols of a difference engine whose records are exactly those of
  // `changed` (the stock comparison, nothing replaced, nothing logged), or
  // null.  Where there are some, the merge may compare cells without
  // building the full record: without the outputs where outputs do not
  // count, by an equality walk where only "whether" is asked.
  virtual bool comparison_shortcut(const zuv::json_diff::Symbols*& symbols) {
    symbols = nullptr;
    return true;
  }
  // True when record names change only where the merge changes them (the
  // stock records and hooks): the merge then keeps its index of component
  // names up to date instead of reading every name again for each lookup.
  virtual bool stock_records() const { return false; }

  // Called once between the passes over added cells and over the cells base
  // and current hold, whether or not a source merge follows.
  virtual bool begin_source_merges() { return true; }
  // The three-way merge of one cell's source lines.  `opened` is the number
  // of conflict blocks the merge opened, as the merging tool reports it, or
  // -1 where it cannot tell: the merge then counts the blocks under the
  // current label that the current source did not hold already.
  virtual Ref merge_source(PyObject* current, PyObject* base, PyObject* incoming,
                           PyObject* current_label, PyObject* incoming_label,
                           Py_ssize_t& opened) = 0;
  // A new identifier in the text form of str(uuid.uuid4()).
  virtual Ref fresh_id() = 0;
};

}  // namespace merge

// The overriding declarations of a final hooks class; `stock_records`,
// `begin_source_merges` and `comparison_shortcut` keep their defaults unless
// the class declares them itself.
#define MERGE_HOOKS_OVERRIDES                                                                      \
  bool prepare() override;                                                                         \
  Ref load(PyObject* path) override;                                                               \
  Ref dumps(PyObject* document) override;                                                          \
  Ref record(PyObject* cell, Side side, bool tag_by_keyword) override;                             \
  bool mark(PyObject* record, Side side) override;                                                 \
  Ref changed(PyObject* older, PyObject* newer) override;                                          \
  Ref merge_source(PyObject* current, PyObject* base, PyObject* incoming, PyObject* current_label, \
                   PyObject* incoming_label, Py_ssize_t& opened) override;                         \
  Ref fresh_id() override
