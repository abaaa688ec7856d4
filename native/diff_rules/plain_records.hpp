// The diff records straight on the JSON objects: a DiffCell is its cell
// object, a DiffParameter its parameter object, each field where the
// module's record keeps it; a source is modified as the module's stock
// `_cell_modified` answers.  For the views that need no module globals.
#pragma once

#include "diff_rules/diff_records.hpp"

namespace diff {

// What `diff_dicts(prev, current)` returns while the module's globals are
// the stock ones (prev and current exact dicts; both are written to as
// diff_dicts writes to them).
Ref diff_plain(PyObject* prev, PyObject* current);

}  // namespace diff
