// What must not be committed in a notebook: the checks of `zuv check`.
// Plain C++ over facts copied out of the parsed notebook (check_command.cpp
// does the copying and the structural checks on the way).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "zuv/conflicts/conflict_scan.hpp"

namespace zuv::check {

// One finding: where ("" for the whole file, else a cell or a parameter)
// and what is wrong there.
struct Finding {
  std::string where;
  std::string what;
};

// A notebook as the checks see it.  `facts.cells` holds every cell in
// notebook order (a cell that is not even an object is an empty entry);
// `facts.by_id` the pipeline cells only, the first of each canvas id.
struct NotebookUnderCheck {
  conflicts::NotebookFacts facts;
  std::vector<bool> has_canvas_id;                     // per cell
  std::vector<std::vector<std::string>> parent_names;  // per cell, as its references name them
  bool pipeline = false;                               // the notebook carries canvas metadata
  std::vector<Finding> shape;                          // found while copying the facts out
};

// "name (canvas id)", "(unnamed) (canvas id)", or "cell N" for a cell
// without a canvas id (N counts from 1).
std::string cell_label(const conflicts::CellFacts& cell, bool has_canvas_id, std::size_t index);

// Indexes the pipeline cells of `notebook` by canvas id, the first of each.
void index_pipeline(NotebookUnderCheck& notebook);

// Everything wrong with a parsed notebook: its shape findings, then git
// conflict blocks in sources and the cell merge's conflict marks; for
// pipeline notebooks also the other conflict marks, copies placed by a
// merge, duplicate canvas ids and parameter names, parents that are no cell,
// and cycles.  With the versions of a merge in progress (`stages`, sources
// read whole on every side), also the copies the merge placed without a mark
// and marks that no longer match the versions.
std::vector<Finding> check_notebook(const NotebookUnderCheck& notebook,
                                    const conflicts::Stages* stages = nullptr);

// The git conflict blocks between the lines of a text that is not JSON,
// one finding each.
std::vector<Finding> conflict_blocks_in_text(std::string_view text);

}  // namespace zuv::check
