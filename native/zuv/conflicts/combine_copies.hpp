// Two copies of one cell, placed side by side by a merge, joined into one
// cell: field by field against the base version, as the cell merge of plain
// notebooks merges a cell both sides changed.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "py/ref.hpp"
#include "zuv/conflicts/conflict_scan.hpp"

namespace zuv::cli {

// For each pair (current copy, incoming copy; indices into `document`'s
// cells, whose facts are `merged`), the combination against the cell of
// the current copy's canvas id in `base_document` (git's base stage): its
// outcome in `outcomes` and, where nothing both sides changed differently,
// the joined cell in `cells` (by the current copy's index), with the
// current copy's ids and the plain name.  Source conflict labels use
// `label_path`.  Nothing in `document` changes.  False with a Python
// exception on failure.
bool combine_copies(PyObject* document, const conflicts::NotebookFacts& merged,
                    PyObject* base_document,
                    const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                    const std::string& label_path, conflicts::Combinations& outcomes,
                    std::unordered_map<std::size_t, Ref>& cells);

}  // namespace zuv::cli
