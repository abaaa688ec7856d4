#include "py/ref.hpp"

#include "py/compat.hpp"

namespace zuv {

Ref global(PyObject* globals, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value) return Ref::borrow(value);
  if (PyErr_Occurred()) return {};
  // Fall back to builtins, as name resolution in a module does.
  Ref builtins = compat::current_builtins();
  if (!builtins) return {};
  value = PyDict_GetItemWithError(builtins.get(), name);
  if (value) return Ref::borrow(value);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

void raise_assertion() { PyErr_SetNone(PyExc_AssertionError); }

bool check_result(PyObject* obj, PyTypeObject* type, const char* type_label) {
  if (obj == Py_None || Py_IS_TYPE(obj, type)) return true;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_label, Py_TYPE(obj)->tp_name);
  return false;
}

}  // namespace zuv
