#include "merge/cell_comparison.hpp"

#include "py/imports.hpp"

namespace merge {

using zuv::Ref;

bool drop_parent_names(PyObject* cell0, PyObject* cell1) {
  static PyObject* const parents = zuv::interned("parents");
  static PyObject* const pop = zuv::interned("pop");
  static PyObject* const name = zuv::interned("name");
  Ref parents0 = zuv::getattr(cell0, parents);
  Ref parents1 = parents0 ? zuv::getattr(cell1, parents) : Ref{};
  Ref all_parents = parents1 ? Ref::steal(PyNumber_Add(parents0.get(), parents1.get())) : Ref{};
  Ref iter = all_parents ? Ref::steal(PyObject_GetIter(all_parents.get())) : Ref{};
  if (!iter) return false;
  while (Ref parent = Ref::steal(PyIter_Next(iter.get())))
    if (!zuv::call_method(parent.get(), pop, name, Py_None)) return false;
  return !PyErr_Occurred();
}

}  // namespace merge
