// MergeCell, the merge-side cell record, and _cell_changed, the comparison of
// two versions of a cell.
#include "merge/cell_comparison.hpp"
#include "notebook_merge/merge.hpp"
#include "py/class_builder.hpp"

namespace merge {
namespace {

using zuv::Exact;
using zuv::FunctionSpec;
using zuv::Param;

const zuv::Names& n() { return zuv::names(); }

// The tags are read from the class bound to the module-level name
// `MergeCell`, not from the instance's class, so a subclass that redefines a
// tag does not change how a cell is tagged or marked.
Ref tag(PyObject* globals, PyObject* which) {
  Ref cls = zuv::global(globals, n().MergeCell);
  return cls ? zuv::getattr(cls.get(), which) : Ref{};
}

// `a == b` as a truth value, into `same`.
bool equals(PyObject* a, PyObject* b, bool& same) {
  int eq = PyObject_RichCompareBool(a, b, Py_EQ);
  same = eq > 0;
  return eq >= 0;
}

Ref merge_cell_init(const CallArgs& a) {
  PyObject* self = a[0];
  PyObject* cell = a[1];
  PyObject* file_type = a[2];
  Ref parent = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                       a.owner, self, nullptr));
  if (!parent) return {};
  Ref done = zuv::call_method(parent.get(), n().dunder_init, cell);
  if (!done) return {};
  if (zuv::assertions_enabled()) {
    bool known = false;
    for (PyObject* which : {n().BASE, n().CURRENT, n().INCOMING}) {
      Ref value = tag(a.globals, which);
      if (!value) return {};
      if (!equals(file_type, value.get(), known)) return {};
      if (known) break;
    }
    if (!known) {
      zuv::raise_assertion();
      return {};
    }
  }
  if (PyObject_SetAttr(self, n()._file_type, file_type) < 0) return {};
  return Ref::none();
}

Ref merge_cell_file_type(const CallArgs& a) {
  Ref stored = zuv::getattr(a[0], n()._file_type);
  if (!stored) return {};
  PyObject* which = n().BASE;
  bool eq = false;
  if (!equals(stored.get(), n().current, eq)) return {};
  if (eq) {
    which = n().CURRENT;
  } else {
    if (!equals(stored.get(), n().incoming, eq)) return {};
    if (eq) which = n().INCOMING;
  }
  Ref result = tag(a.globals, which);
  if (!result || !zuv::check_result(result.get(), &PyUnicode_Type, "unicode")) return {};
  return result;
}

// Prefixes the name with `mark` unless it already starts with it.
Ref mark_name(PyObject* self, PyObject* name, PyObject* mark) {
  Ref starts = zuv::call_method(name, n().startswith, mark);
  if (!starts) return {};
  int already = PyObject_IsTrue(starts.get());
  if (already < 0) return {};
  if (already) return Ref::none();
  Ref marked = Ref::steal(PyNumber_Add(mark, name));
  if (!marked || PyObject_SetAttr(self, n().name, marked.get()) < 0) return {};
  return Ref::none();
}

Ref merge_cell_add_conflict_mark(const CallArgs& a) {
  PyObject* self = a[0];
  Ref name = zuv::getattr(self, n().name);
  if (!name) return {};
  int named = PyObject_IsTrue(name.get());
  if (named <= 0) return named < 0 ? Ref{} : Ref::none();
  Ref file_type = zuv::getattr(self, n().file_type);
  if (!file_type) return {};
  for (auto [which, mark] :
       {std::pair{n().CURRENT, n().current_mark}, std::pair{n().INCOMING, n().incoming_mark}}) {
    Ref value = tag(a.globals, which);
    if (!value) return {};
    bool eq = false;
    if (!equals(file_type.get(), value.get(), eq)) return {};
    if (eq) {
      name = zuv::getattr(self, n().name);  // read afresh
      return name ? mark_name(self, name.get(), mark) : Ref{};
    }
  }
  return Ref::none();  // a base cell is never marked
}

// jsondiff.diff(a, b) through the module global, as Python code would.  While
// that still leads to the function imported at load, the native engine
// computes the very same result; a substituted module or function is called.
Ref compute_diff(const ModuleState& state, PyObject* globals, PyObject* old_data,
                 PyObject* new_data) {
  Ref jsondiff = zuv::global(globals, n().jsondiff);
  if (!jsondiff) return {};
  Ref diff = zuv::getattr(jsondiff.get(), n().diff);
  if (!diff) return {};
  if (state.jsondiff && jsondiff.get() == state.jsondiff.get() && diff.get() == state.diff.get())
    return zuv::json_diff::diff(old_data, new_data, state.symbols.get());
  return zuv::call(diff.get(), old_data, new_data);
}

Ref cell_changed_impl(const CallArgs& a) {
  return cell_changed(module_state(a), a.globals, a[0], a[1]);
}

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

Ref cell_changed(const ModuleState& state, PyObject* globals, PyObject* cell0, PyObject* cell1) {
  if (!drop_parent_names(cell0, cell1)) return {};

  Ref data0 = zuv::getattr(cell0, n().data);
  if (!data0) return {};
  Ref data1 = zuv::getattr(cell1, n().data);
  if (!data1) return {};
  Ref cell_diff = compute_diff(state, globals, data0.get(), data1.get());
  if (!cell_diff || !zuv::check_result(cell_diff.get(), &PyDict_Type, "dict")) return {};
  if (cell_diff.get() == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "pop");
    return {};
  }
  if (PyDict_DelItem(cell_diff.get(), n().execution_count) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
    PyErr_Clear();
  }
  Ref logging = zuv::global(globals, n().logging);
  if (!logging || !zuv::call_method(logging.get(), n().debug, cell_diff.get())) return {};
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
