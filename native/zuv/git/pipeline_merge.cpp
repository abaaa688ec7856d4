#include "zuv/git/pipeline_merge.hpp"

#include "merge/native_hooks.hpp"

namespace zuv::cli {

bool merge_pipeline(PyObject* base, PyObject* current, PyObject* incoming,
                    const std::string& label_path, merge::MergeResult& result) {
  merge::NativeHooks hooks;
  Ref label = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
      label_path.data(), static_cast<Py_ssize_t>(label_path.size())));
  return label && hooks.prepare() &&
         merge::merge_documents(base, current, incoming, label.get(), hooks, result);
}

}  // namespace zuv::cli
