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

bool fill_module(PyObject* module, ModuleState& state) {
  if (!zuv::import_global(module, "difflib") || !remember_unified_diff(module, state) ||
      !import_typing_names(module))
    return false;
  Ref cell = zuv::import_sibling(module, "common", "Cell");
  return cell && add_diff_cell(module, cell.get(), state) && add_cell_modified(module, state) &&
         add_diff_parameter(module, state) && add_diff_dicts(module);
}

}  // namespace
}  // namespace diff

PyMODINIT_FUNC PyInit_notebook_diff() {
  return zuv::init_module<diff::ModuleState, diff::fill_module>(
      "notebook_diff",
      "Comparison of two pipeline-canvas notebook documents into a diff document.");
}
