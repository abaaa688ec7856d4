#include "zuv/conflicts/merge_page.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "merge/plain_cells.hpp"
#include "zuv/pages/html_text.hpp"

namespace zuv::conflicts {

namespace {

// How `zuv resolve` selects a conflict of each kind.
enum class Selector {
  cell,       // --cell with the (first) cell's id
  each_cell,  // --cell with the id of the cell the side keeps
  parameter,  // --parameter with the plain name
  none,       // left to a person
};

// What keeping each side does; null where it depends on the conflict.
struct ChoiceRule {
  Kind kind;
  Selector selector;
  const char* current;
  const char* incoming;
};

constexpr std::array<ChoiceRule, 9> kChoiceRules{{
    {Kind::marked_copies, Selector::cell, "keep the current copy", "keep the incoming copy"},
    {Kind::unmarked_copies, Selector::cell, "keep the current copy", "keep the incoming copy"},
    {Kind::name_clash, Selector::each_cell, "keep the current side's cell, drop the other",
     "keep the incoming side's cell, drop the other"},
    {Kind::one_side_kept, Selector::cell, nullptr, nullptr},  // keep or delete
    {Kind::parameter_twice, Selector::parameter, nullptr, nullptr},
    {Kind::source_blocks, Selector::cell, "keep the current lines", "keep the incoming lines"},
    {Kind::partial_blocks, Selector::none, nullptr, nullptr},
    {Kind::hand_edited, Selector::none, nullptr, nullptr},
    {Kind::plain_mark, Selector::cell, nullptr, nullptr},  // as the mark's row says
}};

// Every kind has its row; one without would be left to a person.
ChoiceRule rule_for(Kind kind) {
  for (const ChoiceRule& rule : kChoiceRules)
    if (rule.kind == kind) return rule;
  return {kind, Selector::none, nullptr, nullptr};
}

const char* side_word(Side side) { return side == Side::current ? "current" : "incoming"; }

Side other_side(Side side) { return side == Side::current ? Side::incoming : Side::current; }

// A cell's selector: its canvas id, else its notebook format id, else its
// (marked) name; empty when it has none of them.
std::string cell_selector(const CellFacts& cell) {
  if (!cell.id.empty()) return cell.id;
  if (!cell.cell_id.empty()) return cell.cell_id;
  return cell.name;
}

std::string cell_label(const CellFacts& cell) {
  return (cell.name.empty() ? std::string("(unnamed)") : cell.name) + " (" +
         (cell.id.empty() ? cell.cell_id : cell.id) + ")";
}

std::string parameter_words(const ParameterFacts& p) {
  return std::string(plain_name(p.name)) + " = " + p.value + " (" + p.type + ")";
}

// The label of keeping `side` where the rule leaves it to the conflict.
std::string choice_label(const ChoiceRule& rule, const Conflict& c, const NotebookFacts& merged,
                         Side side) {
  if (const char* fixed = side == Side::current ? rule.current : rule.incoming) return fixed;
  switch (c.kind) {
    case Kind::one_side_kept:
      return side == c.kept_by ? std::string("keep the cell, as ") + side_word(side) + " changed it"
                               : std::string("delete the cell, as ") + side_word(side) + " did";
    case Kind::parameter_twice: {
      const std::size_t kept = side == Side::current ? c.parameter : c.other_parameter;
      if (kept == npos) return std::string("delete the parameter, as ") + side_word(side) + " did";
      return std::string("keep the ") + side_word(side) +
             " value: " + parameter_words(merged.parameters[kept]);
    }
    case Kind::plain_mark: {
      const auto row = merged.cells[c.cell].source.empty()
                           ? std::nullopt
                           : merge::plain::parse_mark(merged.cells[c.cell].source.front());
      const bool drops = row && (side == Side::current ? row->take_current : row->take_incoming) ==
                                    merge::plain::Resolution::drop;
      return std::string("take ") + side_word(side) + ": " +
             (drops ? "delete the cell" : "keep the cell, its mark removed");
    }
    default:
      return {};
  }
}

// The words after the side: the selector, or nothing when there is none.
std::vector<std::string> selector_words(const ChoiceRule& rule, const Conflict& c,
                                        const NotebookFacts& merged, Side side) {
  switch (rule.selector) {
    case Selector::cell:
      if (std::string s = cell_selector(merged.cells[c.cell]); !s.empty()) return {"--cell", s};
      return {};
    case Selector::each_cell: {
      const std::size_t cell = side == Side::current ? c.cell : c.other;
      if (std::string s = cell_selector(merged.cells[cell]); !s.empty()) return {"--cell", s};
      return {};
    }
    case Selector::parameter:
      return {"--parameter", c.name};
    case Selector::none:
      return {};
  }
  return {};
}

// A cell of a version, by canvas id.
const CellFacts* cell_in(const std::optional<NotebookFacts>& version, const std::string& id) {
  if (!version || id.empty()) return nullptr;
  auto found = version->by_id.find(id);
  return found == version->by_id.end() ? nullptr : &version->cells[found->second];
}

// The base of a cell, below the comparison, or why there is none.
void add_base(page::ConflictPanel& panel, const Stages* stages, const std::string& id) {
  if (!stages) {
    panel.no_base = "no base: the file is not unmerged in git, so its index stages are unknown";
    return;
  }
  const CellFacts* base = cell_in(stages->base, id);
  if (!base) {
    panel.no_base = "no base: the base version does not hold this cell";
    return;
  }
  panel.alone =
      page::SourceColumn{"base (git's index stage 1): " + cell_label(*base), base->source};
}

void copies_panel(page::ConflictPanel& panel, const Conflict& c, const NotebookFacts& merged,
                  const Stages* stages) {
  const CellFacts& current = merged.cells[c.cell];
  const CellFacts& incoming = merged.cells[c.other];
  panel.left = page::SourceColumn{"current copy: " + cell_label(current), current.source};
  panel.right = page::SourceColumn{"incoming copy: " + cell_label(incoming), incoming.source};
  add_base(panel, stages, current.id);
}

void kept_panel(page::ConflictPanel& panel, const Conflict& c, const NotebookFacts& merged,
                const Stages* stages) {
  const CellFacts& cell = merged.cells[c.cell];
  panel.facts.push_back(std::string("the ") + side_word(c.kept_by) + " side changed it; the " +
                        side_word(other_side(c.kept_by)) + " side deleted it");
  const page::SourceColumn kept{
      std::string("as ") + side_word(c.kept_by) + " has it: " + cell_label(cell), cell.source};
  const CellFacts* base = stages ? cell_in(stages->base, cell.id) : nullptr;
  if (!base) {
    panel.alone = kept;
    panel.no_base = stages ? "no base: the base version does not hold this cell"
                           : "no base: the file is not unmerged in git, so its index stages "
                             "are unknown";
    return;
  }
  panel.left = page::SourceColumn{"base (git's index stage 1)", base->source};
  panel.right = kept;
}

void source_blocks_panel(page::ConflictPanel& panel, const Conflict& c, const NotebookFacts& merged,
                         const Stages* stages) {
  const CellFacts& cell = merged.cells[c.cell];
  panel.left =
      page::SourceColumn{"keeping the current lines", resolve_blocks(cell.source, Side::current)};
  panel.right =
      page::SourceColumn{"keeping the incoming lines", resolve_blocks(cell.source, Side::incoming)};
  const auto blocks = find_blocks(cell.source);
  if (std::any_of(blocks.begin(), blocks.end(), [](const SourceBlock& b) { return b.ambiguous(); }))
    panel.facts.push_back(
        "a block's markers can be read more than one way; the sides are shown as the first "
        "separator splits them, and `zuv resolve` decides by the index stages where it can");
  add_base(panel, stages, cell.id);
}

void parameter_panel(page::ConflictPanel& panel, const Conflict& c, const NotebookFacts& merged,
                     const Stages* stages) {
  for (const Side side : {Side::current, Side::incoming}) {
    const std::size_t p = side == Side::current ? c.parameter : c.other_parameter;
    panel.facts.push_back(
        std::string(side_word(side)) + ": " +
        (p == npos ? std::string("deleted it") : parameter_words(merged.parameters[p])));
  }
  if (!stages || !stages->base) return;
  const auto& base = *stages->base;
  auto found = base.parameter_by_name.find(c.name);
  panel.facts.push_back(found == base.parameter_by_name.end()
                            ? std::string("base: no such parameter")
                            : "base: " + parameter_words(base.parameters[found->second]));
}

}  // namespace

std::string shell_word(std::string_view word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
  });
  if (plain) return std::string(word);
  std::string out = "'";
  for (char c : word) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += '\'';
  return out;
}

std::vector<page::ResolveChoice> resolve_choices(const Conflict& c, const NotebookFacts& merged,
                                                 const std::string& path) {
  const ChoiceRule rule = rule_for(c.kind);
  std::vector<page::ResolveChoice> choices;
  if (rule.selector == Selector::none) return choices;
  for (const Side side : {Side::current, Side::incoming}) {
    std::vector<std::string> words = selector_words(rule, c, merged, side);
    if (words.empty()) return {};
    words.insert(words.begin(), {"zuv", "resolve", std::string("--") + side_word(side)});
    words.insert(words.end(), {"--", path});
    std::string command;
    for (const std::string& word : words) {
      if (!html::shows_exactly(word)) return {};
      if (!command.empty()) command += ' ';
      command += shell_word(word);
    }
    choices.push_back({choice_label(rule, c, merged, side), std::move(command)});
  }
  return choices;
}

page::ConflictPanel conflict_panel(const Conflict& c, const NotebookFacts& merged,
                                   const Stages* stages, const std::string& path) {
  page::ConflictPanel panel;
  panel.heading = describe(c, merged);
  switch (c.kind) {
    case Kind::marked_copies:
    case Kind::unmarked_copies:
      copies_panel(panel, c, merged, stages);
      break;
    case Kind::name_clash:
      panel.facts.push_back("two different cells (different canvas ids) claim one name");
      panel.facts.push_back(
          "the commands below keep one cell and drop the other; `zuv resolve --all` (the "
          "mergetools) keeps both: the chosen side's cell takes the name, the other is renamed \"" +
          c.name + " (current)\" or \"" + c.name + " (incoming)\"");
      panel.left = page::SourceColumn{"current side's cell: " + cell_label(merged.cells[c.cell]),
                                      merged.cells[c.cell].source};
      panel.right = page::SourceColumn{"incoming side's cell: " + cell_label(merged.cells[c.other]),
                                       merged.cells[c.other].source};
      break;
    case Kind::one_side_kept:
      kept_panel(panel, c, merged, stages);
      break;
    case Kind::parameter_twice:
      parameter_panel(panel, c, merged, stages);
      break;
    case Kind::source_blocks:
      source_blocks_panel(panel, c, merged, stages);
      break;
    case Kind::partial_blocks:
    case Kind::hand_edited:
    case Kind::plain_mark:
      break;
  }
  panel.choices = resolve_choices(c, merged, path);
  if (rule_for(c.kind).selector == Selector::none)
    panel.by_hand = "no side can be kept for this: edit the cell by hand, then run `zuv conflicts`";
  else if (panel.choices.empty())
    panel.by_hand =
        "its command line would hold characters this page cannot show exactly: run `zuv resolve` "
        "on the file without a selector to list what it can select";
  return panel;
}

}  // namespace zuv::conflicts
