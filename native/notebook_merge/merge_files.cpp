// merge_files: the three-way notebook merge, from the three files to the
// merged notebook written over the current file.  The merge itself is in
// merge/merge_documents.cpp; here it runs with the module's globals as its
// hooks, so that Python code may substitute the records, the cell
// comparison, the source merge, `json`, `git` and `uuid`.
#include "merge/merge_documents.hpp"
#include "merge/native_hooks.hpp"
#include "notebook_merge/merge.hpp"
#include "notebook_merge/module_hooks.hpp"

namespace merge {
namespace {

using zuv::Exact;
using zuv::FunctionSpec;
using zuv::Param;

Ref merge_files_impl(const CallArgs& a) {
  ModuleHooks hooks(a.globals);
  if (!merge_files(a[0], a[1], a[2], a[3], hooks, nullptr)) return {};
  return Ref::none();
}

// The same merge, answering with the conflicts it created:
// (copies placed beside their cells, marked names, source conflict blocks).
// With `native` true it runs with the native hooks instead of the module
// globals.  For the command-line driver and tests.
Ref merge_and_count_impl(const CallArgs& a) {
  ConflictReport report;
  int native = a[4] == Py_None ? 0 : PyObject_IsTrue(a[4]);
  if (native < 0) return {};
  bool done;
  if (native) {
    NativeHooks hooks;
    done = merge_files(a[0], a[1], a[2], a[3], hooks, &report);
  } else {
    ModuleHooks hooks(a.globals);
    done = merge_files(a[0], a[1], a[2], a[3], hooks, &report);
  }
  if (!done) return {};
  return Ref::steal(
      Py_BuildValue("(nnn)", report.copies_beside, report.marked_names, report.source_blocks));
}

constexpr Param kCountParams[] = {
    {"base_file_path", "str", Exact::str},
    {"current_file_path", "str", Exact::str},
    {"incoming_file_path", "str", Exact::str},
    {"file_path", "str", Exact::str},
    {"native", "Optional[bool]", Exact::any, true, true},
};
constexpr FunctionSpec kMergeAndCount{"_merge_and_count",
                                      "merge_files, returning the conflicts this merge created",
                                      kCountParams, "Tuple[int, int, int]", merge_and_count_impl};

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
  return zuv::add_function(module, kMergeFiles) && zuv::add_function(module, kMergeAndCount);
}

}  // namespace merge
