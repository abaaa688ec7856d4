// Shared declarations of the notebook_diff module.
#pragma once

#include "py/function.hpp"
#include "py/imports.hpp"
#include "py/names.hpp"

namespace diff {

using zuv::CallArgs;
using zuv::Ref;

// Keys and attribute names: the package's registry.
using zuv::Names;
using zuv::names;

// Module members, added in the module's order.
bool add_diff_cell(PyObject* module, PyObject* cell_class);
bool add_cell_modified(PyObject* module);
bool add_diff_parameter(PyObject* module);
bool add_diff_dicts(PyObject* module);

// Remembers `difflib.unified_diff` as imported, so that `_cell_modified` can
// tell whether the module global still leads to it.
bool remember_unified_diff(PyObject* module);

// `_cell_modified(cell)` as a truth value, into `modified`.
bool cell_modified(PyObject* globals, PyObject* cell, bool& modified);

// `bool(_cell_modified(cell))`, the function found through the module
// global, into `modified`.
bool call_cell_modified(PyObject* globals, PyObject* cell, bool& modified);

// The diff document of two notebook documents.
Ref diff_documents(PyObject* globals, PyObject* prev, PyObject* current);

}  // namespace diff
