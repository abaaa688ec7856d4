// Finding what a pipeline merge left open, and planning its resolution.
// Plain C++ over facts copied out of the notebooks: no Python here.
//
// What a merge leaves open:
// - copies of one cell placed side by side: both sides changed it; the
//   incoming copy has a fresh canvas id and follows the current cell.  Both
//   named: marked "<<< name" / ">>> name".  Only one named: unmarked (found
//   only with the index stages);
// - a cell one side changed and the other deleted: one marked cell;
// - two different cells that claim one name: both marked;
// - a parameter kept twice ("<<< name" / ">>> name"), or once, marked, when
//   the other side deleted it;
// - source conflict blocks of git (any marker size; with or without the
//   base section of the diff3 and zdiff3 styles).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zuv::conflicts {

constexpr std::size_t npos = static_cast<std::size_t>(-1);
constexpr std::string_view kCurrentMark = "<<< ";
constexpr std::string_view kIncomingMark = ">>> ";

enum class Side { current, incoming };

struct CellFacts {
  std::string id;       // canvas id
  std::string cell_id;  // the notebook format's cell id ("" when absent)
  std::string name;
  std::vector<std::string> source;
  std::vector<std::string> parent_ids;
};

struct ParameterFacts {
  std::string name;
  std::string type;
  std::string value;
};

struct NotebookFacts {
  std::vector<CellFacts> cells;
  std::vector<ParameterFacts> parameters;
  std::unordered_map<std::string, std::size_t> by_id;  // by canvas id, filled by index()
  std::unordered_map<std::string, std::size_t> parameter_by_name;  // the first of each name
  void index();
};

// One git conflict block inside a source, by line index.
struct SourceBlock {
  std::size_t begin = 0;  // the opening marker line
  std::size_t end = 0;    // one past the closing marker line
  std::size_t marker_size = 0;
  bool has_base = false;  // diff3 / zdiff3 style
  std::size_t ours_begin = 0, ours_end = 0;
  std::size_t base_begin = 0, base_end = 0;
  std::size_t theirs_begin = 0, theirs_end = 0;
  // Lines between the markers that could be the separator: more than one
  // (a "=======" underline inside a side) and the markers cannot tell where
  // one side ends.
  std::size_t separators = 1;
  bool ambiguous() const { return separators > 1; }
};

// The conflict blocks of `lines`, in order, not overlapping.
std::vector<SourceBlock> find_blocks(const std::vector<std::string>& lines);

// Marker lines carrying a merge's labels ("<<<<<<< …-current", "||||||| …-base",
// ">>>>>>> …-incoming") outside every complete block, grouped into the partial
// blocks they belong to; each entry holds a group's marker lines.
std::vector<std::vector<std::size_t>> find_partial_blocks(const std::vector<std::string>& lines);

// `lines` with every block replaced by the chosen side's lines.
std::vector<std::string> resolve_blocks(const std::vector<std::string>& lines, Side side);

enum class Kind {
  marked_copies,    // cell and other: "<<< X" and ">>> X", one cell
  unmarked_copies,  // cell and other, one cell, no marks (needs the stages)
  name_clash,       // cell and other: two cells that claim one name
  one_side_kept,    // cell: changed by `kept_by`, deleted by the other side
  parameter_twice,  // parameter and/or other_parameter
  source_blocks,    // cell: holds `block_count` complete blocks
  partial_blocks,   // cell: holds `block_count` blocks with markers missing
  hand_edited,      // cell: marked, but no longer what the stages say the merge left
  plain_mark,       // cell: a plain cell the cell merge marked (merge/plain_cells.hpp)
};

struct Conflict {
  Kind kind;
  std::string name;  // plain name (marks taken off)
  std::size_t cell = npos, other = npos;
  std::size_t parameter = npos, other_parameter = npos;
  Side kept_by = Side::current;
  std::size_t block_count = 0;
  std::string reason{};   // hand_edited: why the marks do not match the merge
  std::string mark = {};  // plain_mark: the mark line, its prefix and line end taken off
};

// What a list of conflicts counts: one per pair of copies or marked cell,
// one per parameter kept twice (or once, marked), one per source block.
struct Tally {
  std::size_t cells = 0, parameters = 0, source_blocks = 0;
  std::size_t total() const { return cells + parameters + source_blocks; }
};
Tally tally(const std::vector<Conflict>& conflicts);
// "cell conflicts 1, parameter conflicts 0, source conflict blocks 2"
std::string tally_words(const Tally& tally);

// The index stages of an unmerged file, where git has them.
struct Stages {
  std::optional<NotebookFacts> base, current, incoming;
};

std::string_view plain_name(std::string_view name);
std::optional<Side> mark_of(std::string_view name);

// Everything open in `merged`.  With stages, copies are told from clashes by
// canvas ids, unmarked copies are found, and a marked cell that no longer
// matches what the stages say (a copy whose partner was removed by hand) is
// hand_edited; without, a marked pair counts as copies when the incoming one
// directly follows the current one.
std::vector<Conflict> find_conflicts(const NotebookFacts& merged, const Stages* stages);

// One line describing a conflict, for people.
std::string describe(const Conflict& conflict, const NotebookFacts& merged);

// What resolving asks for: a side (or both sides' changes combined), and
// which conflicts (all, or those of the named cells and parameters).
struct Selection {
  Side side = Side::current;
  bool combine = false;  // join two copies of one cell instead of choosing a side
  bool all = false;
  std::vector<std::string> cells;       // canvas id, name, or marked name
  std::vector<std::string> parameters;  // plain or marked name
};

// Edits, applied by the caller in this order: cell changes, then cell
// removals, then parameter changes and removals.
struct CellEdit {
  std::size_t cell = 0;
  std::optional<std::string> name, id, cell_id;
  std::optional<std::vector<std::string>> source;
  bool combined = false;  // the cell is replaced by its combination with its copy
};

struct ParameterEdit {
  std::size_t parameter = 0;
  std::optional<std::string> name;
};

struct Plan {
  std::vector<CellEdit> cell_edits;
  std::vector<std::size_t> drop_cells;
  std::unordered_map<std::string, std::string> retarget;  // parent id -> new parent id
  std::vector<ParameterEdit> parameter_edits;
  std::vector<std::size_t> drop_parameters;
  std::vector<std::string> resolved;   // one line per conflict resolved
  std::vector<std::string> left;       // one line per selected conflict left open, and why
  std::vector<std::string> unmatched;  // selectors that matched nothing
  // Selectors naming conflicts of different cells: one line each, then the
  // conflicts it names.
  std::vector<std::string> ambiguous;
  // Cells whose source blocks the selection asks to resolve.
  std::vector<std::size_t> source_cells;
  // Marked notebook-metadata cells whose carried incoming values go into the
  // notebook's metadata (applied before the cells are dropped).
  std::vector<std::size_t> incoming_metadata_cells;
  // The final order of the kept parameters (indices into the merged list),
  // when a resolved parameter goes back to its place.
  std::optional<std::vector<std::size_t>> parameter_order;
  // Copies (current copy, incoming copy) the selection asks to combine.
  std::vector<std::pair<std::size_t, std::size_t>> combine_pairs;
};

// Two copies of one cell joined field by field against the base, by the
// current copy's index.  `problem` says why they could not be joined at all
// (no base version, ...); `fields` names what both sides changed
// differently; neither: `name` is the joined cell's name.
struct Combination {
  std::string problem;
  std::vector<std::string> fields;
  std::string name;
};
using Combinations = std::unordered_map<std::size_t, Combination>;

// A cell's source as resolved from the index stages, by cell index.
using SettledSources = std::unordered_map<std::size_t, std::vector<std::string>>;

// `settled` sources replace marker parsing; without one, a cell whose block
// could split at more than one line is left open.  With stages, a kept
// parameter goes back to the place its side gave it.  A combining
// selection's copies are joined where `combined` says they can be (its
// first plan lists them in `combine_pairs`, left open).  A cell selector that
// is no id and names conflicts of different cells is `ambiguous`.
Plan plan_resolution(const NotebookFacts& merged, const std::vector<Conflict>& open,
                     const Selection& selection, const Stages* stages,
                     const SettledSources& settled, const Combinations& combined = {});

}  // namespace zuv::conflicts
