// Module initialisation helpers: imports bound as module globals.
#pragma once

#include "py/ref.hpp"

namespace zuv {

// `import name` inside `module`: binds the top-level module under `name`.
bool import_global(PyObject* module, const char* name);

// `from .sibling import attr` inside `module`: the sibling is resolved
// against the package that `module` belongs to.  Binds and returns `attr`.
Ref import_sibling(PyObject* module, const char* sibling, const char* attr);

}  // namespace zuv
