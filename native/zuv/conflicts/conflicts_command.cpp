// `zuv conflicts FILE`, `zuv conflicts --graph BASE CURRENT INCOMING MERGED`
// and `zuv show-merge --html OUT FILE`: what a merge left open.
#include <cstdio>
#include <unordered_map>

#include "zuv/arguments.hpp"
#include "zuv/commands.hpp"
#include "zuv/conflicts/merge_facts.hpp"
#include "zuv/conflicts/pipeline_breaks.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/notebook_pages.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

using conflicts::NotebookFacts;

constexpr const char* kMarksOnly =
    "is not unmerged in a git repository: only conflict marks and source conflict blocks are "
    "reported (copies placed beside their cell without a mark need git's index stages)";

// The warnings about the merged pipeline, when all three versions are known.
std::vector<std::string> pipeline_warnings(const conflicts::Stages& stages,
                                           const NotebookFacts& merged) {
  std::vector<std::string> lines;
  if (stages.current && stages.incoming) {
    const NotebookFacts empty;
    for (const auto& edge : breaks::lost_edges(stages.base ? *stages.base : empty, *stages.current,
                                               *stages.incoming, merged))
      lines.push_back(breaks::describe(edge));
  }
  for (const auto& cycle : breaks::merged_cycles(merged))
    lines.push_back(breaks::describe_cycle(cycle, merged));
  return lines;
}

int list_conflicts(const std::string& label, const NotebookFacts& merged,
                   const conflicts::Stages* stages, const std::vector<std::string>& warnings,
                   const char* note) {
  const auto open = conflicts::find_conflicts(merged, stages);
  const conflicts::Tally counted = conflicts::tally(open);
  if (open.empty())
    print_line(stdout, label + ": no conflicts");
  else
    print_line(stdout, label + ": " + std::to_string(counted.total()) +
                           (counted.total() == 1 ? " conflict (" : " conflicts (") +
                           conflicts::tally_words(counted) + ")");
  for (const auto& c : open) print_line(stdout, "  " + conflicts::describe(c, merged));
  for (const std::string& w : warnings) print_line(stdout, "warning: " + w);
  if (note) print_line(stdout, "note: " + label + " " + note);
  return open.empty() ? status::ok : status::conflicts;
}

int graph_mode(const std::vector<std::string>& paths) {
  Ref documents[4];
  NotebookFacts facts[4];
  std::string error;
  for (int k = 0; k < 4; ++k)
    if (!load_facts(paths[static_cast<std::size_t>(k)], documents[k], facts[k], error))
      return failure("conflicts", error);
  conflicts::Stages stages;
  stages.base = facts[0];
  stages.current = facts[1];
  stages.incoming = facts[2];
  return list_conflicts(paths[3], facts[3], &stages, pipeline_warnings(stages, facts[3]), nullptr);
}

}  // namespace

int run_conflicts(const std::vector<std::string>& args) {
  std::string error;
  auto parsed = parse_arguments(args, {{"--graph", false}}, error);
  if (!parsed) return usage_error("conflicts", error);
  if (parsed->has("--graph")) {
    if (parsed->positional.size() != 4)
      return usage_error("conflicts", "--graph expects BASE CURRENT INCOMING MERGED");
    return graph_mode(parsed->positional);
  }
  if (parsed->positional.size() != 1) return usage_error("conflicts", "expected one FILE");
  const std::string& path = parsed->positional[0];
  Ref document;
  NotebookFacts merged;
  if (!load_facts(path, document, merged, error)) return failure("conflicts", error);
  bool unmerged = false;
  conflicts::Stages stages;
  if (!read_stages(path, unmerged, stages, error)) return failure("conflicts", error);
  if (!unmerged) return list_conflicts(path, merged, nullptr, {}, kMarksOnly);
  return list_conflicts(path, merged, &stages, pipeline_warnings(stages, merged), nullptr);
}

int run_show_merge(const std::vector<std::string>& args) {
  std::string error;
  auto parsed = parse_arguments(args, {{"--html", true}}, error);
  if (!parsed) return usage_error("show-merge", error);
  auto output = parsed->value("--html");
  if (!output) return usage_error("show-merge", "--html OUT is required");
  if (parsed->positional.size() != 1) return usage_error("show-merge", "expected one FILE");
  const std::string& path = parsed->positional[0];

  Ref document;
  NotebookFacts merged;
  if (!load_facts(path, document, merged, error)) return failure("show-merge", error);
  bool unmerged = false;
  conflicts::Stages stages;
  std::string current_text;
  if (!read_stages(path, unmerged, stages, error, &current_text))
    return failure("show-merge", error);
  const auto open = conflicts::find_conflicts(merged, unmerged ? &stages : nullptr);

  // The page shows the merged notebook against the current version when
  // git still has it, else against itself (statuses all unchanged).
  Ref before;
  if (!current_text.empty()) {
    if (!parse_json_if_any(current_text, before)) return python_failure("show-merge");
    if (before && !PyDict_Check(before.get())) before = Ref();
  }
  const bool against_current = static_cast<bool>(before);
  if (!before) before = pages::load_notebook(path, error);
  if (!before) return failure("show-merge", error);
  page::Page page;
  page.title = "Merge of " + path;
  page.subtitle = against_current
                      ? "changes from the current version, with what the merge left open"
                      : "what the merge left open (no git index stages: marks and blocks only)";
  page.notes_heading = "Open conflicts and warnings";
  if (!pages::diff_page(before.get(), document.get(), page)) return python_failure("show-merge");

  std::unordered_map<std::string, std::size_t> node;
  for (std::size_t i = 0; i < page.cells.size(); ++i)
    if (page.cells[i].status != page::Status::missing) node.emplace(page.cells[i].id, i);
  auto node_of = [&](std::size_t cell) -> std::ptrdiff_t {
    if (cell == conflicts::npos) return -1;
    auto found = node.find(merged.cells[cell].id);
    return found == node.end() ? -1 : static_cast<std::ptrdiff_t>(found->second);
  };
  for (const auto& c : open) {
    const std::string text = conflicts::describe(c, merged);
    page.notes.push_back({text, node_of(c.cell)});
    for (std::size_t cell : {c.cell, c.other}) {
      const std::ptrdiff_t n = node_of(cell);
      if (n < 0) continue;
      page.cells[static_cast<std::size_t>(n)].conflict = true;
      page.cells[static_cast<std::size_t>(n)].notes.push_back(text);
    }
    for (auto& p : page.parameters)
      if (conflicts::plain_name(p.name) == c.name && c.kind == conflicts::Kind::parameter_twice)
        p.conflict = true;
  }
  if (unmerged && stages.current && stages.incoming) {
    const NotebookFacts empty;
    for (const auto& edge : breaks::lost_edges(stages.base ? *stages.base : empty, *stages.current,
                                               *stages.incoming, merged)) {
      auto child = node.find(edge.child_id);
      if (child == node.end()) continue;
      auto parent = node.find(edge.parent_id);
      std::size_t parent_node;
      if (parent != node.end()) {
        parent_node = parent->second;
      } else {
        page::CellEntry gone;
        gone.id = edge.parent_id;
        gone.name = edge.parent_name;
        gone.status = page::Status::removed;
        parent_node = page.cells.size();
        node.emplace(gone.id, parent_node);
        page.cells.push_back(std::move(gone));
      }
      bool drawn = false;
      for (auto& e : page.edges)
        if (e.parent == parent_node && e.child == child->second)
          e.status = page::EdgeStatus::lost, drawn = true;
      if (!drawn) page.edges.push_back({parent_node, child->second, page::EdgeStatus::lost});
      page.notes.push_back({breaks::describe(edge), static_cast<std::ptrdiff_t>(child->second)});
    }
  }
  for (const auto& cycle : breaks::merged_cycles(merged))
    page.notes.push_back({breaks::describe_cycle(cycle, merged), node_of(cycle.front())});
  if (!unmerged) page.notes.push_back({path + " " + kMarksOnly, -1});
  if (!pages::write_page(*output, page)) return python_failure("show-merge");
  return open.empty() ? status::ok : status::conflicts;
}

}  // namespace zuv::cli
