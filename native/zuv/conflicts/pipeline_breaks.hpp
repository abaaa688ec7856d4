// What a merge did to the pipeline graph that no conflict mark shows: edges
// cut because one side deleted a parent that the other side's cell depends
// on, and cycles in the merged graph.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zuv/conflicts/conflict_scan.hpp"

namespace zuv::breaks {

struct LostEdge {
  std::string child_id, child_name;
  std::string parent_id, parent_name;
  conflicts::Side deleted_by;
};

// Every parent reference that the current or the incoming version of a
// merged cell holds, whose parent is in no merged cell and was deleted by
// one side (present in the base or in the other side).  Each edge once.
std::vector<LostEdge> lost_edges(const conflicts::NotebookFacts& base,
                                 const conflicts::NotebookFacts& current,
                                 const conflicts::NotebookFacts& incoming,
                                 const conflicts::NotebookFacts& merged);

// The cycles of the merged graph (edges from each parent reference to an
// existing cell), each as cell indexes.
std::vector<std::vector<std::size_t>> merged_cycles(const conflicts::NotebookFacts& merged);

// "train lost its parent load: deleted by incoming"
std::string describe(const LostEdge& edge);
// "cycle in the merged pipeline: a, b and c depend on each other"; `lead`
// replaces the words before the names.
std::string describe_cycle(const std::vector<std::size_t>& cycle,
                           const conflicts::NotebookFacts& merged,
                           std::string_view lead = "cycle in the merged pipeline: ");

}  // namespace zuv::breaks
