// Python objects as UTF-8 text for the `zuv` commands.
#pragma once

#include <string>

#include "py/ref.hpp"

namespace zuv::cli {

// A str as UTF-8; lone surrogates become backslash escapes.  Anything else
// is shown with str().  Never leaves an exception set.
std::string utf8(PyObject* object);

// "Type: message" of the exception now set, which it clears.
std::string take_python_error();

}  // namespace zuv::cli
