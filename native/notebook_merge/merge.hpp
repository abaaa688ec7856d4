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

// The jsondiff module, its diff function and its symbols seen at import;
// `_cell_changed` computes the difference natively while the module global
// still leads to that very module and function.
struct JsondiffOriginal {
  PyObject* module = nullptr;
  PyObject* diff = nullptr;
  zuv::json_diff::Symbols symbols{};
};
JsondiffOriginal& jsondiff_original();

// What the module's replaceable globals were when it was made.
struct ModuleOriginals {
  PyObject* merge_cell = nullptr;
  PyObject* cell_changed = nullptr;
  PyObject* merge_source = nullptr;
  PyObject* logging = nullptr;
};
ModuleOriginals& module_originals();

// MergeCell and _cell_changed.
bool add_merge_cell(PyObject* module, PyObject* cell_class);
bool add_cell_changed(PyObject* module);
// merge_files, the merge driver's entry point.
bool add_merge_files(PyObject* module);
// _cell_outcome and _parameter_outcome, the decision tables for tests.
bool add_merge_rules(PyObject* module);
// The cell comparison, shared with merge_files.
Ref cell_changed(PyObject* globals, PyObject* cell0, PyObject* cell1);

// _merge_source.
bool add_merge_source(PyObject* module);

}  // namespace merge
