// The pipeline merge of three parsed notebooks, for the merge driver.
#pragma once

#include <string>

#include "merge/merge_documents.hpp"
#include "merge/native_hooks.hpp"
#include "py/ref.hpp"

namespace zuv::cli {

// The settings of one merge's source merges, read from git's configuration
// once: `zuv.sourceMerge` ("auto", the default, or "process"), and
// merge.conflictStyle as `git merge-file` reads it (only inside a
// repository).
merge::SourceMergeSettings read_source_merge_settings();

// The merged document and the conflicts this merge created, by the rules
// and the merge core of `merge_files`, with hooks that merge cell sources in
// memory where libgit2 writes git's bytes (the conflict style git would use
// here, `marker_size` markers) and through `git merge-file` elsewhere, or
// everywhere when `zuv.sourceMerge` is "process".  `label_path` (the
// notebook's path in the repository) forms the conflict labels.  The
// inputs' objects are shared with the result and may change.  False with
// the Python exception the merge raised.
bool merge_pipeline(PyObject* base, PyObject* current, PyObject* incoming,
                    const std::string& label_path, int marker_size, merge::MergeResult& result);

}  // namespace zuv::cli
