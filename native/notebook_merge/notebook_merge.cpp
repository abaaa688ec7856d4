// zuv_weft_git.drivers.notebook_merge: three-way merge of notebook files.
#include "notebook_merge/merge.hpp"
#include "py/module.hpp"

namespace merge {

JsondiffOriginal& jsondiff_original() {
  static JsondiffOriginal original;
  return original;
}

ModuleOriginals& module_originals() {
  static ModuleOriginals originals;
  return originals;
}

namespace {

// The module's own MergeCell, _cell_changed, _merge_source and logging.
// References kept for the life of the process, like the module's.
bool remember_originals(PyObject* module) {
  ModuleOriginals& originals = module_originals();
  if (originals.merge_cell) return true;
  Ref merge_cell = zuv::getattr(module, "MergeCell");
  Ref cell_changed = merge_cell ? zuv::getattr(module, "_cell_changed") : Ref{};
  Ref merge_source = cell_changed ? zuv::getattr(module, "_merge_source") : Ref{};
  Ref logging = merge_source ? zuv::getattr(module, "logging") : Ref{};
  if (!logging) return false;
  originals = {merge_cell.release(), cell_changed.release(), merge_source.release(),
               logging.release()};
  return true;
}

// Remembers what `jsondiff` offered at import.  These references live as
// long as the process, like the module objects they come from.
bool remember_jsondiff(PyObject* module) {
  JsondiffOriginal& original = jsondiff_original();
  if (original.diff) return true;
  Ref jsondiff = zuv::getattr(module, zuv::names().jsondiff);
  Ref diff = jsondiff ? zuv::getattr(jsondiff.get(), zuv::names().diff) : Ref{};
  zuv::json_diff::Symbols symbols;
  if (!diff || !zuv::json_diff::import_symbols(symbols)) return false;
  original.module = jsondiff.release();
  original.diff = diff.release();
  original.symbols = symbols;
  return true;
}

PyModuleDef module_def = zuv::module_definition(
    "notebook_merge",
    "Three-way merge of pipeline-canvas notebooks, for use as a git merge driver.");

bool fill_module(PyObject* module) {
  for (const char* name :
       {"json", "logging", "os", "tempfile", "uuid", "typing", "git", "jsondiff"})
    if (!zuv::import_global(module, name)) return false;
  Ref cell = zuv::import_sibling(module, "common", "Cell");
  return cell && remember_jsondiff(module) && add_merge_cell(module, cell.get()) &&
         add_cell_changed(module) && add_merge_files(module) && add_merge_source(module) &&
         add_merge_rules(module) && remember_originals(module);
}

}  // namespace
}  // namespace merge

PyMODINIT_FUNC PyInit_notebook_merge() {
  return zuv::create_module(merge::module_def, merge::fill_module);
}
