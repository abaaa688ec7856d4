// _cell_modified: whether a diff cell's source differs from its previous
// source, as `difflib.unified_diff` sees it.
#include "diff_rules/diff_records.hpp"
#include "notebook_diff/records.hpp"
#include "py/module.hpp"

namespace diff {
namespace {

bool run_unified_diff(PyObject* unified_diff, PyObject* before, PyObject* after, bool& modified) {
  Ref lines = zuv::call(unified_diff, before, after);
  if (!lines) return false;
  Ref udiff = Ref::steal(PySequence_List(lines.get()));
  if (!udiff) return false;
  modified = PyList_GET_SIZE(udiff.get()) > 0;
  return true;
}

Ref cell_modified_impl(const CallArgs& a) {
  bool modified = false;
  if (!cell_modified(module_state(a), a.globals, a[0], modified)) return {};
  return Ref::borrow(modified ? Py_True : Py_False);
}

constexpr zuv::Param kParams[] = {{"cell", "DiffCell"}};
constexpr zuv::FunctionSpec kCellModified{"_cell_modified", nullptr, kParams, "bool",
                                          cell_modified_impl};

}  // namespace

const ModuleState& module_state(const CallArgs& a) {
  static const ModuleState kNone;
  const ModuleState* state = zuv::module_state<ModuleState>(a.module);
  return state ? *state : kNone;
}

bool remember_unified_diff(PyObject* module, ModuleState& state) {
  Ref difflib = zuv::getattr(module, names().difflib);
  Ref unified_diff = difflib ? zuv::getattr(difflib.get(), names().unified_diff) : Ref{};
  if (!unified_diff) return false;
  state.unified_diff = unified_diff;
  return true;
}

bool cell_modified(const ModuleState& state, PyObject* globals, PyObject* cell, bool& modified) {
  Ref difflib = zuv::global(globals, names().difflib);
  if (!difflib) return false;
  Ref unified_diff = zuv::getattr(difflib.get(), names().unified_diff);
  if (!unified_diff) return false;
  Ref before = read_member(cell, names().prev_source);
  if (!before) return false;
  Ref after = read_member(cell, names().source);
  if (!after) return false;
  if (state.unified_diff && unified_diff.get() == state.unified_diff.get()) {
    if (known_difference(before.get(), after.get(), modified)) return true;
  }
  return run_unified_diff(unified_diff.get(), before.get(), after.get(), modified);
}

bool call_cell_modified(const ModuleState& state, PyObject* globals, PyObject* cell,
                        bool& modified) {
  Ref function = zuv::global(globals, names()._cell_modified);
  if (!function) return false;
  if (state.cell_modified && function.get() == state.cell_modified.get())
    return cell_modified(state, globals, cell, modified);
  Ref result = zuv::call(function.get(), cell);
  int truth = result ? PyObject_IsTrue(result.get()) : -1;
  modified = truth > 0;
  return truth >= 0;
}

bool add_cell_modified(PyObject* module, ModuleState& state) {
  Ref function = zuv::make_function(kCellModified, module);
  if (!function || PyModule_AddObjectRef(module, kCellModified.name, function.get()) < 0)
    return false;
  state.cell_modified = function;
  return true;
}

}  // namespace diff
