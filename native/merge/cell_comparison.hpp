// What every cell comparison does before it compares.
#pragma once

#include "jsondiff/json_diff.hpp"
#include "py/ref.hpp"

namespace merge {

using zuv::Ref;

// Parent names are not part of a cell's identity: drops "name" from every
// parent reference of both records, in place (parents0 + parents1, in that
// order).  False with a Python exception set on failure.
bool drop_parent_names(PyObject* cell0, PyObject* cell1);

}  // namespace merge

namespace merge {

// The difference record of two records with its "outputs" entry dropped,
// computed without comparing the outputs: the full comparison's record minus
// that entry, wherever dropping the key from both cells gives the same
// record (both cells plain dicts that hold "outputs" and share another key;
// "execution_count" is dropped as the full comparison does).  Sets `applies`
// false where it does not; the caller then compares in full.  False with a
// Python exception on failure.
bool changed_outside_outputs(PyObject* older, PyObject* newer,
                             const zuv::json_diff::Symbols& symbols, bool& applies, Ref& record);

// Whether the full comparison's record would be non-empty, outputs
// included, answered by the engine's linear equality walk instead of a
// record.  Sets `applies` false where both cells are not plain dicts; the
// caller then compares in full.  False with a Python exception on failure.
bool differs_counting_outputs(PyObject* older, PyObject* newer,
                              const zuv::json_diff::Symbols& symbols, bool& applies, bool& differs);

}  // namespace merge
