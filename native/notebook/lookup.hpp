// Lookups into parsed notebook documents, shared by the commands that read
// merged notebooks (`zuv` and `zuvmerge`).
//
// A document is what json.loads builds (exact dicts whose keys are exact str)
// or what our own code builds from such documents and the keys of names.hpp.
// Looking up an exact-str key in such a dict compares str with str only: it
// runs no Python code and cannot fail.  So a lookup answers "absent" with
// nullptr, and that is an answer, not a failure: no exception is ever set.
#pragma once

#include "py/names.hpp"
#include "py/ref.hpp"

namespace zuv::cli {

// mapping[key] when `mapping` is a document dict holding it, else nullptr
// (borrowed, valid while the document is not changed; take a `Ref` of it
// before anything that may change the document or run Python code).
// Anything that is no exact dict is no document and holds nothing.  A dict
// whose lookup raises nevertheless holds keys no document holds: that broken
// precondition is reported through sys.unraisablehook and read as absent, so
// no exception is left set behind the caller's back.
inline PyObject* member(PyObject* mapping, PyObject* key) {
  if (!mapping || !PyDict_CheckExact(mapping)) return nullptr;
  PyObject* found = PyDict_GetItemWithError(mapping, key);
  if (!found && PyErr_Occurred()) PyErr_WriteUnraisable(mapping);
  return found;
}

// The cell's (or notebook's) "metadata" -> "canvas" object, or nullptr.
inline PyObject* canvas_of(PyObject* cell) {
  return member(member(cell, names().metadata), names().canvas);
}

// The same two lookups as owned references, for values held across calls
// that may change the document or run Python code; empty when absent.
inline Ref held_member(PyObject* mapping, PyObject* key) {
  return Ref::borrow(member(mapping, key));
}
inline Ref held_canvas(PyObject* cell) { return Ref::borrow(canvas_of(cell)); }

}  // namespace zuv::cli
