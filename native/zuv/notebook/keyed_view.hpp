// Notebooks whose cells lack canvas ids, as the pipeline views read them.
#pragma once

#include "py/ref.hpp"

namespace zuv::cli {

// The two documents of a diff as the pipeline diff can read them.  A cell
// without a canvas id (a plain notebook's, or one added in stock Jupyter)
// takes part under a stand-in canvas, matched between the two as the cell
// merge matches it: by its nbformat id where every such cell of both has
// one, else by the merge's alignment (`#N` after its place among such cells
// of the old document; `new #N` for one only the new document has).  Named
// after its type and key (`markdown 5f3a…`, `code #2`); without parents;
// drawn as a node of its own, whatever its type; a notebook without canvas
// metadata has no parameters.  The documents themselves are left as they
// are: what changes is copied.  False with a Python exception.
bool keyed_views(PyObject* old_document, PyObject* new_document, Ref& old_view, Ref& new_view);

}  // namespace zuv::cli
