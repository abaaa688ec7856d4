// The conflict marks a merge puts before a name (of a cell or a parameter),
// read by the merge core and by both merge commands' conflict counts.
#pragma once

#include "py/names.hpp"
#include "py/ref.hpp"

namespace zuv {

// A name carrying a conflict mark; anything that is no str carries none.
// Tail matching of two str cannot fail.
inline bool is_marked(PyObject* name) {
  if (!name || !PyUnicode_Check(name)) return false;
  return PyUnicode_Tailmatch(name, names().current_mark, 0, PY_SSIZE_T_MAX, -1) == 1 ||
         PyUnicode_Tailmatch(name, names().incoming_mark, 0, PY_SSIZE_T_MAX, -1) == 1;
}

}  // namespace zuv
