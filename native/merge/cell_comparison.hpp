// What every cell comparison does before it compares.
#pragma once

#include "py/ref.hpp"

namespace merge {

// Parent names are not part of a cell's identity: drops "name" from every
// parent reference of both records, in place (parents0 + parents1, in that
// order).  False with a Python exception set on failure.
bool drop_parent_names(PyObject* cell0, PyObject* cell1);

}  // namespace merge
