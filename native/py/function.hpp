// A native function object that behaves like a Python function.
//
// Each function is described once, statically, by a `FunctionSpec`: its name,
// docstring, parameters with their annotation texts and type rules, and the
// C++ implementation.  The object created from a spec has `__name__`,
// `__qualname__`, `__module__`, `__doc__`, `__annotations__` and
// `__signature__`, is called through vectorcall, and binds as a method when it
// is placed in a class.  Argument checking happens here, once, so the
// implementations only ever see a complete, checked argument vector.
#pragma once

#include <span>

#include "py/ref.hpp"

namespace zuv {

// Type rule of a parameter whose annotation names a built-in type: the value
// must be exactly of that type (no subclass), and None only when optional.
enum class Exact { any, dict, list, str };

struct Param {
  const char* name = nullptr;
  const char* annotation = nullptr;  // annotation text, or nullptr for none
  Exact exact = Exact::any;
  bool none_ok = false;           // annotation is Optional[...]
  bool defaults_to_none = false;  // parameter may be omitted; it then reads None
};

// What an implementation receives: one borrowed value per parameter, in
// parameter order, plus where the function was defined.
struct CallArgs {
  PyObject* const* values = nullptr;
  PyObject* globals = nullptr;  // the defining module's globals, for run-time lookups
  PyObject* owner = nullptr;    // the class the function was defined in, or nullptr
  PyObject* module = nullptr;   // the defining module, for its state (py/module.hpp)
  PyObject* operator[](size_t i) const { return values[i]; }
};

using Impl = Ref (*)(const CallArgs&);

struct FunctionSpec {
  const char* name;
  const char* doc;  // nullptr: no docstring
  std::span<const Param> params;
  const char* returns;  // annotation text of the result, or nullptr
  Impl impl;
};

// Creates a function of `module` from `spec`.  `class_name` prefixes the
// qualified name of a method.
Ref make_function(const FunctionSpec& spec, PyObject* module, const char* class_name = nullptr);

// Creates the function and adds it to the module under its name.
bool add_function(PyObject* module, const FunctionSpec& spec);

// Records the class that a method was defined in (what `super()` needs).
void set_owner(PyObject* function, PyObject* owner);

// Raises the argument type error unless `value` satisfies the rule.
bool check_argument(PyObject* value, Exact exact, bool none_ok, const char* name);

}  // namespace zuv
