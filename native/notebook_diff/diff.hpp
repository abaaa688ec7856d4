// Shared declarations of the notebook_diff module.
#pragma once

#include "py/function.hpp"
#include "py/imports.hpp"
#include "py/names.hpp"

namespace diff {

using zuv::CallArgs;
using zuv::Ref;

// The most direct members a record class has.
constexpr size_t kMaxDirectMembers = 7;

// Keys and attribute names: the package's registry.
using zuv::Names;
using zuv::names;

// One of the module's record classes, for direct member access
// (records.cpp): the class, its `__init__`, the properties put there (in the
// order of the class's direct members) and the module's globals.
struct DirectClass {
  Ref type, init_function, globals;
  Ref properties[kMaxDirectMembers];
};

// The module's state: `difflib.unified_diff` as imported and the module's
// own `_cell_modified`, so that a diff can tell whether the module globals
// still lead to them, and its record classes (DiffCell, DiffParameter).
// A state whose classes are set up is listed, until it is freed, for direct
// member access, which looks up a record's class among them (records.cpp).
struct ModuleState {
  Ref unified_diff, cell_modified;
  DirectClass direct[2];

  ModuleState() = default;
  ~ModuleState();
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;
  int traverse(visitproc visit, void* arg) const;
  void clear();
};

// The state of the module that defined a function (an empty one, without
// shortcuts, once the module has been cleared).
const ModuleState& module_state(const CallArgs& a);

// Module members, added in the module's order.
bool add_diff_cell(PyObject* module, PyObject* cell_class, ModuleState& state);
bool add_cell_modified(PyObject* module, ModuleState& state);
bool add_diff_parameter(PyObject* module, ModuleState& state);
bool add_diff_dicts(PyObject* module);

// Remembers `difflib.unified_diff` as imported, so that `_cell_modified` can
// tell whether the module global still leads to it.
bool remember_unified_diff(PyObject* module, ModuleState& state);

// `_cell_modified(cell)` as a truth value, into `modified`.
bool cell_modified(const ModuleState& state, PyObject* globals, PyObject* cell, bool& modified);

// `bool(_cell_modified(cell))`, the function found through the module
// global, into `modified`.
bool call_cell_modified(const ModuleState& state, PyObject* globals, PyObject* cell,
                        bool& modified);

}  // namespace diff
