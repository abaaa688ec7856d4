#include "zuv/conflicts/conflict_scan.hpp"

#include <algorithm>
#include <map>

#include "merge/plain_cells.hpp"

namespace zuv::conflicts {

namespace {

std::string_view without_line_end(std::string_view line) {
  if (line.ends_with("\r\n"))
    line.remove_suffix(2);
  else if (line.ends_with('\n'))
    line.remove_suffix(1);
  return line;
}

// Length of the run of `c` that opens `line`.
std::size_t run_of(std::string_view line, char c) {
  std::size_t n = 0;
  while (n < line.size() && line[n] == c) ++n;
  return n;
}

// A marker line of exactly `size` characters `c`, then a space and a label
// (when `labelled`) or nothing.
bool is_marker(std::string_view line, char c, std::size_t size, bool labelled) {
  line = without_line_end(line);
  if (run_of(line, c) != size) return false;
  if (line.size() == size) return true;
  return labelled && line[size] == ' ';
}

// Whether `s` is the cell's canvas id, or for a cell without one its
// nbformat id.
bool selected_id(const std::string& s, const CellFacts& cell) {
  return !s.empty() && (s == cell.id || (cell.id.empty() && s == cell.cell_id));
}

bool selected_name(const std::vector<std::string>& selectors, const CellFacts& cell) {
  const std::string_view plain = plain_name(cell.name);
  for (const std::string& s : selectors)
    if (selected_id(s, cell) || (!cell.name.empty() && (s == cell.name || s == plain))) return true;
  return false;
}

bool selected_by_id_or_marked_name(const std::vector<std::string>& selectors,
                                   const CellFacts& cell) {
  for (const std::string& s : selectors)
    if (selected_id(s, cell) || (!cell.name.empty() && s == cell.name)) return true;
  return false;
}

// A random (version 4) UUID in its text form, as the merge gives copies.
bool looks_fresh(std::string_view id) {
  if (id.size() != 36 || id[14] != '4') return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = id[i];
    if (dash != (c == '-')) return false;
    if (!dash && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  out += s;
  out += '"';
  return out;
}

std::string cell_words(const CellFacts& cell) {
  std::string name = cell.name.empty() ? std::string("(unnamed)") : cell.name;
  if (cell.id.empty()) return name + " (" + (cell.cell_id.empty() ? "no id" : cell.cell_id) + ")";
  return name + " (" + cell.id + ")";
}

// The row of the mark that opens a cell's source, if any.
std::optional<merge::plain::MarkRow> plain_mark_of(const CellFacts& cell) {
  if (cell.source.empty()) return std::nullopt;
  return merge::plain::parse_mark(cell.source.front());
}

const char* side_word(Side side) { return side == Side::current ? "current" : "incoming"; }

Side other_side(Side side) { return side == Side::current ? Side::incoming : Side::current; }

}  // namespace

void NotebookFacts::index() {
  by_id.clear();
  // A cell without a canvas id has none to be found by.
  for (std::size_t i = 0; i < cells.size(); ++i)
    if (!cells[i].id.empty()) by_id[cells[i].id] = i;
}

std::string_view plain_name(std::string_view name) {
  if (name.starts_with(kCurrentMark) || name.starts_with(kIncomingMark))
    name.remove_prefix(kCurrentMark.size());
  return name;
}

std::optional<Side> mark_of(std::string_view name) {
  if (name.starts_with(kCurrentMark)) return Side::current;
  if (name.starts_with(kIncomingMark)) return Side::incoming;
  return std::nullopt;
}

std::vector<SourceBlock> find_blocks(const std::vector<std::string>& lines) {
  std::vector<SourceBlock> blocks;
  std::size_t i = 0;
  while (i < lines.size()) {
    const std::size_t size = run_of(lines[i], '<');
    if (size == 0 || !is_marker(lines[i], '<', size, true)) {
      ++i;
      continue;
    }
    // Up to the closing marker; a new opening first means this one is none.
    std::size_t first_base = npos, first_separator = npos, base_separator = npos;
    // Separators after the base marker: those before it are ours' lines.
    std::size_t separators = 0, separators_after_base = 0, bases = 0, j = i + 1;
    for (; j < lines.size(); ++j) {
      const std::string& line = lines[j];
      if (is_marker(line, '>', size, true) || is_marker(line, '<', size, true)) break;
      if (is_marker(line, '|', size, true)) {
        ++bases;
        if (first_base == npos) first_base = j;
      } else if (is_marker(line, '=', size, false)) {
        ++separators;
        if (first_base != npos) ++separators_after_base;
        if (first_separator == npos) first_separator = j;
        if (first_base != npos && base_separator == npos) base_separator = j;
      }
    }
    const bool closed = j < lines.size() && is_marker(lines[j], '>', size, true);
    const std::size_t separator = first_base != npos ? base_separator : first_separator;
    if (!closed || separator == npos) {
      // No block opens here: go on with the line that ended the search (a
      // new opening), or past the closing marker of this partial block.
      i = closed ? j + 1 : std::max(j, i + 1);
      continue;
    }
    SourceBlock block;
    block.begin = i;
    block.end = j + 1;
    block.marker_size = size;
    block.has_base = first_base != npos;
    block.ours_begin = i + 1;
    block.ours_end = block.has_base ? first_base : separator;
    block.base_begin = block.has_base ? first_base + 1 : 0;
    block.base_end = block.has_base ? separator : 0;
    block.theirs_begin = separator + 1;
    block.theirs_end = j;
    block.separators =
        (block.has_base ? separators_after_base : separators) + (bases > 1 ? bases - 1 : 0);
    blocks.push_back(block);
    i = block.end;
  }
  return blocks;
}

namespace {

// A marker line whose label ends as a merge's labels do for that marker.
bool is_labelled_marker(std::string_view line, char& kind) {
  line = without_line_end(line);
  for (const auto& [c, suffix] :
       {std::pair{'<', std::string_view("-current")}, std::pair{'|', std::string_view("-base")},
        std::pair{'>', std::string_view("-incoming")}}) {
    const std::size_t size = run_of(line, c);
    if (size < 3 || size + 1 >= line.size() || line[size] != ' ') continue;
    if (line.size() - size - 1 > suffix.size() && line.ends_with(suffix)) {
      kind = c;
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<std::vector<std::size_t>> find_partial_blocks(const std::vector<std::string>& lines) {
  std::vector<std::vector<std::size_t>> groups;
  bool open = false;
  auto visit = [&](std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to; ++k) {
      char kind = 0;
      if (!is_labelled_marker(lines[k], kind)) continue;
      if (kind == '<' || !open) groups.emplace_back();
      groups.back().push_back(k);
      open = kind != '>';
    }
  };
  std::size_t at = 0;
  for (const SourceBlock& block : find_blocks(lines)) {
    visit(at, block.begin);
    open = false;  // a complete block ends whatever was open before it
    at = block.end;
  }
  visit(at, lines.size());
  return groups;
}

std::vector<std::string> resolve_blocks(const std::vector<std::string>& lines, Side side) {
  std::vector<std::string> out;
  std::size_t at = 0;
  for (const SourceBlock& block : find_blocks(lines)) {
    out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(at),
               lines.begin() + static_cast<std::ptrdiff_t>(block.begin));
    const std::size_t from = side == Side::current ? block.ours_begin : block.theirs_begin;
    const std::size_t to = side == Side::current ? block.ours_end : block.theirs_end;
    out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(from),
               lines.begin() + static_cast<std::ptrdiff_t>(to));
    at = block.end;
  }
  out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(at), lines.end());
  // The last line of a cell's source has no line end; a block that closed
  // the source may have left its chosen last line with one.
  if (!out.empty() && !lines.empty() && !lines.back().ends_with('\n') &&
      out.back().ends_with('\n') && at == lines.size()) {
    std::string& last = out.back();
    last.pop_back();
    if (last.ends_with('\r')) last.pop_back();
  }
  return out;
}

std::vector<Conflict> find_conflicts(const NotebookFacts& merged, const Stages* stages) {
  std::vector<Conflict> found;
  const bool have_stages = stages && stages->current && stages->incoming;
  auto in_stage = [](const std::optional<NotebookFacts>& facts, const std::string& id) {
    return facts && facts->by_id.contains(id);
  };
  auto fresh = [&](const std::string& id) {
    return !in_stage(stages->base, id) && !in_stage(stages->current, id) &&
           !in_stage(stages->incoming, id);
  };

  // Marked copies: the incoming copy directly follows the current cell and
  // carries fresh ids (new in this merge, by the stages; shaped like the
  // random ids the merge gives, without them).  Their names may differ.
  std::vector<bool> paired(merged.cells.size(), false);
  for (std::size_t i = 0; i + 1 < merged.cells.size(); ++i) {
    const CellFacts& cell = merged.cells[i];
    const CellFacts& copy = merged.cells[i + 1];
    if (mark_of(cell.name) != Side::current || mark_of(copy.name) != Side::incoming) continue;
    const bool copies =
        have_stages ? fresh(copy.id) && in_stage(stages->incoming, cell.id)
                    : looks_fresh(copy.id) && (copy.cell_id.empty() || looks_fresh(copy.cell_id));
    if (!copies) continue;
    Conflict c{Kind::marked_copies, std::string(plain_name(cell.name))};
    c.cell = i;
    c.other = i + 1;
    paired[i] = paired[i + 1] = true;
    found.push_back(c);
  }

  // The other marked cells, grouped by their plain name, in notebook order:
  // a current and an incoming one claim one name; a lone one was deleted by
  // the other side.
  std::map<std::string, std::pair<std::vector<std::size_t>, std::vector<std::size_t>>> marked;
  std::vector<std::string> order;
  for (std::size_t i = 0; i < merged.cells.size(); ++i) {
    const auto mark = mark_of(merged.cells[i].name);
    if (!mark || paired[i]) continue;
    const std::string plain(plain_name(merged.cells[i].name));
    auto [slot, fresh_name] = marked.try_emplace(plain);
    if (fresh_name) order.push_back(plain);
    (*mark == Side::current ? slot->second.first : slot->second.second).push_back(i);
  }
  // With the stages, each marked cell must still be what the merge left: a
  // cell one side deleted is held by the side that kept it only; two cells
  // claiming one name are both cells of a version.  Anything else (a copy
  // whose partner was removed by hand) stays open, with the reason.
  auto mismatch = [&](const Conflict& c) -> std::string {
    if (!have_stages) return {};
    const std::string& id = merged.cells[c.cell].id;
    if (c.kind == Kind::one_side_kept) {
      const auto& keeper = c.kept_by == Side::current ? stages->current : stages->incoming;
      const auto& other = c.kept_by == Side::current ? stages->incoming : stages->current;
      if (in_stage(other, id))
        return std::string("marked as kept by ") + side_word(c.kept_by) + " alone, but the " +
               side_word(other_side(c.kept_by)) +
               " version holds this cell too (was its other copy removed by hand?)";
      if (!in_stage(keeper, id))
        return std::string("marked as kept by ") + side_word(c.kept_by) + ", but the " +
               side_word(c.kept_by) +
               " version does not hold this canvas id (a copy whose partner was removed by hand?)";
      return {};
    }
    for (std::size_t k : {c.cell, c.other})
      if (fresh(merged.cells[k].id))
        return "cell " + cell_words(merged.cells[k]) +
               " is a copy the merge placed beside another cell, but no copy of that cell is "
               "next to it any more (moved or removed by hand?)";
    return {};
  };
  auto add_marked = [&](Conflict c) {
    if (std::string why = mismatch(c); !why.empty()) {
      c.kind = Kind::hand_edited;
      c.reason = std::move(why);
    }
    found.push_back(std::move(c));
  };
  for (const std::string& name : order) {
    const auto& [ours, theirs] = marked[name];
    std::size_t k = 0;
    for (; k < ours.size() && k < theirs.size(); ++k) {
      Conflict c{Kind::name_clash, name};
      c.cell = ours[k];
      c.other = theirs[k];
      add_marked(c);
    }
    for (std::size_t r = k; r < ours.size(); ++r) {
      Conflict c{Kind::one_side_kept, name};
      c.cell = ours[r];
      c.kept_by = Side::current;
      add_marked(c);
    }
    for (std::size_t r = k; r < theirs.size(); ++r) {
      Conflict c{Kind::one_side_kept, name};
      c.cell = theirs[r];
      c.kept_by = Side::incoming;
      add_marked(c);
    }
  }

  // Copies placed without a mark: a cell in no version, right after a cell
  // both sides hold, with the incoming side's source of that cell.
  if (have_stages) {
    for (std::size_t i = 1; i < merged.cells.size(); ++i) {
      const CellFacts& copy = merged.cells[i];
      const CellFacts& cell = merged.cells[i - 1];
      if (mark_of(copy.name) || mark_of(cell.name) || !fresh(copy.id)) continue;
      if (!in_stage(stages->current, cell.id)) continue;
      auto theirs = stages->incoming->by_id.find(cell.id);
      if (theirs == stages->incoming->by_id.end()) continue;
      if (stages->incoming->cells[theirs->second].source != copy.source) continue;
      Conflict c{Kind::unmarked_copies, std::string(cell.name.empty() ? copy.name : cell.name)};
      c.cell = i - 1;
      c.other = i;
      found.push_back(c);
    }
  }

  // Parameters kept twice, or once marked.
  std::map<std::string, Conflict> parameters;
  std::vector<std::string> parameter_order;
  for (std::size_t i = 0; i < merged.parameters.size(); ++i) {
    const auto mark = mark_of(merged.parameters[i].name);
    if (!mark) continue;
    const std::string plain(plain_name(merged.parameters[i].name));
    auto [slot, fresh_name] = parameters.try_emplace(plain, Conflict{Kind::parameter_twice, plain});
    if (fresh_name) parameter_order.push_back(plain);
    (*mark == Side::current ? slot->second.parameter : slot->second.other_parameter) = i;
  }
  for (const std::string& name : parameter_order) found.push_back(parameters.at(name));

  for (std::size_t i = 0; i < merged.cells.size(); ++i) {
    const std::string name(plain_name(merged.cells[i].name));
    if (const std::size_t blocks = find_blocks(merged.cells[i].source).size(); blocks > 0) {
      Conflict c{Kind::source_blocks, name};
      c.cell = i;
      c.block_count = blocks;
      found.push_back(c);
    }
    if (const std::size_t partial = find_partial_blocks(merged.cells[i].source).size();
        partial > 0) {
      Conflict c{Kind::partial_blocks, name};
      c.cell = i;
      c.block_count = partial;
      found.push_back(c);
    }
  }

  // Plain cells the cell merge marked: after the source blocks, so that
  // resolving both edits the source the blocks left.
  for (std::size_t i = 0; i < merged.cells.size(); ++i) {
    if (!plain_mark_of(merged.cells[i])) continue;
    Conflict c{Kind::plain_mark, merged.cells[i].name};
    c.cell = i;
    std::string_view line = without_line_end(merged.cells[i].source.front());
    line.remove_prefix(merge::plain::kMarkPrefix.size());
    c.mark = line;
    found.push_back(c);
  }
  return found;
}

std::string describe(const Conflict& c, const NotebookFacts& merged) {
  switch (c.kind) {
    case Kind::marked_copies:
      return "cell " + quoted(c.name) + ": both sides changed it; copies " +
             cell_words(merged.cells[c.cell]) + " and " + cell_words(merged.cells[c.other]);
    case Kind::unmarked_copies:
      return "cell " + quoted(c.name) + ": both sides changed it; the incoming copy " +
             cell_words(merged.cells[c.other]) + " follows " + cell_words(merged.cells[c.cell]) +
             " without a mark";
    case Kind::name_clash:
      return "cells " + cell_words(merged.cells[c.cell]) + " and " +
             cell_words(merged.cells[c.other]) + ": two different cells claim the name " +
             quoted(c.name);
    case Kind::one_side_kept:
      return "cell " + cell_words(merged.cells[c.cell]) + ": changed by " + side_word(c.kept_by) +
             ", deleted by " + side_word(other_side(c.kept_by));
    case Kind::parameter_twice: {
      std::string text = "parameter " + quoted(c.name) + ": ";
      const auto value = [&](std::size_t p) {
        const ParameterFacts& f = merged.parameters[p];
        return quoted(f.name) + " = " + f.value + " (" + f.type + ")";
      };
      if (c.parameter != npos && c.other_parameter != npos)
        return text + "kept twice, " + value(c.parameter) + " and " + value(c.other_parameter);
      if (c.parameter != npos)
        return text + "changed by current, deleted by incoming: " + value(c.parameter);
      return text + "changed by incoming, deleted by current: " + value(c.other_parameter);
    }
    case Kind::source_blocks: {
      const CellFacts& cell = merged.cells[c.cell];
      std::string text = "cell " + cell_words(cell) + ": ";
      const auto blocks = find_blocks(cell.source);
      text += std::to_string(blocks.size()) +
              (blocks.size() == 1 ? " source conflict block" : " source conflict blocks") +
              " at line";
      text += blocks.size() == 1 ? " " : "s ";
      for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (b) text += ", ";
        text += std::to_string(blocks[b].begin + 1) + "-" + std::to_string(blocks[b].end);
        text += blocks[b].has_base ? " (with base)" : "";
        if (blocks[b].ambiguous())
          text += " (" + std::to_string(blocks[b].separators) + " lines could end its first side)";
      }
      return text;
    }
    case Kind::partial_blocks: {
      const CellFacts& cell = merged.cells[c.cell];
      const auto groups = find_partial_blocks(cell.source);
      std::string text = "cell " + cell_words(cell) + ": " + std::to_string(groups.size()) +
                         (groups.size() == 1 ? " partial source conflict block"
                                             : " partial source conflict blocks") +
                         " (marker lines without a complete block) at line";
      text += groups.size() == 1 && groups[0].size() == 1 ? " " : "s ";
      for (std::size_t g = 0; g < groups.size(); ++g)
        for (std::size_t k = 0; k < groups[g].size(); ++k)
          text += (g || k ? ", " : "") + std::to_string(groups[g][k] + 1);
      return text;
    }
    case Kind::hand_edited:
      if (c.other != npos)
        return "cells " + cell_words(merged.cells[c.cell]) + " and " +
               cell_words(merged.cells[c.other]) + " (both marked " + quoted(c.name) +
               "): " + c.reason;
      return "cell " + cell_words(merged.cells[c.cell]) + ": " + c.reason;
    case Kind::plain_mark:
      return "cell " + std::to_string(c.cell + 1) + " " + cell_words(merged.cells[c.cell]) + ": " +
             c.mark;
  }
  return {};
}

Tally tally(const std::vector<Conflict>& conflicts) {
  Tally t;
  for (const Conflict& c : conflicts) {
    switch (c.kind) {
      case Kind::marked_copies:
      case Kind::unmarked_copies:
      case Kind::name_clash:
      case Kind::one_side_kept:
      case Kind::hand_edited:
      case Kind::plain_mark:
        ++t.cells;
        break;
      case Kind::parameter_twice:
        ++t.parameters;
        break;
      case Kind::source_blocks:
      case Kind::partial_blocks:
        t.source_blocks += c.block_count;
        break;
    }
  }
  return t;
}

std::string tally_words(const Tally& t) {
  return "cell conflicts " + std::to_string(t.cells) + ", parameter conflicts " +
         std::to_string(t.parameters) + ", source conflict blocks " +
         std::to_string(t.source_blocks);
}

namespace {

// The kept parameters' order after a resolution: each resolved one goes back
// after the parameter that preceded it in its side's version (the version
// that holds it), at the front when none of those is left.
std::vector<std::size_t> parameter_order(
    const NotebookFacts& merged, const Plan& plan,
    const std::vector<std::pair<std::size_t, std::string>>& kept, const Stages& stages, Side side) {
  std::unordered_map<std::size_t, std::string> moved(kept.begin(), kept.end());
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < merged.parameters.size(); ++i)
    if (!moved.contains(i) && std::find(plan.drop_parameters.begin(), plan.drop_parameters.end(),
                                        i) == plan.drop_parameters.end())
      order.push_back(i);
  auto final_name = [&](std::size_t i) -> const std::string& {
    auto found = moved.find(i);
    return found != moved.end() ? found->second : merged.parameters[i].name;
  };
  const std::optional<NotebookFacts>* versions[3] = {
      side == Side::current ? &stages.current : &stages.incoming,
      side == Side::current ? &stages.incoming : &stages.current, &stages.base};
  for (const auto& [index, name] : kept) {
    const std::vector<ParameterFacts>* reference = nullptr;
    std::size_t at = npos;
    for (const auto* version : versions) {
      if (!*version) continue;
      const auto& list = (*version)->parameters;
      for (std::size_t k = 0; k < list.size() && at == npos; ++k)
        if (list[k].name == name) at = k;
      if (at != npos) {
        reference = &list;
        break;
      }
    }
    std::size_t insert = 0;  // the front, unless a predecessor is left
    for (std::size_t k = at; reference && k-- > 0;) {
      auto found = std::find_if(order.begin(), order.end(), [&](std::size_t i) {
        return final_name(i) == (*reference)[k].name;
      });
      if (found != order.end()) {
        insert = static_cast<std::size_t>(found - order.begin()) + 1;
        break;
      }
    }
    if (!reference) insert = order.size();  // no version places it: it stays last
    order.insert(order.begin() + static_cast<std::ptrdiff_t>(insert), index);
  }
  return order;
}

}  // namespace

Plan plan_resolution(const NotebookFacts& merged, const std::vector<Conflict>& open,
                     const Selection& selection, const Stages* stages,
                     const SettledSources& settled) {
  Plan plan;
  std::vector<std::pair<std::size_t, std::string>> kept_parameters;  // index, plain name
  std::map<std::size_t, CellEdit> edits;
  auto edit = [&](std::size_t cell) -> CellEdit& {
    auto [slot, fresh] = edits.try_emplace(cell);
    if (fresh) slot->second.cell = cell;
    return slot->second;
  };
  auto drop = [&](std::size_t cell, const std::string& instead) {
    plan.drop_cells.push_back(cell);
    plan.retarget[merged.cells[cell].id] = instead;
  };
  std::vector<bool> used_cell(selection.cells.size(), false),
      used_parameter(selection.parameters.size(), false);
  auto cell_selected = [&](std::size_t cell, bool strict) {
    bool hit = false;
    for (std::size_t s = 0; s < selection.cells.size(); ++s) {
      const std::vector<std::string> one{selection.cells[s]};
      if (strict ? selected_by_id_or_marked_name(one, merged.cells[cell])
                 : selected_name(one, merged.cells[cell])) {
        used_cell[s] = true;
        hit = true;
      }
    }
    return hit;
  };
  const Side side = selection.side;

  for (const Conflict& c : open) {
    switch (c.kind) {
      case Kind::marked_copies:
      case Kind::unmarked_copies: {
        const bool a = cell_selected(c.cell, false), b = cell_selected(c.other, false);
        if (!selection.all && !a && !b) continue;
        const CellFacts& current = merged.cells[c.cell];
        const CellFacts& incoming = merged.cells[c.other];
        if (side == Side::current) {
          if (mark_of(current.name)) edit(c.cell).name = std::string(plain_name(current.name));
          drop(c.other, current.id);
        } else {
          CellEdit& e = edit(c.other);
          if (mark_of(incoming.name)) e.name = std::string(plain_name(incoming.name));
          e.id = current.id;
          e.cell_id = current.cell_id;
          drop(c.cell, current.id);
        }
        plan.resolved.push_back(describe(c, merged) + ": kept the " + side_word(side) + " copy");
        break;
      }
      case Kind::name_clash: {
        const bool a = cell_selected(c.cell, true), b = cell_selected(c.other, true);
        if (!a && !b) {
          if (selection.all || cell_selected(c.cell, false) || cell_selected(c.other, false))
            plan.left.push_back(describe(c, merged) +
                                ": not copies of one cell, so both stay; to keep one, select "
                                "them with --cell and either canvas id, and choose the side whose "
                                "cell stays");
          continue;
        }
        const std::size_t keep = side == Side::current ? c.cell : c.other;
        const std::size_t gone = keep == c.cell ? c.other : c.cell;
        edit(keep).name = std::string(plain_name(merged.cells[keep].name));
        drop(gone, "");
        plan.resolved.push_back(describe(c, merged) + ": kept " + cell_words(merged.cells[keep]) +
                                ", dropped " + cell_words(merged.cells[gone]));
        break;
      }
      case Kind::one_side_kept: {
        if (!selection.all && !cell_selected(c.cell, false)) continue;
        if (side == c.kept_by) {
          edit(c.cell).name = std::string(plain_name(merged.cells[c.cell].name));
          plan.resolved.push_back(describe(c, merged) + ": kept");
        } else {
          drop(c.cell, "");
          plan.resolved.push_back(describe(c, merged) + ": deleted");
        }
        break;
      }
      case Kind::parameter_twice: {
        bool hit = selection.all;
        for (std::size_t s = 0; s < selection.parameters.size(); ++s) {
          const std::string& p = selection.parameters[s];
          if (p == c.name || p == std::string(kCurrentMark) + c.name ||
              p == std::string(kIncomingMark) + c.name) {
            used_parameter[s] = true;
            hit = true;
          }
        }
        if (!hit) continue;
        const std::size_t keep = side == Side::current ? c.parameter : c.other_parameter;
        const std::size_t gone = keep == c.parameter ? c.other_parameter : c.parameter;
        if (keep != npos) {
          plan.parameter_edits.push_back({keep, c.name});
          kept_parameters.emplace_back(keep, c.name);
        }
        if (gone != npos) plan.drop_parameters.push_back(gone);
        plan.resolved.push_back(
            describe(c, merged) +
            (keep != npos ? ": kept the " + std::string(side_word(side)) + " value" : ": deleted"));
        break;
      }
      case Kind::source_blocks: {
        if (!selection.all && !cell_selected(c.cell, false)) continue;
        plan.source_cells.push_back(c.cell);
        if (auto found = settled.find(c.cell); found != settled.end()) {
          edit(c.cell).source = found->second;
          plan.resolved.push_back(describe(c, merged) + ": kept the " + side_word(side) +
                                  " lines (by the index stages)");
          break;
        }
        const auto blocks = find_blocks(merged.cells[c.cell].source);
        if (std::any_of(blocks.begin(), blocks.end(),
                        [](const SourceBlock& b) { return b.ambiguous(); })) {
          plan.left.push_back(describe(c, merged) +
                              ": the markers cannot tell where its sides end, and no index "
                              "stage decides it; edit it by hand");
          break;
        }
        edit(c.cell).source = resolve_blocks(merged.cells[c.cell].source, side);
        plan.resolved.push_back(describe(c, merged) + ": kept the " + side_word(side) + " lines");
        break;
      }
      case Kind::partial_blocks:
        if (!selection.all && !cell_selected(c.cell, false)) continue;
        plan.left.push_back(describe(c, merged) +
                            ": markers are missing, so the sides cannot be told apart; edit it "
                            "by hand");
        break;
      case Kind::hand_edited:
        if (!selection.all && !cell_selected(c.cell, false) &&
            !(c.other != npos && cell_selected(c.other, false)))
          continue;
        plan.left.push_back(describe(c, merged) + "; left as it is: edit it by hand");
        break;
      case Kind::plain_mark: {
        const CellFacts& cell = merged.cells[c.cell];
        bool hit = selection.all || cell_selected(c.cell, false);
        for (std::size_t s = 0; s < selection.cells.size(); ++s)
          if (!cell.cell_id.empty() && selection.cells[s] == cell.cell_id)
            hit = used_cell[s] = true;
        const auto row = plain_mark_of(cell);
        if (!hit || !row) continue;
        const auto resolution = side == Side::current ? row->take_current : row->take_incoming;
        if (row->kind == merge::plain::MarkKind::notebook_metadata_changed_by_both) {
          if (side == Side::incoming) plan.incoming_metadata_cells.push_back(c.cell);
          drop(c.cell, "");
          plan.resolved.push_back(describe(c, merged) + (side == Side::incoming
                                                             ? ": incoming's values taken"
                                                             : ": current's values kept"));
          break;
        }
        if (resolution == merge::plain::Resolution::drop) {
          drop(c.cell, "");
          plan.resolved.push_back(describe(c, merged) + ": deleted");
          break;
        }
        CellEdit& e = edit(c.cell);
        std::vector<std::string> lines = e.source ? *e.source : cell.source;
        if (!lines.empty() && merge::plain::parse_mark(lines.front())) lines.erase(lines.begin());
        e.source = std::move(lines);
        plan.resolved.push_back(describe(c, merged) + ": kept, mark removed");
        break;
      }
    }
  }
  if (stages && !kept_parameters.empty())
    plan.parameter_order = parameter_order(merged, plan, kept_parameters, *stages, side);
  for (auto& [cell, e] : edits)
    if (std::find(plan.drop_cells.begin(), plan.drop_cells.end(), cell) == plan.drop_cells.end())
      plan.cell_edits.push_back(std::move(e));
  for (std::size_t s = 0; s < selection.cells.size(); ++s)
    if (!used_cell[s]) plan.unmatched.push_back("--cell " + selection.cells[s]);
  for (std::size_t s = 0; s < selection.parameters.size(); ++s)
    if (!used_parameter[s]) plan.unmatched.push_back("--parameter " + selection.parameters[s]);
  return plan;
}

}  // namespace zuv::conflicts
