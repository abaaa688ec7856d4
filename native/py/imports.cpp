#include "py/imports.hpp"

#include <cstring>
#include <string>

namespace zuv {

bool import_global(PyObject* module, const char* name) {
  Ref imported = Ref::steal(PyImport_ImportModule(name));
  return imported && PyModule_AddObjectRef(module, name, imported.get()) == 0;
}

Ref import_sibling(PyObject* module, const char* sibling, const char* attr) {
  const char* full = PyModule_GetName(module);
  if (!full) return {};
  const char* dot = std::strrchr(full, '.');
  std::string target = dot ? std::string(full, dot + 1) + sibling : std::string(sibling);
  Ref imported = Ref::steal(PyImport_ImportModule(target.c_str()));
  if (!imported) return {};
  Ref value = getattr(imported.get(), attr);
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", attr, target.c_str());
    }
    return {};
  }
  if (PyModule_AddObjectRef(module, attr, value.get()) < 0) return {};
  return value;
}

}  // namespace zuv
