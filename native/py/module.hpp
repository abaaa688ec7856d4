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

// The definition of a single-phase module without per-module state, for
// `create_module`; kept in a variable of static storage duration.
PyModuleDef module_definition(const char* name, const char* doc) noexcept;

// Single-phase initialisation: creates the module from `def` and lets `fill`
// add its members.  Returns the new module, or nullptr with an exception set.
PyObject* create_module(PyModuleDef& def, bool (*fill)(PyObject* module)) noexcept;

// The body of a `Py_mod_exec` slot: 0, or -1 with an exception set.
int execute_module(PyObject* module, bool (*run)(PyObject* module)) noexcept;

// The definition of a multi-phase module without state whose only slot is
// `exec`, for `init_program_module`.
PyModuleDef program_module_definition(const char* name, PyModuleDef_Slot* slots) noexcept;

// The `PyInit_` body of a module whose import runs a program (`python -m`):
// the exec slot sets up the binding layer, then calls `Run`.
template <bool (*Run)(PyObject* module)>
PyObject* init_program_module(const char* name) noexcept {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec,
       reinterpret_cast<void*>(+[](PyObject* module) { return execute_module(module, Run); })},
      {0, nullptr},
  };
  static PyModuleDef def = program_module_definition(name, slots);
  return PyModuleDef_Init(&def);
}

}  // namespace zuv
