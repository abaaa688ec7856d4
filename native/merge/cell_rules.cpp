// The merge table, row by row.  Rows are tried top to bottom; the first that
// matches decides.
#include "merge/cell_rules.hpp"

namespace merge {
namespace {

using enum CellOutcome;

// Added by incoming (no base cell).
CellOutcome added_in_incoming(const CellFacts& f) {
  if (!f.in_current) return f.incoming_name_taken ? append_incoming_marked : append_incoming;
  // Both sides added the same canvas id.
  if (!f.sides_differ) return keep_current;
  return f.current_named && f.incoming_named ? place_beside_marked : place_beside;
}

// Deleted by current (the base cell is still held by incoming).
CellOutcome deleted_in_current(const CellFacts& f) {
  if (!f.in_incoming) return stay_deleted;  // deleted on both sides
  return f.incoming_changed ? restore_incoming_marked : stay_deleted;
}

// Held by base and current, left alone by current.
CellOutcome unchanged_in_current(const CellFacts& f) {
  if (!f.in_incoming) return delete_cell;
  if (!f.incoming_changed) return keep_current;
  return f.incoming_name_taken ? take_incoming_marked : take_incoming;
}

// Held by base and current, changed by current.
CellOutcome changed_in_current(const CellFacts& f) {
  if (!f.in_incoming) return keep_current_marked;
  if (!f.incoming_changed) return keep_current;  // changed on one side only
  if (!f.sides_differ) return keep_current;      // changed identically on both sides
  const CanvasChange& canvas = f.incoming_canvas;
  if (canvas.present) {
    // The incoming header colour is never taken; the current one stays.
    if (canvas.header_colour && !canvas.comments && !canvas.other_keys)
      return f.incoming_source_changed ? merge_sources : keep_current;
    if (!canvas.other_keys)
      return f.incoming_source_changed ? add_comments_then_merge_sources : add_comments;
    if (!f.current_named && !f.incoming_named) return merge_sources;
    return f.current_named && f.incoming_named ? place_beside_marked : place_beside;
  }
  if (f.current_named != f.incoming_named) return place_beside;
  return merge_sources;
}

}  // namespace

CellOutcome decide_cell(const CellFacts& f) {
  if (!f.in_base) return added_in_incoming(f);
  if (!f.in_current) return deleted_in_current(f);
  return f.current_changed ? changed_in_current(f) : unchanged_in_current(f);
}

}  // namespace merge
