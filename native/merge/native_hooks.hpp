// The merge's hooks for a native caller (the `zuv merge-driver` command):
// the same merged document as `merge_files`, without the module globals and
// without importing what a merge does not need.  Records are plain `Cell`s
// (the side is kept by the merge), cells are compared by the native
// difference engine with private symbols (the records are never shown), ids
// are made natively, and GitPython is imported only for the first source
// merge.  Nothing is logged.
#pragma once

#include "merge/hooks.hpp"

namespace merge {

class NativeHooks final : public Hooks {
 public:
  bool prepare() override;
  Ref load(PyObject* path) override;
  Ref dumps(PyObject* document) override;
  Ref record(PyObject* cell, Side side, bool tag_by_keyword) override;
  bool mark(PyObject* record, Side side) override;
  Ref changed(PyObject* older, PyObject* newer) override;
  Ref changed_outside_outputs(PyObject* older, PyObject* newer) override;
  int differs_counting_outputs(PyObject* older, PyObject* newer) override;
  bool stock_records() const override { return true; }
  bool begin_source_merges() override { return true; }
  Ref merge_source(PyObject* current, PyObject* base, PyObject* incoming, PyObject* current_label,
                   PyObject* incoming_label) override;
  Ref fresh_id() override;

 private:
  Ref cell_class_, json_;
  Ref source_globals_, git_;  // set up by the first source merge
};

}  // namespace merge
