// merge_files: the three-way notebook merge, from the three files to the
// merged notebook written over the current file.  The merge itself is in
// merge/merge_documents.cpp; here it runs with the module's globals as its
// hooks, so that Python code may substitute the records, the cell
// comparison, the source merge, `json`, `git` and `uuid`.
#include "io/atomic_write.hpp"
#include "merge/merge_documents.hpp"
#include "merge/native_hooks.hpp"
#include "notebook_merge/merge.hpp"
#include "notebook_merge/module_hooks.hpp"
#include "py/collector_pause.hpp"

namespace merge {
namespace {

using zuv::Exact;
using zuv::FunctionSpec;
using zuv::Param;

// The whole merge driver: loads the three files (current, base, incoming),
// merges them and replaces the current file with the merged notebook, which
// is serialised before the file is touched.
bool merge_files(PyObject* base_path, PyObject* current_path, PyObject* incoming_path,
                 PyObject* file_path, Hooks& hooks, ConflictReport& conflicts) {
  zuv::CollectorPause pause;
  if (!hooks.prepare()) return false;
  Ref current = hooks.load(current_path);
  Ref base = current ? hooks.load(base_path) : Ref{};
  Ref incoming = base ? hooks.load(incoming_path) : Ref{};
  if (!incoming) return false;
  MergeResult result;
  if (!merge_documents(base.get(), current.get(), incoming.get(), file_path, hooks, result))
    return false;
  // Serialise everything before the file is touched.
  Ref text = hooks.dumps(result.document.get());
  Ref encoded = text ? Ref::steal(PyUnicode_AsUTF8String(text.get())) : Ref{};
  Ref path = encoded ? Ref::steal(PyUnicode_EncodeFSDefault(current_path)) : Ref{};
  if (!path) return false;
  if (!zuv::io::replace_file(PyBytes_AS_STRING(path.get()), PyBytes_AS_STRING(encoded.get()),
                             PyBytes_GET_SIZE(encoded.get())))
    return false;
  conflicts = result.conflicts;
  return true;
}

Ref report_tuple(const ConflictReport& report) {
  return Ref::steal(Py_BuildValue("(nnnn)", report.copies_beside, report.marked_cells,
                                  report.marked_parameters, report.source_blocks));
}

// The conflicts of this thread's last successful merge_files, for the
// command-line driver, which calls merge_files itself so that a failure's
// traceback names it.
thread_local ConflictReport last_report;

Ref merge_files_impl(const CallArgs& a) {
  ModuleHooks hooks(a.globals, module_state(a));
  last_report = {};
  ConflictReport report;
  if (!merge_files(a[0], a[1], a[2], a[3], hooks, report)) return {};
  last_report = report;
  return Ref::none();
}

Ref last_conflicts_impl(const CallArgs&) { return report_tuple(last_report); }

constexpr FunctionSpec kLastConflicts{
    "_last_conflicts",
    "The conflicts this thread's last merge_files created: (copies placed beside their cells, "
    "marked cell names, marked parameter names, source conflict blocks)",
    {},
    "Tuple[int, int, int, int]",
    last_conflicts_impl};

// The same merge, answering with the conflicts it created:
// (copies placed beside their cells, marked cell names, marked parameter
// names, source conflict blocks), marks and blocks the inputs held aside.
// With `native` true it runs with the native hooks instead of the module
// globals.  For the command-line driver and tests.
Ref merge_and_count_impl(const CallArgs& a) {
  ConflictReport report;
  int native = a[4] == Py_None ? 0 : PyObject_IsTrue(a[4]);
  if (native < 0) return {};
  bool done;
  if (native) {
    NativeHooks hooks;
    done = merge_files(a[0], a[1], a[2], a[3], hooks, report);
  } else {
    ModuleHooks hooks(a.globals, module_state(a));
    done = merge_files(a[0], a[1], a[2], a[3], hooks, report);
  }
  if (!done) return {};
  return report_tuple(report);
}

constexpr Param kCountParams[] = {
    {"base_file_path", "str", Exact::str},
    {"current_file_path", "str", Exact::str},
    {"incoming_file_path", "str", Exact::str},
    {"file_path", "str", Exact::str},
    {"native", "Optional[bool]", Exact::any, true, true},
};
constexpr FunctionSpec kMergeAndCount{
    "_merge_and_count", "merge_files, returning the conflicts this merge created", kCountParams,
    "Tuple[int, int, int, int]", merge_and_count_impl};

constexpr Param kParams[] = {
    {"base_file_path", "str", Exact::str},
    {"current_file_path", "str", Exact::str},
    {"incoming_file_path", "str", Exact::str},
    {"file_path", "str", Exact::str},
};
constexpr FunctionSpec kMergeFiles{"merge_files", "Ipython Notebook Merge Driver main", kParams,
                                   "None", merge_files_impl};

}  // namespace

bool add_merge_files(PyObject* module) {
  return zuv::add_function(module, kMergeFiles) && zuv::add_function(module, kMergeAndCount) &&
         zuv::add_function(module, kLastConflicts);
}

}  // namespace merge
