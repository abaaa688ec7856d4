// The conflict labels that the merge puts on source conflict blocks.
#pragma once

#include <string>
#include <string_view>

#include "py/ref.hpp"

namespace merge {

// `text` with every control character spelled out, so that it stays within
// one line: line feed, carriage return and tab as \n, \r and \t, the other
// C0 characters and DEL as \xNN.  Other characters are kept as they are.
std::u32string escape_control_characters(std::u32string_view text);

// escape_control_characters(file_path) followed by `suffix`.
zuv::Ref conflict_label(PyObject* file_path, PyObject* suffix);

// How many lines of `source` (a list of lines; anything else holds none) are
// exactly `opening` (a block's opening marker and label), a line end aside.
Py_ssize_t block_openings(PyObject* source, PyObject* opening);

}  // namespace merge
