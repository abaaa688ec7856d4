// A JSON document read natively from its UTF-8 bytes into the very objects
// `json.loads` builds from the decoded text.  json's C scanner reads a str
// (so the bytes are decoded into one first) and builds every string that
// holds an escape, such as each source line's "\n", through a growing
// writer; on a notebook of many megabytes that is most of a merge's time.
#pragma once

#include <string_view>

#include "py/ref.hpp"

namespace zuv::cli {

enum class NativeRead { read, declined, failed };

// Reads `text` into `document`: dicts (keys in first-seen order, a repeated
// key keeping its first place and its last value), lists, exact str, int,
// float, bool and None, equal to what json.loads gives.  Declines, with no
// Python exception set and `document` left empty, for whatever only json
// itself can answer exactly: a text that is not one JSON object between
// whitespace, not UTF-8 or no JSON at all (json reports those in its words),
// a byte order mark, NaN and Infinity (json shares one object for each),
// a lone surrogate escape, an int past the interpreter's digit limit, and
// nesting deeper than notebooks go.  Fails, with the exception set, only
// where the interpreter does (no memory).
//
// `like`, where given, is a document read before that the text probably
// shares most of its strings with (another version of the same notebook):
// an ASCII string equal to the one at the same place in `like` is taken
// from it rather than made again.  The versions of a notebook then hold
// their common lines once, and compare them by identity.
NativeRead read_json(std::string_view text, Ref& document, PyObject* like = nullptr);

}  // namespace zuv::cli
