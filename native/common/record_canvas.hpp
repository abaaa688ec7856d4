// The canvas of a cell record (Cell, MergeCell, DiffCell): both record
// modules keep a cell's fields in self._data["metadata"]["canvas"].
#pragma once

#include "py/names.hpp"
#include "py/ref.hpp"

namespace zuv {

// self._data["metadata"]["canvas"], with the interpreter's own errors.
inline Ref record_canvas(PyObject* self) {
  Ref data = getattr(self, names()._data);
  Ref metadata = data ? getitem(data.get(), names().metadata) : Ref{};
  return metadata ? getitem(metadata.get(), names().canvas) : Ref{};
}

}  // namespace zuv
