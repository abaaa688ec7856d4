// Python objects as UTF-8 text for the `zuv` commands.
#pragma once

#include <string>

#include "py/ref.hpp"

namespace zuv::cli {

// Appends `unit` as "\\u" and four lowercase hex digits, as json and the
// "backslashreplace" error handler write it.
void append_u_escape(std::string& out, Py_UCS4 unit);

// Appends code point `c` (not ASCII, not a surrogate) encoded as UTF-8.
void append_utf8(std::string& out, Py_UCS4 c);

// A str as UTF-8, lone surrogates as backslash escapes (\udcxx); anything
// that is no str reads as "".  Plain C++ over the str's code points: no
// Python code runs and no Python exception is set.
std::string utf8(PyObject* text);

// "Type: message" of the exception now set, which it clears.
std::string take_python_error();

}  // namespace zuv::cli
