// Shared declarations of the notebook_merge module.
#pragma once

#include "jsondiff/json_diff.hpp"
#include "py/function.hpp"
#include "py/imports.hpp"

namespace merge {

using zuv::CallArgs;
using zuv::Ref;

// Keys and attribute names used across the module.
struct Names {
  PyObject* merge_cell = zuv::interned("MergeCell");
  PyObject* base = zuv::interned("BASE");
  PyObject* current = zuv::interned("CURRENT");
  PyObject* incoming = zuv::interned("INCOMING");
  PyObject* file_type_attr = zuv::interned("_file_type");
  PyObject* file_type = zuv::interned("file_type");
  PyObject* name = zuv::interned("name");
  PyObject* parents = zuv::interned("parents");
  PyObject* data = zuv::interned("data");
  PyObject* pop = zuv::interned("pop");
  PyObject* jsondiff = zuv::interned("jsondiff");
  PyObject* diff = zuv::interned("diff");
  PyObject* logging = zuv::interned("logging");
  PyObject* debug = zuv::interned("debug");
  PyObject* execution_count = zuv::interned("execution_count");
  PyObject* outputs = zuv::interned("outputs");
  PyObject* init = zuv::interned("__init__");
  PyObject* current_tag = zuv::interned("current");
  PyObject* incoming_tag = zuv::interned("incoming");
  PyObject* base_tag = zuv::interned("base");
  PyObject* current_mark = zuv::interned("<<< ");
  PyObject* incoming_mark = zuv::interned(">>> ");
};
const Names& names();

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

// _merge_source, and the source merge itself for merge_files.
bool add_merge_source(PyObject* module);
Ref merge_source(PyObject* globals, PyObject* g, PyObject* current, PyObject* base,
                 PyObject* incoming, PyObject* current_name, PyObject* incoming_name);

}  // namespace merge
