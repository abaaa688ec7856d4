// The source merge through a `git merge-file` process (the route of
// `_merge_source`), with the options a native caller adds, and the pieces the
// in-process merge (merge/native_source_merge.cpp) shares with it so that
// both return the same lines.
#pragma once

#include <span>
#include <string_view>

#include "py/function.hpp"
#include "py/ref.hpp"

namespace merge {

using zuv::Ref;

constexpr int kDefaultMarkerSize = 7;

// How a `git merge-file` run is asked for, and what it reported.
struct ProcessMerge {
  int marker_size = kDefaultMarkerSize;  // passed to git only when not the default
  Py_ssize_t blocks = -1;                // out: conflict blocks by git's status, or -1
};

// The parameters of `_merge_source`: its signature, and the checks the merge
// makes of direct callers' arguments.
inline constexpr zuv::Param kMergeSourceParams[] = {
    {"g", "git.cmd.Git"},
    {"current", "List[str]", zuv::Exact::list},
    {"base", "List[str]", zuv::Exact::list},
    {"incoming", "List[str]", zuv::Exact::list},
    {"current_name", "Optional[str]", zuv::Exact::str, true, true},
    {"incoming_name", "Optional[str]", zuv::Exact::str, true, true},
};

// `_merge_source`'s merge with `g` and the names in `globals`, passing
// "--marker-size" first where `how` asks for another size.
Ref merge_source(PyObject* globals, PyObject* g, PyObject* current, PyObject* base,
                 PyObject* incoming, PyObject* current_name, PyObject* incoming_name,
                 ProcessMerge& how);

// A text in the merged result and the label that replaces it in every line;
// an empty label leaves the text as git wrote it.
struct Relabel {
  PyObject* path;
  PyObject* label;
};

// The merged bytes decoded as UTF-8, one str per line with universal
// newlines (every line end becomes "\n"), each relabelled.
Ref merged_lines(std::string_view bytes, std::span<const Relabel> relabels);

// The base version's label: a current label ending in "-current" names the
// base with the same prefix and "-base"; anything else gives "" (git's own
// label stays).
Ref base_label(PyObject* current_name);

// The lines of `text` (universal newlines) that open a conflict block
// labelled `label` the way git writes it: `marker_size` "<" signs, a space,
// the label.
size_t count_block_openings(std::string_view text, std::string_view label, int marker_size);

}  // namespace merge
