// One cell's source merge in memory (merge/text_merge.hpp), returning the
// lines the `git merge-file` route (merge/source_merge.hpp) returns for the
// same call: the same bytes in, the same labels on the blocks, the same
// decoding into lines.
#pragma once

#include "merge/text_merge.hpp"
#include "py/ref.hpp"

namespace merge {

using zuv::Ref;

enum class InProcess {
  merged,    // `lines` and `opened` hold the result
  declined,  // nothing happened: the process route gives git's answer
  failed,    // a Python exception is set
};

// Merges the source lists like `merge_source` with labels `current_label`
// and `incoming_label` (the base label derived from the current one).
// Declines, with no exception set, wherever the process route could answer
// differently: sources that are not lists of str or not UTF-8 encodable,
// labels it would leave as git's own or that could not be written on one
// line, and whatever `merge_text` declines.  `opened` is 0 for a clean merge
// and at least 1 for a conflicting one.
InProcess merge_source_in_process(PyObject* current, PyObject* base, PyObject* incoming,
                                  PyObject* current_label, PyObject* incoming_label,
                                  ConflictStyle style, int marker_size, Ref& lines,
                                  Py_ssize_t& opened);

}  // namespace merge
