#include "zuv/pipeline_merge.hpp"

#include "merge/merge_documents.hpp"
#include "merge/native_hooks.hpp"

namespace zuv::cli {

Ref merge_pipeline(PyObject* base, PyObject* current, PyObject* incoming,
                   const std::string& label_path) {
  merge::NativeHooks hooks;
  Ref label = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
      label_path.data(), static_cast<Py_ssize_t>(label_path.size())));
  merge::MergeResult result;
  if (!label || !hooks.prepare() ||
      !merge::merge_documents(base, current, incoming, label.get(), hooks, result))
    return {};
  return result.document;
}

}  // namespace zuv::cli
