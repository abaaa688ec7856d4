// Module setup: the one way every extension module of the package is made.
//
// Every module is made in two phases (PEP 489): the definition only names it,
// and its `exec` step fills it.  Before a module's own members are added,
// the binding layer's process-wide state is made ready (the interned names,
// the interpreter's flags); a failed attempt leaves nothing behind and is
// made again by the next import.  C++ exceptions never leave these
// functions: they become the Python exception of the failed import.
//
// Objects a module keeps for itself (what its globals were when it was made,
// imported symbols) live in its module state, a C++ object of the module's
// own `State` type that the module object points to: the cycle collector
// sees them through the module (`State::traverse`), they are cleared with it
// (`State::clear`) and freed with it, and each import of the module, in each
// interpreter, has its own.  A `State` holds its references in `Ref`s and
// provides `int traverse(visitproc, void*) const` and `void clear()`.
//
// Every module declares that it may be imported by subinterpreters that
// share the main interpreter's GIL, not by those with a GIL of their own:
// the interned names (names.hpp) and the native function type are shared by
// the whole process, which is sound only while one lock orders every use of
// them (see names.cpp).
#pragma once

#include <string>

#include "py/ref.hpp"

namespace zuv {

namespace detail {

// The body of a `Py_mod_exec` slot: sets up the binding layer (and the
// injected fault "setup:<module name>"), then runs `run`.  0, or -1 with an
// exception set.
int execute_module(PyObject* module, bool (*run)(PyObject* module)) noexcept;

// The slot where the module object keeps its state's address.
template <class State>
State** state_slot(PyObject* module) {
  return static_cast<State**>(PyModule_GetState(module));
}

template <class State>
int traverse_state(PyObject* module, visitproc visit, void* arg) {
  State** slot = state_slot<State>(module);
  return slot && *slot ? (*slot)->traverse(visit, arg) : 0;
}

template <class State>
int clear_state(PyObject* module) {
  State** slot = state_slot<State>(module);
  if (slot && *slot) (*slot)->clear();
  return 0;
}

template <class State>
void free_state(void* module) {
  State** slot = state_slot<State>(static_cast<PyObject*>(module));
  if (!slot) return;
  delete *slot;
  *slot = nullptr;
}

// What every module declares besides its exec step: subinterpreters may load
// it, but only those that share the main interpreter's GIL, because the
// names registry and the native function type are process-wide.
#if PY_VERSION_HEX >= 0x030C0000
#define ZUV_MODULE_DECLARATIONS \
  {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define ZUV_MODULE_DECLARATIONS
#endif

}  // namespace detail

// The state of `module`, made by its exec step; null before that and after
// the module was freed.
template <class State>
State* module_state(PyObject* module) {
  State** slot = module ? detail::state_slot<State>(module) : nullptr;
  return slot ? *slot : nullptr;
}

// The `PyInit_` body of a module without state: the exec step sets up the
// binding layer, then lets `Fill` add the module's members.  A module whose
// import runs a program (`python -m`) is made the same way, `Fill` being the
// program.
template <bool (*Fill)(PyObject* module)>
PyObject* init_module(const char* name, const char* doc = nullptr) noexcept {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(
                        +[](PyObject* module) { return detail::execute_module(module, Fill); })},
      ZUV_MODULE_DECLARATIONS{0, nullptr},
  };
  static PyModuleDef def = {
      PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
  return PyModuleDef_Init(&def);
}

// The `PyInit_` body of a module with a `State`: the exec step makes the
// state, then lets `Fill` add the members and fill the state.  An import
// that fails leaves its state to be freed with its module.
template <class State, bool (*Fill)(PyObject* module, State& state)>
PyObject* init_module(const char* name, const char* doc) noexcept {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* module) {
         return detail::execute_module(module, [](PyObject* m) {
           State** slot = detail::state_slot<State>(m);
           if (!slot) return false;
           // NOLINTNEXTLINE(bugprone-unhandled-exception-at-new): execute_module catches it
           if (!*slot) *slot = new State();
           return Fill(m, **slot);
         });
       })},
      ZUV_MODULE_DECLARATIONS{0, nullptr},
  };
  static PyModuleDef def = {PyModuleDef_HEAD_INIT,
                            name,
                            doc,
                            sizeof(State*),
                            nullptr,
                            slots,
                            detail::traverse_state<State>,
                            detail::clear_state<State>,
                            detail::free_state<State>};
  return PyModuleDef_Init(&def);
}

#undef ZUV_MODULE_DECLARATIONS

}  // namespace zuv
