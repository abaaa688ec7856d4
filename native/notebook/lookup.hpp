// Borrowed lookups into parsed notebook documents, shared by the commands
// that read merged notebooks (`zuv` and `zuvmerge`).
#pragma once

#include "py/names.hpp"
#include "py/ref.hpp"

namespace zuv::cli {

// mapping[key] when `mapping` is a dict holding it, else nullptr (borrowed,
// valid while the document is not changed).  In the documents json.loads
// builds (str keys only) the lookup runs no Python code and cannot fail.  In
// any other dict a key's __eq__ may raise: that exception stays set, never
// dropped, and a reader of such documents checks PyErr_Occurred() before
// trusting a nullptr (as count_conflicts does).
inline PyObject* member(PyObject* mapping, PyObject* key) {
  if (!mapping || !PyDict_Check(mapping)) return nullptr;
  return PyDict_GetItemWithError(mapping, key);
}

// The cell's (or notebook's) "metadata" -> "canvas" object, or nullptr.
inline PyObject* canvas_of(PyObject* cell) {
  return member(member(cell, names().metadata), names().canvas);
}

}  // namespace zuv::cli
