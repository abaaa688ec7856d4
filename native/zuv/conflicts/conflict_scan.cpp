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

bool selected_name(const std::vector<std::string>& selectors, const CellFacts& cell) {
  const std::string_view plain = plain_name(cell.name);
  for (const std::string& s : selectors)
    if (s == cell.id || (!cell.name.empty() && (s == cell.name || s == plain))) return true;
  return false;
}

bool selected_by_id_or_marked_name(const std::vector<std::string>& selectors,
                                   const CellFacts& cell) {
  for (const std::string& s : selectors)
    if (s == cell.id || (!cell.name.empty() && s == cell.name)) return true;
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
  for (std::size_t i = 0; i < cells.size(); ++i) by_id[cells[i].id] = i;
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
    SourceBlock block;
    block.begin = i;
    block.marker_size = size;
    block.ours_begin = i + 1;
    enum { ours, base, theirs } part = ours;
    bool closed = false;
    std::size_t j = i + 1;
    for (; j < lines.size(); ++j) {
      const std::string& line = lines[j];
      if (part == ours && is_marker(line, '|', size, true)) {
        block.has_base = true;
        block.ours_end = j;
        block.base_begin = j + 1;
        part = base;
      } else if (part != theirs && is_marker(line, '=', size, false)) {
        (part == ours ? block.ours_end : block.base_end) = j;
        block.theirs_begin = j + 1;
        part = theirs;
      } else if (part == theirs && is_marker(line, '>', size, true)) {
        block.theirs_end = j;
        block.end = j + 1;
        closed = true;
        break;
      } else if (is_marker(line, '<', size, true)) {
        break;  // a new opening before this one closed: this one is no block
      }
    }
    if (closed) {
      blocks.push_back(block);
      i = block.end;
    } else {
      i = j > i + 1 && j < lines.size() ? j : i + 1;
    }
  }
  return blocks;
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
  for (const std::string& name : order) {
    const auto& [ours, theirs] = marked[name];
    std::size_t k = 0;
    for (; k < ours.size() && k < theirs.size(); ++k) {
      Conflict c{Kind::name_clash, name};
      c.cell = ours[k];
      c.other = theirs[k];
      found.push_back(c);
    }
    for (std::size_t r = k; r < ours.size(); ++r) {
      Conflict c{Kind::one_side_kept, name};
      c.cell = ours[r];
      c.kept_by = Side::current;
      found.push_back(c);
    }
    for (std::size_t r = k; r < theirs.size(); ++r) {
      Conflict c{Kind::one_side_kept, name};
      c.cell = theirs[r];
      c.kept_by = Side::incoming;
      found.push_back(c);
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
    const std::size_t blocks = find_blocks(merged.cells[i].source).size();
    if (blocks == 0) continue;
    Conflict c{Kind::source_blocks, std::string(plain_name(merged.cells[i].name))};
    c.cell = i;
    c.block_count = blocks;
    found.push_back(c);
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
      }
      return text;
    }
    case Kind::plain_mark:
      return "cell " + std::to_string(c.cell + 1) + " " + cell_words(merged.cells[c.cell]) + ": " +
             c.mark;
  }
  return {};
}

Plan plan_resolution(const NotebookFacts& merged, const std::vector<Conflict>& open,
                     const Selection& selection) {
  Plan plan;
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
        if (keep != npos) plan.parameter_edits.push_back({keep, c.name});
        if (gone != npos) plan.drop_parameters.push_back(gone);
        plan.resolved.push_back(
            describe(c, merged) +
            (keep != npos ? ": kept the " + std::string(side_word(side)) + " value" : ": deleted"));
        break;
      }
      case Kind::source_blocks: {
        if (!selection.all && !cell_selected(c.cell, false)) continue;
        edit(c.cell).source = resolve_blocks(merged.cells[c.cell].source, side);
        plan.resolved.push_back(describe(c, merged) + ": kept the " + side_word(side) + " lines");
        break;
      }
      case Kind::plain_mark: {
        const CellFacts& cell = merged.cells[c.cell];
        bool hit = selection.all || cell_selected(c.cell, false);
        for (std::size_t s = 0; s < selection.cells.size(); ++s)
          if (!cell.cell_id.empty() && selection.cells[s] == cell.cell_id)
            hit = used_cell[s] = true;
        const auto row = plain_mark_of(cell);
        if (!hit || !row) continue;
        const auto resolution = side == Side::current ? row->take_current : row->take_incoming;
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
