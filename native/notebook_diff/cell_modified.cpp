// _cell_modified: whether a diff cell's source differs from its previous
// source, as `difflib.unified_diff` sees it.
#include "notebook_diff/records.hpp"

namespace diff {
namespace {

PyObject* original_unified_diff = nullptr;   // as imported; lives with the process
PyObject* cell_modified_function = nullptr;  // our _cell_modified; lives with the process

// Lists whose elements are all exact str compare like unified_diff compares
// them, so its answer is known without running it: no lines for equal
// lists, at least the header lines otherwise.  -1: not such lists.
int known_difference(PyObject* before, PyObject* after) {
  if (!PyList_CheckExact(before) || !PyList_CheckExact(after)) return -1;
  for (PyObject* lines : {before, after})
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i)
      if (!PyUnicode_CheckExact(PyList_GET_ITEM(lines, i))) return -1;
  Py_ssize_t n = PyList_GET_SIZE(before);
  if (n != PyList_GET_SIZE(after)) return 1;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* old_line = PyList_GET_ITEM(before, i);
    PyObject* new_line = PyList_GET_ITEM(after, i);
    if (old_line != new_line && PyUnicode_Compare(old_line, new_line) != 0) return 1;
  }
  return 0;
}

int run_unified_diff(PyObject* unified_diff, PyObject* before, PyObject* after) {
  Ref lines = zuv::call(unified_diff, before, after);
  if (!lines) return -1;
  Ref udiff = Ref::steal(PySequence_List(lines.get()));
  if (!udiff) return -1;
  return PyList_GET_SIZE(udiff.get()) > 0;
}

Ref cell_modified_impl(const CallArgs& a) {
  int modified = cell_modified(a.globals, a[0]);
  if (modified < 0) return {};
  return Ref::borrow(modified ? Py_True : Py_False);
}

constexpr zuv::Param kParams[] = {{"cell", "DiffCell"}};
constexpr zuv::FunctionSpec kCellModified{"_cell_modified", nullptr, kParams, "bool",
                                          cell_modified_impl};

}  // namespace

bool remember_unified_diff(PyObject* module) {
  if (original_unified_diff) return true;
  Ref difflib = zuv::getattr(module, names().difflib);
  Ref unified_diff = difflib ? zuv::getattr(difflib.get(), names().unified_diff) : Ref{};
  if (!unified_diff) return false;
  original_unified_diff = unified_diff.release();
  return true;
}

int cell_modified(PyObject* globals, PyObject* cell) {
  Ref difflib = zuv::global(globals, names().difflib);
  if (!difflib) return -1;
  Ref unified_diff = zuv::getattr(difflib.get(), names().unified_diff);
  if (!unified_diff) return -1;
  Ref before = read_member(cell, names().prev_source);
  if (!before) return -1;
  Ref after = read_member(cell, names().source);
  if (!after) return -1;
  if (unified_diff.get() == original_unified_diff) {
    int known = known_difference(before.get(), after.get());
    if (known >= 0) return known;
  }
  return run_unified_diff(unified_diff.get(), before.get(), after.get());
}

int call_cell_modified(PyObject* globals, PyObject* cell) {
  Ref function = zuv::global(globals, names().cell_modified);
  if (!function) return -1;
  if (function.get() == cell_modified_function) return cell_modified(globals, cell);
  Ref result = zuv::call(function.get(), cell);
  return result ? PyObject_IsTrue(result.get()) : -1;
}

bool add_cell_modified(PyObject* module) {
  Ref function = zuv::make_function(kCellModified, module);
  if (!function || PyModule_AddObjectRef(module, kCellModified.name, function.get()) < 0)
    return false;
  if (!cell_modified_function) cell_modified_function = function.release();
  return true;
}

}  // namespace diff
