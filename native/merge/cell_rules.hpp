// The merge's decision for one cell, as a pure function of what the three
// versions say about it.  No Python here: the facts are gathered by the merge
// (merge_documents.cpp) and the outcome is applied there.
#pragma once

#include <string_view>

namespace merge {

// What happens to one cell; the rows of the merge table.
// X(outcome) /* when */: one line per outcome; the enum and its names
// (outcome_name) both come from this list.
#define ZUV_CELL_OUTCOMES(X)                                                                       \
  X(keep_current)         /* changed on one side only (current), the same change on both sides, or \
                             incoming changed nothing that counts */                               \
  X(keep_current_marked)  /* current changed it, incoming deleted it: kept, marked if named */     \
  X(take_incoming)        /* changed on one side only (incoming) */                                \
  X(take_incoming_marked) /* the same, its name already carried by another cell: both marked */    \
  X(delete_cell)          /* deleted on one side, unchanged on the other */                        \
  X(stay_deleted)         /* current deleted it, incoming left it alone */                         \
  X(restore_incoming_marked) /* current deleted it, incoming changed it: at the end, marked */     \
  X(append_incoming)         /* added by incoming */                                               \
  X(append_incoming_marked)  /* added by incoming under a name another cell carries */             \
  X(merge_sources)           /* changed on both sides: one cell, sources merged */                 \
  X(add_comments)            /* incoming changed only comments (and header colour) */              \
  X(add_comments_then_merge_sources) /* the same, with a source change */                          \
  X(place_beside)                    /* both copies, unmarked */                                   \
  X(place_beside_marked)             /* both copies, names marked */

enum class CellOutcome {
#define ZUV_ENUMERATOR(name) name,
  ZUV_CELL_OUTCOMES(ZUV_ENUMERATOR)
#undef ZUV_ENUMERATOR
};

std::string_view outcome_name(CellOutcome outcome);

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
