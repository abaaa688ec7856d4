// The conflicts a merged pipeline notebook still holds.
#pragma once

#include "py/ref.hpp"

namespace zuv::cli {

struct ConflictCount {
  Py_ssize_t cells = 0;          // cells whose name carries a conflict mark
  Py_ssize_t parameters = 0;     // parameters whose name carries one
  Py_ssize_t source_blocks = 0;  // "<<<<<<< " lines in cell sources
  Py_ssize_t total() const { return cells + parameters + source_blocks; }
};

// Counts the conflicts of a merged notebook, for `zuvmerge` and `zuv`; false
// with a Python exception on failure.
bool count_conflicts(PyObject* notebook, ConflictCount& count);

}  // namespace zuv::cli
