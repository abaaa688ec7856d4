// Shared declarations of the notebook_diff module.
#pragma once

#include "py/function.hpp"
#include "py/imports.hpp"

namespace diff {

using zuv::CallArgs;
using zuv::Ref;

// Keys and attribute names used across the module.
struct Names {
  // module globals
  PyObject* difflib = zuv::interned("difflib");
  PyObject* unified_diff = zuv::interned("unified_diff");
  PyObject* cell_class = zuv::interned("Cell");
  PyObject* diff_cell_class = zuv::interned("DiffCell");
  PyObject* diff_parameter_class = zuv::interned("DiffParameter");
  PyObject* cell_modified = zuv::interned("_cell_modified");
  // status constants and their values
  PyObject* unchanged = zuv::interned("UNCHANGED");
  PyObject* added = zuv::interned("ADDED");
  PyObject* removed = zuv::interned("REMOVED");
  PyObject* modified = zuv::interned("MODIFIED");
  // record members
  PyObject* data_attr = zuv::interned("_data");
  PyObject* data = zuv::interned("data");
  PyObject* status = zuv::interned("status");
  PyObject* source = zuv::interned("source");
  PyObject* parents = zuv::interned("parents");
  PyObject* prev_source = zuv::interned("prev_source");
  PyObject* removed_parents = zuv::interned("removed_parents");
  PyObject* added_parents = zuv::interned("added_parents");
  PyObject* type = zuv::interned("type");
  PyObject* value = zuv::interned("value");
  PyObject* prev_type = zuv::interned("prev_type");
  PyObject* prev_value = zuv::interned("prev_value");
  // JSON keys
  PyObject* cells = zuv::interned("cells");
  PyObject* cell_type = zuv::interned("cell_type");
  PyObject* code = zuv::interned("code");
  PyObject* metadata = zuv::interned("metadata");
  PyObject* canvas = zuv::interned("canvas");
  PyObject* id = zuv::interned("id");
  PyObject* name = zuv::interned("name");
  PyObject* parameters = zuv::interned("parameters");
  PyObject* parameter = zuv::interned("parameter");
  PyObject* diff_status = zuv::interned("diff_status");
  // methods
  PyObject* init = zuv::interned("__init__");
  PyObject* get = zuv::interned("get");
  PyObject* copy = zuv::interned("copy");
};
const Names& names();

// Module members, added in the module's order.
bool add_diff_cell(PyObject* module, PyObject* cell_class);
bool add_cell_modified(PyObject* module);
bool add_diff_parameter(PyObject* module);
bool add_diff_dicts(PyObject* module);

// Remembers `difflib.unified_diff` as imported, so that `_cell_modified` can
// tell whether the module global still leads to it.
bool remember_unified_diff(PyObject* module);

// `_cell_modified(cell)` as a truth value: 1, 0, or -1 with an exception.
int cell_modified(PyObject* globals, PyObject* cell);

// `bool(_cell_modified(cell))`, the function found through the module global.
int call_cell_modified(PyObject* globals, PyObject* cell);

// The diff document of two notebook documents.
Ref diff_documents(PyObject* globals, PyObject* prev, PyObject* current);

}  // namespace diff
