// A JSON document written natively, byte for byte as `json.dumps` writes it
// with the same indent, separators, ensure_ascii and sort_keys (json's
// indented encoder is plain Python, the slowest part of writing a large
// notebook back).
#pragma once

#include <string>

#include "py/ref.hpp"
#include "zuv/notebook/notebook_file.hpp"

namespace zuv::cli {

enum class NativeJson { written, declined, failed };

// Appends `document` to `out` in `layout` (every line break `layout.newline`,
// the final newline left to the caller).  Declines, leaving `out` in an
// unspecified state and no Python exception set, for whatever only
// json.dumps itself can answer exactly: objects other than exact dict, list,
// str, int, float, bool and None; keys that are not exact str; lone
// surrogates where the text is written unescaped; an int too long for str();
// nesting deeper than any the interpreter could encode.  No Python code runs
// while it writes.  Fails, with the Python exception set, only where the
// interpreter does (no memory).
NativeJson write_json(PyObject* document, const JsonLayout& layout, std::string& out);

}  // namespace zuv::cli
