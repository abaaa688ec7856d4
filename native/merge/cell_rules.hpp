// The merge's decision for one cell, as a pure function of what the three
// versions say about it.  No Python here: the facts are gathered by the merge
// (merge_documents.cpp) and the outcome is applied there.
#pragma once

namespace merge {

// What happens to one cell; the rows of the merge table.
enum class CellOutcome {
  keep_current,  // changed on one side only (current), the same change on both sides, or incoming
                 // changed nothing that counts
  keep_current_marked,      // current changed it, incoming deleted it: kept, marked if named
  take_incoming,            // changed on one side only (incoming)
  take_incoming_marked,     // the same, its name already carried by another cell: both marked
  delete_cell,              // deleted on one side, unchanged on the other
  stay_deleted,             // current deleted it, incoming left it alone
  restore_incoming_marked,  // current deleted it, incoming changed it: at the end, marked
  append_incoming,          // added by incoming
  append_incoming_marked,   // added by incoming under a name another cell carries
  merge_sources,            // changed on both sides: one cell, sources merged
  add_comments,             // incoming changed only comments (and header colour)
  add_comments_then_merge_sources,  // the same, with a source change
  place_beside,                     // both copies, unmarked
  place_beside_marked,              // both copies, names marked
};

// The keys of the incoming difference record's canvas entry, as the rules
// see them.
struct CanvasChange {
  bool present = false;        // the record reaches metadata.canvas
  bool header_colour = false;  // "headerColor" among the keys
  bool comments = false;       // "comments" among the keys
  bool other_keys = false;     // any other key (a rename, new parents, ...)
};

// What the versions say about one canvas id.  The merge reads each fact only
// when the rows before it leave the decision open (a read may run replaceable
// code), so facts after the deciding one keep their defaults.
struct CellFacts {
  bool in_base = false;
  bool in_current = false;
  bool in_incoming = false;
  bool current_changed = false;   // base to current, outputs aside
  bool incoming_changed = false;  // base to incoming, outputs aside (counted for a cell
                                  // current deleted)
  bool sides_differ = false;      // current to incoming, outputs aside
  bool current_named = false;
  bool incoming_named = false;
  bool incoming_name_taken = false;  // another merged cell carries the incoming name
  CanvasChange incoming_canvas{};    // base to incoming
  bool incoming_source_changed = false;
};

CellOutcome decide_cell(const CellFacts& facts);

}  // namespace merge
