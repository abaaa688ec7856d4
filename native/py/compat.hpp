// The one place where the binding layer depends on what a CPython version
// offers.  Everything here is exported by 3.11, 3.12 and 3.13 alike (public
// API, plus the one type lookup that has no public form); when a version
// needs code of its own, it goes here, behind the same names.
#pragma once

#include "py/ref.hpp"
// After Python.h, which it needs.
#include <structmember.h>

namespace zuv::compat {

// Member types of PyMemberDef.  3.12 gave them public Py_-prefixed names and
// deprecated the structmember.h ones; an object member that reads None while
// empty (what function attributes such as __doc__ do) keeps only the old
// name on every version.
inline constexpr int kObjectOrNone = T_OBJECT;
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int kSsize = Py_T_PYSSIZET;
inline constexpr int kReadOnly = Py_READONLY;
#else
inline constexpr int kSsize = T_PYSSIZET;
inline constexpr int kReadOnly = READONLY;
#endif

// The code object of a traceback entry "File "<filename>", line 0, in
// <funcname>".  Empty with an exception set on failure.
Ref new_trace_code(const char* funcname, const char* filename);

// Appends an entry made from `code` (see above) to the traceback of the
// exception being raised, where a Python function's frame would appear.
// Keeps the exception as it was if the entry cannot be made.
void add_traceback_entry(PyObject* code);

// The exception being raised, taken out of the error indicator: its type,
// its instance and its traceback (also set on the instance); all empty when
// none is raised.
struct RaisedException {
  Ref type, value, traceback;
};
RaisedException take_raised_exception();

// Makes `raised` the exception being raised again (none: clears).
void raise_again(RaisedException raised);

// The builtins namespace that code run now sees, as a new reference.
Ref current_builtins();

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
