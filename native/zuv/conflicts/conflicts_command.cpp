// `zuv conflicts FILE`, `zuv conflicts --graph BASE CURRENT INCOMING MERGED`
// and `zuv show-merge --html OUT FILE`: what a merge left open.
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "zuv/arguments.hpp"
#include "zuv/commands.hpp"
#include "zuv/conflicts/merge_facts.hpp"
#include "zuv/conflicts/merge_page.hpp"
#include "zuv/conflicts/pipeline_breaks.hpp"
#include "zuv/notebook/keyed_view.hpp"
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

// A file that is not JSON (`text`), the way the merge driver leaves a file it
// had to merge line by line: git's conflict blocks in it, and while git has
// the path unmerged, how to take one side's whole file.  A file that is
// neither fails with `error`.
int list_line_merged(const std::string& path, const std::string& text, const std::string& error) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::size_t next = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, next - at));
    at = next;
  }
  const std::size_t blocks = conflicts::find_blocks(lines).size();
  bool unmerged = false;
  conflicts::Stages stages;
  std::string stage_error;
  if (!read_stages(path, unmerged, stages, stage_error)) return failure("conflicts", stage_error);
  if (!unmerged && blocks == 0) return failure("conflicts", error);
  print_line(stdout, path + ": merged line by line (it is not JSON): " + std::to_string(blocks) +
                         (blocks == 1 ? " conflict block" : " conflict blocks"));
  if (unmerged)
    print_line(stdout, "  zuv resolve --current -- " + conflicts::shell_word(path) +
                           " (or --incoming) takes that side's whole file from git");
  else
    print_line(stdout,
               "note: " + path + " is not unmerged in a git repository: edit its blocks by hand");
  return status::conflicts;
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

// What `zuv show-merge` reads: the merged file, git's stages of it, and what
// is open there.
struct MergeState {
  std::string path;
  Ref document;
  NotebookFacts merged;
  bool unmerged = false;
  conflicts::Stages stages;
  std::string current_text;  // the current version (stage 2), when git has it
  std::vector<conflicts::Conflict> open;
  std::vector<std::string> keys;  // each merged cell's key on the page
  const conflicts::Stages* known() const { return unmerged ? &stages : nullptr; }
};

// What the page compares the merged notebook with: the current version
// when git still has it, else the merged notebook itself (statuses all
// unchanged).
Ref page_base(const MergeState& state, bool& against_current, std::string& error) {
  Ref before;
  if (!state.current_text.empty()) {
    if (!parse_json_if_any(state.current_text, before)) return {};  // the exception is set
    if (before && !PyDict_Check(before.get())) before = Ref();
  }
  against_current = static_cast<bool>(before);
  if (!before) before = pages::load_notebook(state.path, error);
  return before;
}

// The page's node of each canvas id (parents no cell has left out).
std::unordered_map<std::string, std::size_t> nodes_by_id(const page::Page& page) {
  std::unordered_map<std::string, std::size_t> node;
  for (std::size_t i = 0; i < page.cells.size(); ++i)
    if (page.cells[i].status != page::Status::missing) node.emplace(page.cells[i].id, i);
  return node;
}

// The key under which the page draws each cell of `merged` (compared with
// `before`): its canvas id, or the stand-in key keyed_views gives a cell
// without one.
bool drawn_keys(PyObject* before, PyObject* merged, std::vector<std::string>& keys) {
  Ref old_view, new_view;
  if (!keyed_views(before, merged, old_view, new_view)) return false;
  Ref cells = held_member(new_view.get(), names().cells);
  if (!cells || !PyList_Check(cells.get())) return true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells.get()); ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells.get(), i));
    std::string key;
    if (!pages::text_of(held_member(held_canvas(cell.get()).get(), names().id).get(), key))
      return false;
    keys.push_back(std::move(key));
  }
  return true;
}

std::ptrdiff_t node_of(const std::unordered_map<std::string, std::size_t>& node,
                       const MergeState& state, std::size_t cell) {
  if (cell >= state.keys.size()) return -1;
  auto found = node.find(state.keys[cell]);
  return found == node.end() ? -1 : static_cast<std::ptrdiff_t>(found->second);
}

// Each open conflict: a note with its command lines, its cells and
// parameters marked, and its panel on its cells, or below the parameters.
// The header counts them as `zuv conflicts` does.
void add_conflicts(const MergeState& state,
                   const std::unordered_map<std::string, std::size_t>& node, page::Page& page) {
  const conflicts::Tally counted = conflicts::tally(state.open);
  page.conflict_summary = state.open.empty()
                              ? "no conflicts"
                              : std::to_string(counted.total()) +
                                    (counted.total() == 1 ? " conflict (" : " conflicts (") +
                                    conflicts::tally_words(counted) + ")";
  std::unordered_set<std::string> parameters;  // plain names in conflict
  for (const auto& c : state.open) {
    page::ConflictPanel panel =
        conflicts::conflict_panel(c, state.merged, state.known(), state.path);
    page.notes.push_back({panel.heading, node_of(node, state, c.cell), panel.choices});
    if (c.kind == conflicts::Kind::parameter_twice) {
      parameters.insert(c.name);
      page.parameter_panels.push_back(std::move(panel));
      continue;
    }
    // Each cell of the conflict shows its panel: both copies of a cell alike.
    std::ptrdiff_t previous = -1;
    for (std::size_t cell : {c.cell, c.other}) {
      const std::ptrdiff_t n = node_of(node, state, cell);
      if (n < 0 || n == previous) continue;
      previous = n;
      page::CellEntry& entry = page.cells[static_cast<std::size_t>(n)];
      entry.conflict = true;
      entry.panels.push_back(panel);
      // The merge's mark on a name is no rename.
      if (entry.renamed && conflicts::plain_name(entry.name) == entry.old_name)
        entry.renamed = false;
    }
  }
  for (auto& p : page.parameters)
    if (parameters.contains(std::string(conflicts::plain_name(p.name)))) p.conflict = true;
}

// The parent edges the merge cut because one side deleted the parent: drawn
// as lost (the parent as a removed node when the merge dropped it), with a
// note each.
void add_lost_edges(const MergeState& state, std::unordered_map<std::string, std::size_t>& node,
                    page::Page& page) {
  if (!state.unmerged || !state.stages.current || !state.stages.incoming) return;
  const NotebookFacts empty;
  for (const auto& edge :
       breaks::lost_edges(state.stages.base ? *state.stages.base : empty, *state.stages.current,
                          *state.stages.incoming, state.merged)) {
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
  if (!load_facts(path, document, merged, error)) {
    if (error.empty()) return python_failure("conflicts");
    // Text that is no JSON may be a notebook git merged line by line.
    std::string text, read_error;
    Ref as_json;
    if (!read_bytes(path, text, read_error)) return failure("conflicts", error);
    if (!parse_json_if_any(text, as_json)) return python_failure("conflicts");
    if (as_json) return failure("conflicts", error);
    return list_line_merged(path, text, error);
  }
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

  MergeState state;
  state.path = parsed->positional[0];
  if (!load_facts(state.path, state.document, state.merged, error)) {
    // A file merged line by line has no pipeline to draw: say where to go.
    std::string text, read_error;
    Ref as_json;
    if (!read_bytes(state.path, text, read_error)) return failure("show-merge", error);
    if (!parse_json_if_any(text, as_json)) return python_failure("show-merge");
    if (!as_json)
      error +=
          " (merged line by line? `zuv conflicts` lists its blocks; `zuv resolve "
          "--current|--incoming -- " +
          conflicts::shell_word(state.path) + "` takes a whole side while git has it unmerged)";
    return failure("show-merge", error);
  }
  if (!read_stages(state.path, state.unmerged, state.stages, error, &state.current_text))
    return failure("show-merge", error);
  state.open = conflicts::find_conflicts(state.merged, state.known());

  page::Page page;
  bool against_current = false;
  Ref before = page_base(state, against_current, error);
  if (!before) return error.empty() ? python_failure("show-merge") : failure("show-merge", error);
  page.title = "Merge of " + state.path;
  page.subtitle = against_current
                      ? "changes from the current version, with what the merge left open"
                      : "what the merge left open (no git index stages: marks and blocks only)";
  page.notes_heading = "Open conflicts and warnings";
  if (!drawn_keys(before.get(), state.document.get(), state.keys) ||
      !pages::diff_page(before.get(), state.document.get(), page))
    return python_failure("show-merge");

  std::unordered_map<std::string, std::size_t> node = nodes_by_id(page);
  add_conflicts(state, node, page);
  add_lost_edges(state, node, page);
  for (const auto& cycle : breaks::merged_cycles(state.merged))
    page.notes.push_back(
        {breaks::describe_cycle(cycle, state.merged), node_of(node, state, cycle.front())});
  if (!state.unmerged) page.notes.push_back({state.path + " " + kMarksOnly, -1});
  if (!pages::write_page(*output, page)) return python_failure("show-merge");
  return state.open.empty() ? status::ok : status::conflicts;
}

}  // namespace zuv::cli
