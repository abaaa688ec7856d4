// MergeCell, the merge-side cell record, and _cell_changed, the comparison of
// two versions of a cell.
#include "notebook_merge/merge.hpp"
#include "py/class_builder.hpp"

namespace merge {
namespace {

using zuv::Exact;
using zuv::FunctionSpec;
using zuv::Param;

// The tags are read from the class bound to the module-level name
// `MergeCell`, not from the instance's class, so a subclass that redefines a
// tag does not change how a cell is tagged or marked.
Ref tag(PyObject* globals, PyObject* which) {
  Ref cls = zuv::global(globals, names().merge_cell);
  return cls ? zuv::getattr(cls.get(), which) : Ref{};
}

// `a == b` as a truth value; -1 on error.
int equals(PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_EQ); }

Ref merge_cell_init(const CallArgs& a) {
  PyObject* self = a[0];
  PyObject* cell = a[1];
  PyObject* file_type = a[2];
  Ref parent = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                       a.owner, self, nullptr));
  if (!parent) return {};
  Ref done = zuv::call_method(parent.get(), names().init, cell);
  if (!done) return {};
  if (zuv::assertions_enabled()) {
    bool known = false;
    for (PyObject* which : {names().base, names().current, names().incoming}) {
      Ref value = tag(a.globals, which);
      if (!value) return {};
      int eq = equals(file_type, value.get());
      if (eq < 0) return {};
      if (eq) {
        known = true;
        break;
      }
    }
    if (!known) {
      zuv::raise_assertion();
      return {};
    }
  }
  if (PyObject_SetAttr(self, names().file_type_attr, file_type) < 0) return {};
  return Ref::none();
}

Ref merge_cell_file_type(const CallArgs& a) {
  Ref stored = zuv::getattr(a[0], names().file_type_attr);
  if (!stored) return {};
  PyObject* which = names().base;
  int eq = equals(stored.get(), names().current_tag);
  if (eq < 0) return {};
  if (eq) {
    which = names().current;
  } else {
    eq = equals(stored.get(), names().incoming_tag);
    if (eq < 0) return {};
    if (eq) which = names().incoming;
  }
  Ref result = tag(a.globals, which);
  if (!result || !zuv::check_result(result.get(), &PyUnicode_Type, "unicode")) return {};
  return result;
}

// Prefixes the name with `mark` unless it already starts with it.
Ref mark_name(PyObject* self, PyObject* name, PyObject* mark) {
  static PyObject* const startswith = zuv::interned("startswith");
  Ref starts = zuv::call_method(name, startswith, mark);
  if (!starts) return {};
  int already = PyObject_IsTrue(starts.get());
  if (already < 0) return {};
  if (already) return Ref::none();
  Ref marked = Ref::steal(PyNumber_Add(mark, name));
  if (!marked || PyObject_SetAttr(self, names().name, marked.get()) < 0) return {};
  return Ref::none();
}

Ref merge_cell_add_conflict_mark(const CallArgs& a) {
  PyObject* self = a[0];
  Ref name = zuv::getattr(self, names().name);
  if (!name) return {};
  int named = PyObject_IsTrue(name.get());
  if (named <= 0) return named < 0 ? Ref{} : Ref::none();
  Ref file_type = zuv::getattr(self, names().file_type);
  if (!file_type) return {};
  for (auto [which, mark] : {std::pair{names().current, names().current_mark},
                             std::pair{names().incoming, names().incoming_mark}}) {
    Ref value = tag(a.globals, which);
    if (!value) return {};
    int eq = equals(file_type.get(), value.get());
    if (eq < 0) return {};
    if (eq) {
      name = zuv::getattr(self, names().name);  // read afresh
      return name ? mark_name(self, name.get(), mark) : Ref{};
    }
  }
  return Ref::none();  // a base cell is never marked
}

// jsondiff.diff(a, b) through the module global, as Python code would.  While
// that still leads to the function imported at load, the native engine
// computes the very same result; a substituted module or function is called.
Ref compute_diff(PyObject* globals, PyObject* old_data, PyObject* new_data) {
  Ref jsondiff = zuv::global(globals, names().jsondiff);
  if (!jsondiff) return {};
  Ref diff = zuv::getattr(jsondiff.get(), names().diff);
  if (!diff) return {};
  const JsondiffOriginal& original = jsondiff_original();
  if (jsondiff.get() == original.module && diff.get() == original.diff)
    return zuv::json_diff::diff(old_data, new_data, original.symbols);
  return zuv::call(diff.get(), old_data, new_data);
}

Ref cell_changed_impl(const CallArgs& a) { return cell_changed(a.globals, a[0], a[1]); }

constexpr Param kSelf{"self", nullptr};
constexpr Param kInitParams[] = {
    kSelf, {"cell", "Dict[str, Any]", Exact::dict}, {"file_type", "str", Exact::str}};
constexpr Param kSelfOnly[] = {kSelf};
constexpr Param kCellChangedParams[] = {{"cell0", "Cell"}, {"cell1", "Cell"}};

constexpr FunctionSpec kInit{"__init__", nullptr, kInitParams, "None", merge_cell_init};
constexpr FunctionSpec kFileType{"file_type", "The file type that contains the cell", kSelfOnly,
                                 "str", merge_cell_file_type};
constexpr FunctionSpec kAddConflictMark{"add_conflict_mark",
                                        "Change name adding '<<< ' when current cell.\n"
                                        "        Change name adding '>>> ' when incoming cell.\n"
                                        "        ",
                                        kSelfOnly, "None", merge_cell_add_conflict_mark};
constexpr FunctionSpec kCellChanged{"_cell_changed", nullptr, kCellChangedParams, "Dict[str, Any]",
                                    cell_changed_impl};

}  // namespace

Ref cell_changed(PyObject* globals, PyObject* cell0, PyObject* cell1) {
  // Parent names are not part of a cell's identity: drop them, in place.
  Ref parents0 = zuv::getattr(cell0, names().parents);
  if (!parents0) return {};
  Ref parents1 = zuv::getattr(cell1, names().parents);
  if (!parents1) return {};
  Ref all_parents = Ref::steal(PyNumber_Add(parents0.get(), parents1.get()));
  if (!all_parents) return {};
  Ref iter = Ref::steal(PyObject_GetIter(all_parents.get()));
  if (!iter) return {};
  while (Ref parent = Ref::steal(PyIter_Next(iter.get()))) {
    if (!zuv::call_method(parent.get(), names().pop, names().name, Py_None)) return {};
  }
  if (PyErr_Occurred()) return {};

  Ref data0 = zuv::getattr(cell0, names().data);
  if (!data0) return {};
  Ref data1 = zuv::getattr(cell1, names().data);
  if (!data1) return {};
  Ref cell_diff = compute_diff(globals, data0.get(), data1.get());
  if (!cell_diff || !zuv::check_result(cell_diff.get(), &PyDict_Type, "dict")) return {};
  if (cell_diff.get() == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "pop");
    return {};
  }
  if (PyDict_DelItem(cell_diff.get(), names().execution_count) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
    PyErr_Clear();
  }
  Ref logging = zuv::global(globals, names().logging);
  if (!logging || !zuv::call_method(logging.get(), names().debug, cell_diff.get())) return {};
  return cell_diff;
}

bool add_merge_cell(PyObject* module, PyObject* cell_class) {
  zuv::ClassBuilder builder(module, "MergeCell",
                            "Data structure to represent a cell that undergos merge process.");
  builder.constant("BASE", "base")
      .constant("CURRENT", "current")
      .constant("INCOMING", "incoming")
      .method(kInit)
      .property(kFileType)
      .method(kAddConflictMark);
  return static_cast<bool>(builder.build(cell_class));
}

bool add_cell_changed(PyObject* module) { return zuv::add_function(module, kCellChanged); }

}  // namespace merge
