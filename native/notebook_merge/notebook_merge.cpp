// zuv_weft_git.drivers.notebook_merge: three-way merge of notebook files.
#include "notebook_merge/merge.hpp"
#include "py/module.hpp"

namespace merge {

int ModuleState::traverse(visitproc visit, void* arg) const {
  for (const Ref* held : {&jsondiff, &diff, &merge_cell, &cell_changed, &merge_source, &logging})
    Py_VISIT(held->get());
  return symbols.traverse(visit, arg);
}

void ModuleState::clear() {
  for (Ref* held : {&jsondiff, &diff, &merge_cell, &cell_changed, &merge_source, &logging})
    held->reset();
  symbols.clear();
}

const ModuleState& module_state(const CallArgs& a) {
  static const ModuleState kNone;  // a function outliving its module's state: no shortcuts
  const ModuleState* state = zuv::module_state<ModuleState>(a.module);
  return state ? *state : kNone;
}

namespace {

// The module's own MergeCell, _cell_changed, _merge_source and logging.
bool remember_originals(PyObject* module, ModuleState& state) {
  Ref merge_cell = zuv::getattr(module, "MergeCell");
  Ref cell_changed = merge_cell ? zuv::getattr(module, "_cell_changed") : Ref{};
  Ref merge_source = cell_changed ? zuv::getattr(module, "_merge_source") : Ref{};
  Ref logging = merge_source ? zuv::getattr(module, "logging") : Ref{};
  if (!logging) return false;
  state.merge_cell = merge_cell;
  state.cell_changed = cell_changed;
  state.merge_source = merge_source;
  state.logging = logging;
  return true;
}

// Remembers what `jsondiff` offered at import.
bool remember_jsondiff(PyObject* module, ModuleState& state) {
  Ref jsondiff = zuv::getattr(module, zuv::names().jsondiff);
  Ref diff = jsondiff ? zuv::getattr(jsondiff.get(), zuv::names().diff) : Ref{};
  if (!diff || !state.symbols.import_jsondiff()) return false;
  state.jsondiff = jsondiff;
  state.diff = diff;
  return true;
}

bool fill_module(PyObject* module, ModuleState& state) {
  for (const char* name :
       {"json", "logging", "os", "tempfile", "uuid", "typing", "git", "jsondiff"})
    if (!zuv::import_global(module, name)) return false;
  Ref cell = zuv::import_sibling(module, "common", "Cell");
  return cell && remember_jsondiff(module, state) && add_merge_cell(module, cell.get()) &&
         add_cell_changed(module) && add_merge_files(module) && add_merge_source(module) &&
         remember_originals(module, state);
}

}  // namespace
}  // namespace merge

PyMODINIT_FUNC PyInit_notebook_merge() {
  return zuv::init_module<merge::ModuleState, merge::fill_module>(
      "notebook_merge",
      "Three-way merge of pipeline-canvas notebooks, for use as a git merge driver.");
}
