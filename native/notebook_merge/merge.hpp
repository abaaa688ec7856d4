// Shared declarations of the notebook_merge module.
#pragma once

#include "jsondiff/json_diff.hpp"
#include "py/function.hpp"
#include "py/imports.hpp"
#include "py/names.hpp"

namespace merge {

using zuv::CallArgs;
using zuv::Ref;

using zuv::names;

// The module's state: what its replaceable globals were when it was made.
// `_cell_changed` computes the difference natively while the module global
// `jsondiff` still leads to that very module and function, with jsondiff's
// symbols; the merge takes shortcuts while the others are the module's own.
struct ModuleState {
  Ref jsondiff, diff;  // jsondiff and jsondiff.diff
  zuv::json_diff::HeldSymbols symbols;
  Ref merge_cell, cell_changed, merge_source, logging;

  int traverse(visitproc visit, void* arg) const;
  void clear();
};

// The state of the module that defined a function: never null while the
// function can be called (the function holds its module).
const ModuleState& module_state(const CallArgs& a);

// MergeCell and _cell_changed.
bool add_merge_cell(PyObject* module, PyObject* cell_class);
bool add_cell_changed(PyObject* module);
// merge_files, the merge driver's entry point.
bool add_merge_files(PyObject* module);
// The cell comparison, shared with merge_files.
Ref cell_changed(const ModuleState& state, PyObject* globals, PyObject* cell0, PyObject* cell1);

// _merge_source.
bool add_merge_source(PyObject* module);

}  // namespace merge
