// Borrowed lookups into parsed notebook documents, shared by the commands
// that read merged notebooks (`zuv` and `zuvmerge`).
#pragma once

#include "py/names.hpp"
#include "py/ref.hpp"

namespace zuv::cli {

// mapping[key] when `mapping` is a dict holding it, else nullptr (borrowed).
inline PyObject* member(PyObject* mapping, PyObject* key) {
  if (!mapping || !PyDict_Check(mapping)) return nullptr;
  PyObject* value = PyDict_GetItemWithError(mapping, key);
  if (!value) PyErr_Clear();
  return value;
}

// The cell's (or notebook's) "metadata" -> "canvas" object, or nullptr.
inline PyObject* canvas_of(PyObject* cell) {
  return member(member(cell, names().metadata), names().canvas);
}

}  // namespace zuv::cli
