// Notebooks whose cells lack canvas ids, as the pipeline views read them.
#pragma once

#include "py/ref.hpp"

namespace zuv::cli {

// The document as the pipeline diff can read it.  A cell without a canvas
// id (a plain notebook's, or one added in stock Jupyter) takes part under a
// stand-in canvas: keyed by its nbformat id, else by its place among such
// cells; named after its type and key (`markdown 5f3a…`); without parents;
// drawn as a node of its own, whatever its type; a notebook without canvas
// metadata has no parameters.  The document itself is left as it is: what
// changes is copied.
Ref keyed_view(PyObject* document);

}  // namespace zuv::cli
