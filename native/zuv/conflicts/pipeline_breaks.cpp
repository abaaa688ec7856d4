#include "zuv/conflicts/pipeline_breaks.hpp"

#include <algorithm>
#include <set>
#include <utility>

#include "graph/strong_components.hpp"

namespace zuv::breaks {

using conflicts::NotebookFacts;
using conflicts::Side;

namespace {

std::string name_in(const NotebookFacts& facts, const std::string& id) {
  auto found = facts.by_id.find(id);
  return found == facts.by_id.end() ? std::string() : facts.cells[found->second].name;
}

std::string shown(const std::string& name, const std::string& id) {
  return name.empty() ? id : std::string(conflicts::plain_name(name));
}

bool has_edge(const NotebookFacts& facts, const std::string& child, const std::string& parent) {
  auto found = facts.by_id.find(child);
  if (found == facts.by_id.end()) return false;
  const auto& parents = facts.cells[found->second].parent_ids;
  return std::find(parents.begin(), parents.end(), parent) != parents.end();
}

}  // namespace

std::vector<LostEdge> lost_edges(const NotebookFacts& base, const NotebookFacts& current,
                                 const NotebookFacts& incoming, const NotebookFacts& merged) {
  std::vector<LostEdge> lost;
  std::set<std::pair<std::string, std::string>> seen;
  for (const conflicts::CellFacts& cell : merged.cells) {
    for (const NotebookFacts* side : {&current, &incoming}) {
      auto version = side->by_id.find(cell.id);
      if (version == side->by_id.end()) continue;
      const NotebookFacts& other = side == &current ? incoming : current;
      for (const std::string& parent : side->cells[version->second].parent_ids) {
        // The other side took this base edge off the cell itself: its
        // deletion of the parent is no surprise to the cell.
        if (has_edge(base, cell.id, parent) && !has_edge(other, cell.id, parent) &&
            other.by_id.contains(cell.id))
          continue;
        if (merged.by_id.contains(parent)) continue;
        const bool in_base = base.by_id.contains(parent);
        const bool in_current = current.by_id.contains(parent);
        const bool in_incoming = incoming.by_id.contains(parent);
        // Deleted by one side: the other side (or the base) still has it.
        Side by;
        if (!in_incoming && (in_base || in_current))
          by = Side::incoming;
        else if (!in_current && (in_base || in_incoming))
          by = Side::current;
        else
          continue;  // never a cell of any version: a dangling reference
        if (!seen.emplace(cell.id, parent).second) continue;
        std::string parent_name = name_in(base, parent);
        if (parent_name.empty())
          parent_name = name_in(by == Side::incoming ? current : incoming, parent);
        lost.push_back({cell.id, cell.name, parent, parent_name, by});
      }
    }
  }
  return lost;
}

std::vector<std::vector<std::size_t>> merged_cycles(const NotebookFacts& merged) {
  std::vector<graph::Edge> edges;
  for (std::size_t child = 0; child < merged.cells.size(); ++child)
    for (const std::string& parent : merged.cells[child].parent_ids)
      if (auto found = merged.by_id.find(parent); found != merged.by_id.end())
        edges.push_back({found->second, child});
  return graph::cycles(merged.cells.size(), edges);
}

std::string describe(const LostEdge& edge) {
  return shown(edge.child_name, edge.child_id) + " lost its parent " +
         shown(edge.parent_name, edge.parent_id) + ": deleted by " +
         (edge.deleted_by == Side::current ? "current" : "incoming");
}

std::string describe_cycle(const std::vector<std::size_t>& cycle, const NotebookFacts& merged,
                           std::string_view lead) {
  // A long cycle is named by its first cells and counted.
  constexpr std::size_t kNamed = 6;
  const std::size_t named = cycle.size() > kNamed + 1 ? kNamed : cycle.size();
  std::string text(lead);
  for (std::size_t k = 0; k < named; ++k) {
    const auto& cell = merged.cells[cycle[k]];
    if (k) text += k + 1 == cycle.size() ? " and " : ", ";
    text += shown(cell.name, cell.id);
  }
  if (named < cycle.size()) text += " and " + std::to_string(cycle.size() - named) + " more cells";
  return text + (cycle.size() == 1 ? " is its own parent" : " depend on each other");
}

}  // namespace zuv::breaks
