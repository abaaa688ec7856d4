// Replacing a file's whole content so that readers see either the old or
// the new bytes, never a mixture.
#pragma once

#include "py/ref.hpp"

namespace zuv::io {

// Writes `text` over `target` (a file-system path); OSError on failure, with
// the target unchanged and nothing left behind.
bool replace_file(const char* target, const char* text, Py_ssize_t size);

}  // namespace zuv::io
