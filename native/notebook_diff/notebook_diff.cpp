// zuv_weft_git.drivers.notebook_diff: comparison of two notebook documents.
#include "notebook_diff/diff.hpp"
#include "py/module.hpp"

namespace diff {

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

PyModuleDef module_def = zuv::module_definition(
    "notebook_diff", "Comparison of two pipeline-canvas notebook documents into a diff document.");

bool fill_module(PyObject* module) {
  if (!zuv::import_global(module, "difflib") || !remember_unified_diff(module) ||
      !import_typing_names(module))
    return false;
  Ref cell = zuv::import_sibling(module, "common", "Cell");
  return cell && add_diff_cell(module, cell.get()) && add_cell_modified(module) &&
         add_diff_parameter(module) && add_diff_dicts(module);
}

}  // namespace
}  // namespace diff

PyMODINIT_FUNC PyInit_notebook_diff() {
  return zuv::create_module(diff::module_def, diff::fill_module);
}
