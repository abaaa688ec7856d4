// zuv_weft_git.drivers.notebook_diff: comparison of two notebook documents.
#include "notebook_diff/diff.hpp"

namespace diff {

const Names& names() {
  static const Names n;
  return n;
}

namespace {

// `from typing import Any, Dict, List`: the names the annotations use.
bool import_typing_names(PyObject* module) {
  Ref typing = Ref::steal(PyImport_ImportModule("typing"));
  if (!typing) return false;
  for (const char* name : {"Any", "Dict", "List"}) {
    Ref value = zuv::getattr(typing.get(), name);
    if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0) return false;
  }
  return true;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "notebook_diff",
    "Comparison of two pipeline-canvas notebook documents into a diff document.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace diff

PyMODINIT_FUNC PyInit_notebook_diff() {
  diff::names();
  if (PyErr_Occurred()) return nullptr;
  diff::Ref module = diff::Ref::steal(PyModule_Create(&diff::module_def));
  if (!module) return nullptr;
  if (!zuv::import_global(module.get(), "difflib") || !diff::remember_unified_diff(module.get()) ||
      !diff::import_typing_names(module.get()))
    return nullptr;
  diff::Ref cell = zuv::import_sibling(module.get(), "common", "Cell");
  if (!cell || !diff::add_diff_cell(module.get(), cell.get()) ||
      !diff::add_cell_modified(module.get()) || !diff::add_diff_parameter(module.get()) ||
      !diff::add_diff_dicts(module.get()))
    return nullptr;
  return module.release();
}
