// The pipeline merge of three parsed notebooks, for the merge driver.
#pragma once

#include <string>

#include "merge/merge_documents.hpp"
#include "py/ref.hpp"

namespace zuv::cli {

// The merged document and the conflicts this merge created, by the rules
// and the merge core of `merge_files`, with hooks that import GitPython only
// for a source merge.  `label_path` (the notebook's path in the repository)
// forms the conflict labels.  The inputs' objects are shared with the
// result and may change.  False with the Python exception the merge raised.
bool merge_pipeline(PyObject* base, PyObject* current, PyObject* incoming,
                    const std::string& label_path, merge::MergeResult& result);

}  // namespace zuv::cli
