#include "zuv/conflicts/notebook_check.hpp"

#include <unordered_map>

#include "zuv/conflicts/pipeline_breaks.hpp"

namespace zuv::check {

using conflicts::CellFacts;
using conflicts::Conflict;
using conflicts::Kind;
using conflicts::Side;

namespace {

std::string quoted(std::string_view s) {
  std::string out(1, '"');
  out += s;
  out += '"';
  return out;
}

const char* side_word(Side side) { return side == Side::current ? "current" : "incoming"; }

// "at line 2-6" / "at lines 2-6, 9-14", counting lines from 1.
std::string block_lines(const std::vector<conflicts::SourceBlock>& blocks) {
  std::string text = blocks.size() == 1 ? "at line " : "at lines ";
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (b) text += ", ";
    text += std::to_string(blocks[b].begin + 1) + "-" + std::to_string(blocks[b].end);
  }
  return text;
}

std::string count_of(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

struct Checker {
  const NotebookUnderCheck& notebook;
  const conflicts::Stages* stages;
  std::vector<Finding> found;

  const std::vector<CellFacts>& cells() const { return notebook.facts.cells; }

  std::string label(std::size_t cell) const {
    return cell_label(cells()[cell], notebook.has_canvas_id[cell], cell);
  }

  void add(std::string where, std::string what) {
    found.push_back({std::move(where), std::move(what)});
  }

  void source_blocks() {
    for (std::size_t i = 0; i < cells().size(); ++i) {
      const auto blocks = conflicts::find_blocks(cells()[i].source);
      if (blocks.empty()) continue;
      add(label(i), count_of(blocks.size(), "git conflict block", "git conflict blocks") +
                        " in the source " + block_lines(blocks));
    }
  }

  // Marks and the copies a merge placed, as the conflict scan finds them
  // (with the merge's versions when one is in progress).
  void marks() {
    // The first unmarked pipeline cell of each name: a marked cell that
    // shares its name is a copy the merge placed, not a cell the other
    // side deleted.
    std::unordered_map<std::string_view, std::size_t> unmarked;
    for (std::size_t i = 0; i < cells().size(); ++i)
      if (notebook.has_canvas_id[i] && !cells()[i].name.empty() &&
          !conflicts::mark_of(cells()[i].name))
        unmarked.emplace(cells()[i].name, i);

    for (const Conflict& c : conflicts::find_conflicts(notebook.facts, stages)) {
      switch (c.kind) {
        case Kind::marked_copies:
          add(label(c.cell), "both sides changed this cell: the merge placed the incoming copy " +
                                 label(c.other) + " beside it");
          break;
        case Kind::unmarked_copies:  // found only with the merge's versions
          add(label(c.cell), "both sides changed this cell: the merge placed the incoming copy " +
                                 label(c.other) + " beside it, without a mark");
          break;
        case Kind::hand_edited:  // found only with the merge's versions
          add(label(c.cell), "conflict mark that no longer matches the merge: " + c.reason);
          break;
        case Kind::name_clash:
          add(label(c.cell), "conflict mark: two different cells claim the name " + quoted(c.name) +
                                 ", this one and " + label(c.other));
          break;
        case Kind::one_side_kept:
          if (auto namesake = unmarked.find(c.name); namesake != unmarked.end())
            add(label(c.cell),
                "a copy placed by a merge: it claims the name of " + label(namesake->second));
          else
            add(label(c.cell),
                std::string("conflict mark: changed by ") + side_word(c.kept_by) + ", deleted by " +
                    side_word(c.kept_by == Side::current ? Side::incoming : Side::current));
          break;
        case Kind::parameter_twice: {
          const auto value = [&](std::size_t p) {
            const conflicts::ParameterFacts& f = notebook.facts.parameters[p];
            return quoted(f.name) + " = " + f.value + " (" + f.type + ")";
          };
          std::string what = "conflict mark: ";
          if (c.parameter != conflicts::npos && c.other_parameter != conflicts::npos)
            what += "kept twice, " + value(c.parameter) + " and " + value(c.other_parameter);
          else if (c.parameter != conflicts::npos)
            what += "changed by current, deleted by incoming: " + value(c.parameter);
          else
            what += "changed by incoming, deleted by current: " + value(c.other_parameter);
          add("parameter " + quoted(c.name), what);
          break;
        }
        case Kind::source_blocks:  // every cell's, by source_blocks()
          break;
        case Kind::partial_blocks:
          add(label(c.cell), "conflict marker lines without a complete block (" +
                                 std::to_string(c.block_count) + ")");
          break;
        case Kind::plain_mark:
          add(label(c.cell), "conflict mark of the cell merge: " + c.mark);
          break;
      }
    }
  }

  // The marks of the cell merge, in a notebook without canvas metadata.
  void plain_marks() {
    for (const Conflict& c : conflicts::find_conflicts(notebook.facts, nullptr))
      if (c.kind == Kind::plain_mark)
        add(label(c.cell), "conflict mark of the cell merge: " + c.mark);
  }

  void duplicate_ids() {
    for (std::size_t i = 0; i < cells().size(); ++i) {
      if (!notebook.has_canvas_id[i]) continue;
      const auto first = notebook.facts.by_id.find(cells()[i].id);
      if (first == notebook.facts.by_id.end() || first->second == i) continue;
      const CellFacts& other = cells()[first->second];
      add(label(i), "duplicate canvas id, also held by cell " + std::to_string(first->second + 1) +
                        (other.name.empty() ? std::string() : " (" + other.name + ")"));
    }
  }

  void duplicate_parameters() {
    std::unordered_map<std::string_view, std::size_t> first;
    const auto& parameters = notebook.facts.parameters;
    for (std::size_t p = 0; p < parameters.size(); ++p) {
      auto [slot, fresh] = first.emplace(parameters[p].name, p);
      if (fresh) continue;
      add("parameter " + quoted(parameters[p].name), "duplicate parameter name (parameters " +
                                                         std::to_string(slot->second + 1) +
                                                         " and " + std::to_string(p + 1) + ")");
    }
  }

  void missing_parents() {
    for (std::size_t i = 0; i < cells().size(); ++i) {
      const auto& ids = cells()[i].parent_ids;
      for (std::size_t k = 0; k < ids.size(); ++k) {
        if (notebook.facts.by_id.contains(ids[k])) continue;
        const std::string& name = notebook.parent_names[i][k];
        add(label(i), "parent " + (name.empty() ? std::string() : name + " ") + "(" + ids[k] +
                          ") is no cell of the notebook");
      }
    }
  }

  void cycles() {
    for (const auto& cycle : breaks::merged_cycles(notebook.facts))
      add(label(cycle.front()), breaks::describe_cycle(cycle, notebook.facts, "cycle: "));
  }
};

}  // namespace

std::string cell_label(const CellFacts& cell, bool has_canvas_id, std::size_t index) {
  if (!has_canvas_id) return "cell " + std::to_string(index + 1);
  return (cell.name.empty() ? std::string("(unnamed)") : cell.name) + " (" + cell.id + ")";
}

void index_pipeline(NotebookUnderCheck& notebook) {
  auto& by_id = notebook.facts.by_id;
  by_id.clear();
  for (std::size_t i = 0; i < notebook.facts.cells.size(); ++i)
    if (notebook.has_canvas_id[i]) by_id.emplace(notebook.facts.cells[i].id, i);
}

std::vector<Finding> check_notebook(const NotebookUnderCheck& notebook,
                                    const conflicts::Stages* stages) {
  Checker checker{notebook, stages, notebook.shape};
  checker.source_blocks();
  if (notebook.pipeline) {
    checker.marks();
    checker.duplicate_ids();
    checker.duplicate_parameters();
    checker.missing_parents();
    checker.cycles();
  } else {
    checker.plain_marks();
  }
  return std::move(checker.found);
}

std::vector<Finding> conflict_blocks_in_text(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    lines.emplace_back(text.substr(start, end - start));
    start = end;
  }
  std::vector<Finding> found;
  for (const auto& block : conflicts::find_blocks(lines))
    found.push_back({"", "git conflict block at lines " + std::to_string(block.begin + 1) + "-" +
                             std::to_string(block.end) + ": the file is not JSON"});
  return found;
}

}  // namespace zuv::check
