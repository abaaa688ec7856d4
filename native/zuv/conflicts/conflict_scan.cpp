#include "zuv/conflicts/conflict_scan.hpp"

#include <algorithm>
#include <map>
#include <set>

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

// Whether a cell selector names the cell: by canvas id, by its notebook
// format id, or by its name with or without the conflict mark.  An empty
// selector names no cell (a cell without a canvas id has "" there).
bool selected_name(const std::string& selector, const CellFacts& cell) {
  if (selector.empty()) return false;
  return selector == cell.id || selector == cell.cell_id ||
         (!cell.name.empty() && (selector == cell.name || selector == plain_name(cell.name)));
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
  parameter_by_name.clear();
  for (std::size_t i = 0; i < parameters.size(); ++i)
    parameter_by_name.try_emplace(parameters[i].name, i);
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

namespace {

// One scan of a merged notebook: each kind of conflict found by a step of
// its own, in the order resolve works through them.
class ConflictScan {
 public:
  ConflictScan(const NotebookFacts& merged, const Stages* stages)
      : merged_(merged),
        stages_(stages),
        have_stages_(stages && stages->current && stages->incoming),
        paired_(merged.cells.size(), false) {}

  std::vector<Conflict> run() {
    marked_copies();
    marked_cells();
    if (have_stages_) unmarked_copies();
    parameters();
    source_blocks();
    plain_marks();
    return std::move(found_);
  }

 private:
  static bool in_stage(const std::optional<NotebookFacts>& facts, const std::string& id) {
    return facts && facts->by_id.contains(id);
  }
  // New in this merge: in no version (only asked with the stages).
  bool fresh(const std::string& id) const {
    return !in_stage(stages_->base, id) && !in_stage(stages_->current, id) &&
           !in_stage(stages_->incoming, id);
  }

  void marked_copies();
  void marked_cells();
  std::string mismatch(const Conflict& c) const;
  void add_marked(Conflict c);
  void unmarked_copies();
  void parameters();
  void source_blocks();
  void plain_marks();

  const NotebookFacts& merged_;
  const Stages* stages_;
  const bool have_stages_;
  std::vector<bool> paired_;  // cells found as marked copies
  std::vector<Conflict> found_;
};

// Marked copies: the incoming copy directly follows the current cell and
// carries fresh ids (new in this merge, by the stages; shaped like the
// random ids the merge gives, without them).  Their names may differ.
void ConflictScan::marked_copies() {
  for (std::size_t i = 0; i + 1 < merged_.cells.size(); ++i) {
    const CellFacts& cell = merged_.cells[i];
    const CellFacts& copy = merged_.cells[i + 1];
    if (mark_of(cell.name) != Side::current || mark_of(copy.name) != Side::incoming) continue;
    const bool copies =
        have_stages_ ? fresh(copy.id) && in_stage(stages_->incoming, cell.id)
                     : looks_fresh(copy.id) && (copy.cell_id.empty() || looks_fresh(copy.cell_id));
    if (!copies) continue;
    Conflict c{Kind::marked_copies, std::string(plain_name(cell.name))};
    c.cell = i;
    c.other = i + 1;
    paired_[i] = paired_[i + 1] = true;
    found_.push_back(c);
  }
}

// The other marked cells, grouped by their plain name, in notebook order: a
// current and an incoming one claim one name; a lone one was deleted by the
// other side.  One side's cells beyond the other's that the base does not
// hold (without the stages: any, where the other side has one) were added
// under that name too: each claims it against the other side's last cell.
void ConflictScan::marked_cells() {
  std::map<std::string, std::pair<std::vector<std::size_t>, std::vector<std::size_t>>> marked;
  std::vector<std::string> order;
  for (std::size_t i = 0; i < merged_.cells.size(); ++i) {
    const auto mark = mark_of(merged_.cells[i].name);
    if (!mark || paired_[i]) continue;
    const std::string plain(plain_name(merged_.cells[i].name));
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
      add_marked(c);
    }
    const auto added = [&](std::size_t cell) {
      return !have_stages_ || !in_stage(stages_->base, merged_.cells[cell].id);
    };
    for (std::size_t r = k; r < ours.size(); ++r) {
      Conflict c{Kind::one_side_kept, name};
      c.cell = ours[r];
      if (!theirs.empty() && added(ours[r])) {
        c.kind = Kind::name_clash;
        c.other = theirs.back();
      }
      add_marked(c);
    }
    for (std::size_t r = k; r < theirs.size(); ++r) {
      Conflict c{Kind::one_side_kept, name};
      c.cell = theirs[r];
      c.kept_by = Side::incoming;
      if (!ours.empty() && added(theirs[r])) {
        c.kind = Kind::name_clash;
        c.cell = ours.back();
        c.other = theirs[r];
      }
      add_marked(c);
    }
  }
}

// With the stages, each marked cell must still be what the merge left: a
// cell one side deleted is held by the side that kept it only; two cells
// claiming one name are both cells of a version.  Anything else (a copy
// whose partner was removed by hand) stays open, with the reason; "" when
// it matches.
std::string ConflictScan::mismatch(const Conflict& c) const {
  if (!have_stages_) return {};
  const std::string& id = merged_.cells[c.cell].id;
  if (c.kind == Kind::one_side_kept) {
    const auto& keeper = c.kept_by == Side::current ? stages_->current : stages_->incoming;
    const auto& other = c.kept_by == Side::current ? stages_->incoming : stages_->current;
    if (in_stage(other, id))
      return std::string("marked as kept by ") + side_word(c.kept_by) + " alone, but the " +
             side_word(other_side(c.kept_by)) +
             " version holds this cell too (was its other copy removed by hand?)";
    if (!in_stage(keeper, id))
      return std::string("marked as kept by ") + side_word(c.kept_by) + ", but the " +
             side_word(c.kept_by) +
             " version does not hold this canvas id (a copy whose partner was removed by hand?)";
    if (!in_stage(stages_->base, id))
      return std::string("marked as deleted by ") + side_word(other_side(c.kept_by)) +
             ", but the base version does not hold it: " + side_word(c.kept_by) +
             " added it (a cell that claimed its name against it removed by hand?)";
    return {};
  }
  for (std::size_t k : {c.cell, c.other})
    if (fresh(merged_.cells[k].id))
      return "cell " + cell_words(merged_.cells[k]) +
             " is a copy the merge placed beside another cell, but no copy of that cell is "
             "next to it any more (moved or removed by hand?)";
  return {};
}

void ConflictScan::add_marked(Conflict c) {
  if (std::string why = mismatch(c); !why.empty()) {
    c.kind = Kind::hand_edited;
    c.reason = std::move(why);
  }
  found_.push_back(std::move(c));
}

// Copies placed without a mark: a cell in no version, right after a cell
// both sides hold, with the incoming side's source of that cell.
void ConflictScan::unmarked_copies() {
  for (std::size_t i = 1; i < merged_.cells.size(); ++i) {
    const CellFacts& copy = merged_.cells[i];
    const CellFacts& cell = merged_.cells[i - 1];
    if (mark_of(copy.name) || mark_of(cell.name) || !fresh(copy.id)) continue;
    if (!in_stage(stages_->current, cell.id)) continue;
    auto theirs = stages_->incoming->by_id.find(cell.id);
    if (theirs == stages_->incoming->by_id.end()) continue;
    if (stages_->incoming->cells[theirs->second].source != copy.source) continue;
    Conflict c{Kind::unmarked_copies, std::string(cell.name.empty() ? copy.name : cell.name)};
    c.cell = i - 1;
    c.other = i;
    found_.push_back(c);
  }
}

// Parameters kept twice, or once marked.
void ConflictScan::parameters() {
  std::map<std::string, Conflict> parameters;
  std::vector<std::string> parameter_order;
  for (std::size_t i = 0; i < merged_.parameters.size(); ++i) {
    const auto mark = mark_of(merged_.parameters[i].name);
    if (!mark) continue;
    const std::string plain(plain_name(merged_.parameters[i].name));
    auto [slot, fresh_name] = parameters.try_emplace(plain, Conflict{Kind::parameter_twice, plain});
    if (fresh_name) parameter_order.push_back(plain);
    (*mark == Side::current ? slot->second.parameter : slot->second.other_parameter) = i;
  }
  for (const std::string& name : parameter_order) found_.push_back(parameters.at(name));
}

// Complete and partial conflict blocks in each source.
void ConflictScan::source_blocks() {
  for (std::size_t i = 0; i < merged_.cells.size(); ++i) {
    const std::string name(plain_name(merged_.cells[i].name));
    if (const std::size_t blocks = find_blocks(merged_.cells[i].source).size(); blocks > 0) {
      Conflict c{Kind::source_blocks, name};
      c.cell = i;
      c.block_count = blocks;
      found_.push_back(c);
    }
    if (const std::size_t partial = find_partial_blocks(merged_.cells[i].source).size();
        partial > 0) {
      Conflict c{Kind::partial_blocks, name};
      c.cell = i;
      c.block_count = partial;
      found_.push_back(c);
    }
  }
}

// Plain cells the cell merge marked: after the source blocks, so that
// resolving both edits the source the blocks left.
void ConflictScan::plain_marks() {
  for (std::size_t i = 0; i < merged_.cells.size(); ++i) {
    if (!plain_mark_of(merged_.cells[i])) continue;
    Conflict c{Kind::plain_mark, merged_.cells[i].name};
    c.cell = i;
    std::string_view line = without_line_end(merged_.cells[i].source.front());
    line.remove_prefix(merge::plain::kMarkPrefix.size());
    c.mark = line;
    found_.push_back(c);
  }
}

}  // namespace

std::vector<Conflict> find_conflicts(const NotebookFacts& merged, const Stages* stages) {
  return ConflictScan(merged, stages).run();
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

namespace {

std::string joined_words(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

// The cells a conflict is about.
std::vector<std::size_t> cells_of(const Conflict& c) {
  std::vector<std::size_t> cells;
  for (std::size_t k : {c.cell, c.other})
    if (k != npos) cells.push_back(k);
  return cells;
}

// A cell selector that is no canvas or cell id, naming conflicts of cells
// apart from each other: which one is meant cannot be told.  The error lines
// for each such selector, else none.
std::vector<std::string> ambiguous_selectors(const NotebookFacts& merged,
                                             const std::vector<Conflict>& open,
                                             const Selection& selection) {
  std::vector<std::string> lines;
  for (const std::string& s : selection.cells) {
    const bool an_id = std::any_of(merged.cells.begin(), merged.cells.end(), [&](const auto& cell) {
      return s == cell.id || (!cell.cell_id.empty() && s == cell.cell_id);
    });
    if (an_id) continue;
    std::vector<const Conflict*> named;
    for (const Conflict& c : open) {
      const auto cells = cells_of(c);
      if (std::any_of(cells.begin(), cells.end(),
                      [&](std::size_t k) { return selected_name(s, merged.cells[k]); }))
        named.push_back(&c);
    }
    if (named.size() < 2) continue;
    const auto first = cells_of(*named.front());
    const bool apart = std::any_of(named.begin() + 1, named.end(), [&](const Conflict* c) {
      const auto cells = cells_of(*c);
      return std::none_of(cells.begin(), cells.end(), [&](std::size_t k) {
        return std::find(first.begin(), first.end(), k) != first.end();
      });
    });
    if (!apart) continue;
    lines.push_back("--cell " + s + " names " + std::to_string(named.size()) +
                    " conflicts of different cells; select one by its canvas id:");
    for (const Conflict* c : named) lines.push_back("  " + describe(*c, merged));
  }
  return lines;
}

// Plans a resolution conflict by conflict, in the order they were found.
class Planner {
 public:
  Planner(const NotebookFacts& merged, const Selection& selection, const SettledSources& settled,
          const Combinations& combined)
      : merged_(merged),
        selection_(selection),
        settled_(settled),
        combined_(combined),
        side_(selection.side),
        used_cell_(selection.cells.size(), false),
        used_parameter_(selection.parameters.size(), false) {}

  void visit(const Conflict& c);
  void name_clash_groups(const std::vector<Conflict>& open);
  Plan finish(const Stages* stages);

 private:
  CellEdit& edit(std::size_t cell);
  void drop(std::size_t cell, const std::string& instead);
  bool cell_selected(std::size_t cell);
  bool conflict_selected(const Conflict& c);
  void copies(const Conflict& c);
  void combine(const Conflict& c);
  void name_clash(const Conflict& c);
  std::string free_name(const std::string& stem, const std::string& end);
  void one_side_kept(const Conflict& c);
  void parameter_twice(const Conflict& c);
  void source_blocks(const Conflict& c);
  void plain_mark(const Conflict& c);
  void not_combined(const Conflict& c);
  std::string side_words() const { return std::string("the ") + side_word(side_); }

  const NotebookFacts& merged_;
  const Selection& selection_;
  const SettledSources& settled_;
  const Combinations& combined_;
  const Side side_;
  Plan plan_;
  std::map<std::size_t, CellEdit> edits_;
  std::vector<std::pair<std::size_t, std::string>> kept_parameters_;  // index, plain name
  std::vector<bool> used_cell_, used_parameter_;
  std::set<std::string> taken_names_;           // cell names, filled when a name is first sought
  std::map<std::size_t, std::string> renamed_;  // cells kept beside a clash's chosen one
  std::set<std::string> named_clashes_;         // names whose clashes a cell selector names
  std::set<std::size_t> dropped_;               // the cells in plan_.drop_cells
};

CellEdit& Planner::edit(std::size_t cell) {
  auto [slot, fresh] = edits_.try_emplace(cell);
  if (fresh) slot->second.cell = cell;
  return slot->second;
}

void Planner::drop(std::size_t cell, const std::string& instead) {
  plan_.drop_cells.push_back(cell);
  dropped_.insert(cell);
  plan_.retarget[merged_.cells[cell].id] = instead;
}

// Whether a cell selector names the cell (by canvas id or any form of its
// name); every selector that does is used.
bool Planner::cell_selected(std::size_t cell) {
  bool hit = false;
  for (std::size_t s = 0; s < selection_.cells.size(); ++s) {
    if (selected_name(selection_.cells[s], merged_.cells[cell])) {
      used_cell_[s] = true;
      hit = true;
    }
  }
  return hit;
}

// Whether the selection asks for a conflict of cells: --all, or a cell
// selector naming one of its cells (every such selector is used).
bool Planner::conflict_selected(const Conflict& c) {
  bool hit = cell_selected(c.cell);
  if (c.other != npos) hit = cell_selected(c.other) || hit;
  return hit || selection_.all;
}

void Planner::visit(const Conflict& c) {
  if (selection_.combine) {
    if (c.kind == Kind::marked_copies || c.kind == Kind::unmarked_copies) return combine(c);
    if (c.kind == Kind::partial_blocks || c.kind == Kind::hand_edited) {
      // Left open whichever way: said below.
    } else {
      return not_combined(c);
    }
  }
  switch (c.kind) {
    case Kind::marked_copies:
    case Kind::unmarked_copies:
      return copies(c);
    case Kind::name_clash:
      return name_clash(c);
    case Kind::one_side_kept:
      return one_side_kept(c);
    case Kind::parameter_twice:
      return parameter_twice(c);
    case Kind::source_blocks:
      return source_blocks(c);
    case Kind::partial_blocks:
      if (!conflict_selected(c)) return;
      plan_.left.push_back(describe(c, merged_) +
                           ": markers are missing, so the sides cannot be told apart; edit it "
                           "by hand");
      return;
    case Kind::hand_edited:
      if (!conflict_selected(c)) return;
      plan_.left.push_back(describe(c, merged_) + "; left as it is: edit it by hand");
      return;
    case Kind::plain_mark:
      return plain_mark(c);
  }
}

void Planner::copies(const Conflict& c) {
  if (!conflict_selected(c)) return;
  const CellFacts& current = merged_.cells[c.cell];
  const CellFacts& incoming = merged_.cells[c.other];
  if (side_ == Side::current) {
    if (mark_of(current.name)) edit(c.cell).name = std::string(plain_name(current.name));
    drop(c.other, current.id);
  } else {
    CellEdit& e = edit(c.other);
    if (mark_of(incoming.name)) e.name = std::string(plain_name(incoming.name));
    e.id = current.id;
    e.cell_id = current.cell_id;
    drop(c.cell, current.id);
  }
  plan_.resolved.push_back(describe(c, merged_) + ": kept " + side_words() + " copy");
}

// One cell from both copies, where the combination found nothing both sides
// changed differently; the current copy stands for it, with its ids.
void Planner::combine(const Conflict& c) {
  if (!conflict_selected(c)) return;
  plan_.combine_pairs.emplace_back(c.cell, c.other);
  auto found = combined_.find(c.cell);
  if (found == combined_.end()) {
    plan_.left.push_back(describe(c, merged_) +
                         ": not combined: git's index stages (the base version) are needed to "
                         "combine the copies; choose --current or --incoming, or edit by hand");
    return;
  }
  const Combination& combination = found->second;
  if (!combination.problem.empty() || !combination.fields.empty()) {
    plan_.left.push_back(
        describe(c, merged_) + ": not combined: " +
        (combination.problem.empty()
             ? "both sides changed " + joined_words(combination.fields) + " differently"
             : combination.problem) +
        "; choose --current or --incoming, or edit by hand");
    return;
  }
  CellEdit& e = edit(c.cell);
  e.combined = true;
  e.name = combination.name;
  const std::string& id = merged_.cells[c.cell].id;
  drop(c.other, id);
  plan_.retarget[id] = id;  // references to the cell take its name, which may be incoming's
  CellFacts joined = merged_.cells[c.cell];
  joined.name = combination.name;
  plan_.resolved.push_back(describe(c, merged_) + ": combined both sides' changes into " +
                           cell_words(joined));
}

void Planner::not_combined(const Conflict& c) {
  bool hit = selection_.all;
  if (c.kind == Kind::parameter_twice) {
    for (std::size_t s = 0; s < selection_.parameters.size(); ++s)
      if (selection_.parameters[s] == c.name || plain_name(selection_.parameters[s]) == c.name) {
        used_parameter_[s] = true;
        hit = true;
      }
  } else {
    hit = conflict_selected(c);
    for (std::size_t s = 0; s < selection_.cells.size(); ++s)
      if (!merged_.cells[c.cell].cell_id.empty() &&
          selection_.cells[s] == merged_.cells[c.cell].cell_id)
        hit = used_cell_[s] = true;
  }
  if (!hit) return;
  const auto row = c.kind == Kind::plain_mark ? plain_mark_of(merged_.cells[c.cell]) : std::nullopt;
  if (row && row->kind == merge::plain::MarkKind::fields_changed_by_both) {
    // The cell merge joined the rest already; what is named here both sides changed.
    plan_.left.push_back(describe(c, merged_) +
                         ": the merge already joined what the sides changed apart; choose "
                         "--current or --incoming for the fields named");
    return;
  }
  plan_.left.push_back(describe(c, merged_) +
                       ": --combine joins the two copies of one cell; choose --current or "
                       "--incoming for this");
}

// A selector naming either cell (by canvas id or name) keeps the chosen
// side's and drops the other: the person named it.  By --all, the chosen
// side's cell takes the name and the other stays too, renamed to say where it
// came from, so that nothing either side wrote is lost.
void Planner::name_clash(const Conflict& c) {
  const bool a = cell_selected(c.cell), b = cell_selected(c.other);
  const bool named = a || b || named_clashes_.contains(c.name);
  if (!named && !selection_.all) return;
  const std::size_t keep = side_ == Side::current ? c.cell : c.other;
  const std::size_t gone = keep == c.cell ? c.other : c.cell;
  const std::string plain(plain_name(merged_.cells[keep].name));
  edit(keep).name = plain;
  if (named) {
    if (!dropped_.contains(gone)) drop(gone, "");
    plan_.resolved.push_back(describe(c, merged_) + ": kept " + cell_words(merged_.cells[keep]) +
                             ", dropped " + cell_words(merged_.cells[gone]));
    return;
  }
  const Side other = other_side(side_);
  // A cell that claims the name against several is renamed once.
  auto [given, fresh] = renamed_.try_emplace(gone);
  if (fresh) given->second = free_name(c.name + " (" + side_word(other), ")");
  const std::string renamed = given->second;
  edit(gone).name = renamed;
  // References that carry a name take the new ones; their ids stay.
  plan_.retarget[merged_.cells[keep].id] = merged_.cells[keep].id;
  plan_.retarget[merged_.cells[gone].id] = merged_.cells[gone].id;
  plan_.resolved.push_back(describe(c, merged_) + ": kept " + cell_words(merged_.cells[keep]) +
                           " as " + quoted(plain) + "; the " + side_word(other) + " side's cell " +
                           cell_words(merged_.cells[gone]) + " kept too, as " + quoted(renamed));
}

// Cells claiming one name, more on one side than the other, make several
// clashes; a selector naming a cell of one of them decides them all, so that
// no marked cell is left without its partner.
void Planner::name_clash_groups(const std::vector<Conflict>& open) {
  for (const Conflict& c : open) {
    if (c.kind != Kind::name_clash) continue;
    for (const std::string& s : selection_.cells)
      if (selected_name(s, merged_.cells[c.cell]) || selected_name(s, merged_.cells[c.other]))
        named_clashes_.insert(c.name);
  }
}

// `stem` + `end`, else `stem` + " 2" + `end`, " 3", ...: the first that no
// cell of the notebook (marks taken off) and no name given by this plan has.
std::string Planner::free_name(const std::string& stem, const std::string& end) {
  if (taken_names_.empty())
    for (const CellFacts& cell : merged_.cells) {
      taken_names_.insert(cell.name);
      taken_names_.insert(std::string(plain_name(cell.name)));
    }
  std::string name = stem + end;
  for (std::size_t n = 2; taken_names_.contains(name); ++n) {
    name = stem;
    name += ' ';
    name += std::to_string(n);
    name += end;
  }
  taken_names_.insert(name);
  return name;
}

void Planner::one_side_kept(const Conflict& c) {
  if (!conflict_selected(c)) return;
  if (side_ == c.kept_by) {
    edit(c.cell).name = std::string(plain_name(merged_.cells[c.cell].name));
    plan_.resolved.push_back(describe(c, merged_) + ": kept");
  } else {
    drop(c.cell, "");
    plan_.resolved.push_back(describe(c, merged_) + ": deleted");
  }
}

void Planner::parameter_twice(const Conflict& c) {
  bool hit = selection_.all;
  for (std::size_t s = 0; s < selection_.parameters.size(); ++s) {
    const std::string& p = selection_.parameters[s];
    if (p == c.name || p == std::string(kCurrentMark) + c.name ||
        p == std::string(kIncomingMark) + c.name) {
      used_parameter_[s] = true;
      hit = true;
    }
  }
  if (!hit) return;
  const std::size_t keep = side_ == Side::current ? c.parameter : c.other_parameter;
  const std::size_t gone = keep == c.parameter ? c.other_parameter : c.parameter;
  if (keep != npos) {
    plan_.parameter_edits.push_back({keep, c.name});
    kept_parameters_.emplace_back(keep, c.name);
  }
  if (gone != npos) plan_.drop_parameters.push_back(gone);
  plan_.resolved.push_back(describe(c, merged_) +
                           (keep != npos ? ": kept " + side_words() + " value" : ": deleted"));
}

void Planner::source_blocks(const Conflict& c) {
  if (!conflict_selected(c)) return;
  plan_.source_cells.push_back(c.cell);
  if (auto found = settled_.find(c.cell); found != settled_.end()) {
    edit(c.cell).source = found->second;
    plan_.resolved.push_back(describe(c, merged_) + ": kept " + side_words() +
                             " lines (by the index stages)");
    return;
  }
  const auto blocks = find_blocks(merged_.cells[c.cell].source);
  if (std::any_of(blocks.begin(), blocks.end(),
                  [](const SourceBlock& b) { return b.ambiguous(); })) {
    plan_.left.push_back(describe(c, merged_) +
                         ": the markers cannot tell where its sides end, and no index "
                         "stage decides it; edit it by hand");
    return;
  }
  edit(c.cell).source = resolve_blocks(merged_.cells[c.cell].source, side_);
  plan_.resolved.push_back(describe(c, merged_) + ": kept " + side_words() + " lines");
}

void Planner::plain_mark(const Conflict& c) {
  const CellFacts& cell = merged_.cells[c.cell];
  bool hit = conflict_selected(c);
  for (std::size_t s = 0; s < selection_.cells.size(); ++s)
    if (!cell.cell_id.empty() && selection_.cells[s] == cell.cell_id) hit = used_cell_[s] = true;
  const auto row = plain_mark_of(cell);
  if (!hit || !row) return;
  const auto resolution = side_ == Side::current ? row->take_current : row->take_incoming;
  if (row->kind == merge::plain::MarkKind::notebook_metadata_changed_by_both) {
    if (side_ == Side::incoming) plan_.incoming_metadata_cells.push_back(c.cell);
    drop(c.cell, "");
    plan_.resolved.push_back(describe(c, merged_) + (side_ == Side::incoming
                                                         ? ": incoming's values taken"
                                                         : ": current's values kept"));
    return;
  }
  if (resolution == merge::plain::Resolution::drop) {
    drop(c.cell, "");
    plan_.resolved.push_back(describe(c, merged_) + ": deleted");
    return;
  }
  CellEdit& e = edit(c.cell);
  std::vector<std::string> lines = e.source ? *e.source : cell.source;
  if (!lines.empty() && merge::plain::parse_mark(lines.front())) lines.erase(lines.begin());
  e.source = std::move(lines);
  plan_.resolved.push_back(describe(c, merged_) + ": kept, mark removed");
}

Plan Planner::finish(const Stages* stages) {
  if (stages && !kept_parameters_.empty())
    plan_.parameter_order = parameter_order(merged_, plan_, kept_parameters_, *stages, side_);
  for (auto& [cell, e] : edits_)
    if (std::find(plan_.drop_cells.begin(), plan_.drop_cells.end(), cell) == plan_.drop_cells.end())
      plan_.cell_edits.push_back(std::move(e));
  for (std::size_t s = 0; s < selection_.cells.size(); ++s)
    if (!used_cell_[s]) plan_.unmatched.push_back("--cell " + selection_.cells[s]);
  for (std::size_t s = 0; s < selection_.parameters.size(); ++s)
    if (!used_parameter_[s]) plan_.unmatched.push_back("--parameter " + selection_.parameters[s]);
  return std::move(plan_);
}

}  // namespace

Plan plan_resolution(const NotebookFacts& merged, const std::vector<Conflict>& open,
                     const Selection& selection, const Stages* stages,
                     const SettledSources& settled, const Combinations& combined) {
  Planner planner(merged, selection, settled, combined);
  planner.name_clash_groups(open);
  for (const Conflict& c : open) planner.visit(c);
  Plan plan = planner.finish(stages);
  plan.ambiguous = ambiguous_selectors(merged, open, selection);
  return plan;
}

}  // namespace zuv::conflicts
