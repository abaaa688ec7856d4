// _merge_source: the module function over the source merge of the merge core
// (merge/source_merge.cpp), which looks up `tempfile`, `os` and `git` in this
// module's globals at every call.
#include "merge/source_merge.hpp"
#include "notebook_merge/merge.hpp"

namespace merge {
namespace {

Ref merge_source_impl(const CallArgs& a) {
  ProcessMerge how;
  return merge_source(a.globals, a[0], a[1], a[2], a[3], a[4], a[5], how);
}

constexpr zuv::FunctionSpec kMergeSource{"_merge_source", nullptr, kMergeSourceParams, "List[str]",
                                         merge_source_impl};

}  // namespace

bool add_merge_source(PyObject* module) { return zuv::add_function(module, kMergeSource); }

}  // namespace merge
