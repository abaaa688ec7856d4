// Module setup: the one way every extension module of the package is made.
//
// Before a module's own members are added, the binding layer's process-wide
// state is made ready (the interned names, the interpreter's flags); a failed
// attempt leaves nothing behind and is made again by the next import.  C++
// exceptions never leave these functions: they become the Python exception
// of the failed import.
#pragma once

#include "py/ref.hpp"

namespace zuv {

// Single-phase initialisation: creates the module from `def` and lets `fill`
// add its members.  Returns the new module, or nullptr with an exception set.
PyObject* create_module(PyModuleDef& def, bool (*fill)(PyObject* module)) noexcept;

// The body of a `Py_mod_exec` slot: 0, or -1 with an exception set.
int execute_module(PyObject* module, bool (*run)(PyObject* module)) noexcept;

}  // namespace zuv
