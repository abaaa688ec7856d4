// The one place where the binding layer depends on what a CPython version
// offers.  Everything here uses only the public C API of 3.11, 3.12 and
// 3.13; when a later version needs code of its own, it goes here, behind the
// same functions.
#pragma once

#include "py/ref.hpp"

namespace zuv::compat {

// Appends an entry "File "<filename>", line 0, in <funcname>" to the
// traceback of the exception being raised, where a Python function's frame
// would appear.  Keeps the exception as it was if the entry cannot be made.
void add_traceback_entry(const char* funcname, const char* filename);

// `sys.flags.optimize`: 0 unless the interpreter runs with `-O` or `-OO`.
// Empty with an exception set if `sys.flags` cannot be read.
bool read_optimize_level(long& level);

// The attribute `name` as found in the MRO of `type`, without descriptor
// calls: borrowed, or null (no exception set) when absent.  The lookup the
// interpreter itself makes for `type.name`, cached by type version; no
// public function offers it on these versions (`_PyType_Lookup`, exported
// by all of them).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
  return _PyType_Lookup(type, name);
}

}  // namespace zuv::compat
