// The merge of cells that carry no canvas id (plain Jupyter cells), as pure
// functions: which cell is which when cells carry no id, what happens to a
// cell and to one of its fields, where added cells go, and the conflict
// marks a person sees in the merged file.  No Python here: the merge driver
// (zuv/git/plain_merge.cpp) gathers the facts and applies the outcomes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace merge::plain {

// ---------------------------------------------------------------------------
// Alignment of cells without ids.

// What the alignment sees of a cell.
struct CellText {
  std::string type;
  std::string source;  // the source joined into one text
};

// Two cells of one gap whose line multisets overlap at least this much
// (2 * common lines / (lines of one + lines of the other)) are the same cell
// edited.
constexpr double kSimilarityThreshold = 0.5;

double similarity(const CellText& a, const CellText& b);

// For each cell of `base`, the index of its counterpart in `side`, or -1.
// Cells equal in type and source are anchors (a longest common subsequence,
// after the common head and tail); between two anchors the remaining cells
// pair up by position when their counts agree, otherwise in order by best
// similarity at or above kSimilarityThreshold.  Deterministic; the pairing
// never crosses.
std::vector<std::ptrdiff_t> align(const std::vector<CellText>& base,
                                  const std::vector<CellText>& side);

// ---------------------------------------------------------------------------
// Decisions.

// What the versions say about one cell.
struct CellFacts {
  bool in_base = false;
  bool in_current = false;
  bool in_incoming = false;
  bool current_changed = false;   // base to current
  bool incoming_changed = false;  // base to incoming
  bool sides_equal = false;       // current and incoming alike
};

enum class CellOutcome {
  keep_current,                   // unchanged, changed by current only, or alike on both sides
  take_incoming,                  // changed by incoming only
  merge_fields,                   // changed on both sides, differently
  drop,                           // deleted on one side, unchanged on the other (or on both)
  keep_current_changed_deleted,   // current changed it, incoming deleted it: kept, marked
  keep_incoming_changed_deleted,  // incoming changed it, current deleted it: kept, marked
  add_current,                    // added by current
  add_incoming,                   // added by incoming
  add_both_marked,                // added by both sides under one id, differently: both, marked
};

CellOutcome decide_cell(const CellFacts& facts);

// One field (or metadata key) of a cell changed on both sides: which value
// the merged cell takes.  An absent value is a value.
enum class FieldOutcome { current, incoming, both_changed };
FieldOutcome decide_field(bool current_is_base, bool incoming_is_base, bool sides_equal);

// ---------------------------------------------------------------------------
// Order.

// Where a cell of the incoming version stands in the merged notebook.
constexpr std::ptrdiff_t kNotHeld = -1;  // not in the merged notebook (or placed by the caller)
constexpr std::ptrdiff_t kInsert = -2;   // added: placed by the neighbour rule

// One entry of the merged order: a position of the current sequence, or a
// cell of the incoming version.
struct Slot {
  bool from_incoming;
  std::size_t index;
};

// The merged order: the current sequence's kept cells in their order, and
// each incoming cell marked kInsert right after the nearest preceding
// incoming cell the merged notebook holds, past the cells only current added
// there (current's first), in incoming's order.  `incoming_place[j]` is the
// current position incoming cell j is held as, kInsert or kNotHeld.
std::vector<Slot> weave(const std::vector<bool>& current_kept,
                        const std::vector<bool>& current_added,
                        const std::vector<std::ptrdiff_t>& incoming_place);

// ---------------------------------------------------------------------------
// Conflict marks: a first source line that opens with kMarkPrefix.

constexpr std::string_view kMarkPrefix = "# <<<<<<< zuv: ";

enum class MarkKind {
  changed_by_current_deleted_by_incoming,
  changed_by_incoming_deleted_by_current,
  type_changed_by_both_current,
  type_changed_by_both_incoming,
  added_by_both_current,
  added_by_both_incoming,
  fields_changed_by_both,  // outputs or metadata: current's kept
  // A cell of its own, first in the notebook: notebook metadata keys both
  // sides changed differently (current's kept); the incoming values are
  // carried in the cell's metadata for `zuv resolve --incoming`.
  notebook_metadata_changed_by_both,
};

// What `zuv resolve` does with a marked cell for a side.
enum class Resolution { keep, drop };

struct MarkRow {
  MarkKind kind;
  std::string_view phrase;  // the mark line after kMarkPrefix (fields_changed_by_both and
                            // notebook_metadata_changed_by_both: followed by the keys)
  Resolution take_current;
  Resolution take_incoming;
};

const std::vector<MarkRow>& mark_rows();

// The mark line (without its line end).  `detail` follows the phrase.
std::string mark_line(MarkKind kind, std::string_view detail = {});

// The row of a mark line (its line end aside), or nothing when `line` is no
// mark.
std::optional<MarkRow> parse_mark(std::string_view line);

}  // namespace merge::plain
