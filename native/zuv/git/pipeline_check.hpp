// Whether a parsed document is a notebook the pipeline merge can take.
#pragma once

#include <string>

#include "py/ref.hpp"

namespace zuv::cli {

// In `problem`: "" when `document` is a JSON object whose "metadata" ->
// "canvas" -> "parameters" is a list of uniquely named parameters and whose
// cells are objects that each carry a canvas id, no two alike; otherwise
// what is wrong, as a phrase ("has no canvas metadata", "has two cells with
// canvas id 'x'").  False only on a failure such as MemoryError.
bool pipeline_problem(PyObject* document, std::string& problem);

// The empty pipeline notebook: no cells, no parameters.
Ref empty_pipeline_notebook();

}  // namespace zuv::cli
