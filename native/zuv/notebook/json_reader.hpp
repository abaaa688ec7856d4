// A JSON document read natively from its UTF-8 bytes into the very objects
// `json.loads` builds from the decoded text.  json's C scanner reads a str
// (so the bytes are decoded into one first) and builds every string that
// holds an escape, such as each source line's "\n", through a growing
// writer; on a notebook of many megabytes that is most of a merge's time.
#pragma once

#include <string_view>
#include <unordered_map>

#include "py/ref.hpp"

namespace zuv::cli {

enum class NativeRead { read, declined, failed };

// The first version of a notebook read, for reading its other versions:
// its document and where each of its larger containers sits in its text
// (which must outlive the reads that use it).
struct ReadBase {
  Ref document;
  std::unordered_map<const PyObject*, std::string_view> spans;
};

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
// With `base` (another version of the same notebook): where `base` holds no
// document yet, this read records itself there.  Otherwise the text is read
// as a version of that document: a container whose text is byte for byte
// the one at the same place in the base (a cell no side changed) is copied
// from the base's objects without being read again, and a string equal to
// the one at the same place is taken from it.  The versions then hold their
// common text once, and compare it by identity.
NativeRead read_json(std::string_view text, Ref& document, ReadBase* base = nullptr);

}  // namespace zuv::cli
