// merge_files: the three-way notebook merge, from the three files to the
// merged notebook written over the current file.  The merge itself is in
// merge/merge_documents.cpp; here it runs with the module's globals as its
// hooks, so that Python code may substitute the records, the cell
// comparison, the source merge, `json`, `git` and `uuid`.
#include "merge/merge_documents.hpp"
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

constexpr Param kParams[] = {
    {"base_file_path", "str", Exact::str},
    {"current_file_path", "str", Exact::str},
    {"incoming_file_path", "str", Exact::str},
    {"file_path", "str", Exact::str},
};
constexpr FunctionSpec kMergeFiles{"merge_files", "Ipython Notebook Merge Driver main", kParams,
                                   "None", merge_files_impl};

}  // namespace

bool add_merge_files(PyObject* module) { return zuv::add_function(module, kMergeFiles); }

}  // namespace merge
