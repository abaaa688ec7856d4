// Facts for the conflict scan, copied out of notebook documents, and the
// index stages git keeps for an unmerged file.
#pragma once

#include <string>

#include "py/ref.hpp"
#include "zuv/conflicts/conflict_scan.hpp"

namespace zuv::cli {

// The cells and parameters of a parsed notebook; false with a Python
// exception when "cells" or "parameters" have the wrong shape.
// Without `sources`, the cells' sources are left empty.
bool read_facts(PyObject* document, conflicts::NotebookFacts& out, bool sources = true);

// A notebook file parsed and read; false with `error` set.
bool load_facts(const std::string& path, Ref& document, conflicts::NotebookFacts& facts,
                std::string& error);

// What git knows of `path`: whether it is unmerged there, and the stages it
// holds (1 base, 2 current, 3 incoming).  False only when git could not be
// asked; a file outside a repository is simply not unmerged.  The current
// stage's text goes to `current_text`, and the parsed base stage to
// `base_document`, when asked for.
bool read_stages(const std::string& path, bool& unmerged, conflicts::Stages& stages,
                 std::string& error, std::string* current_text = nullptr,
                 Ref* base_document = nullptr);

// The version of `path` git holds for `side` while the path is unmerged (the
// index stage, with the work tree's filters and line ends applied): `found`
// false when git holds none (the path is not unmerged, or that side deleted
// it, or git cannot be run).  False when git failed to give the version.
bool read_stage_file(const std::string& path, conflicts::Side side, bool& found, std::string& bytes,
                     std::string& error);

// The sources of `cells` (indices into `merged`, each holding conflict
// blocks) resolved to `side` from the index stages: the cell's three
// versions (by canvas id) are merged again with `git merge-file`; where that
// gives exactly the cell's source (marker labels aside), the merge is run
// once more keeping `side`, so the content decides where each side ends,
// not the marker lines.  A cell edited since the merge, or one git cannot
// merge again, is left out (the caller falls back to the markers).
void settle_sources(const conflicts::NotebookFacts& merged, const conflicts::Stages& stages,
                    const std::vector<std::size_t>& cells, conflicts::Side side,
                    conflicts::SettledSources& out);

// The pipeline warnings of a merge: one on standard error per parent edge
// the merge cut because one side deleted the parent, and one per cycle in
// the merged graph.  A notebook it cannot read only means no warnings; it
// fails (false, exception set) only on a failure that is no notebook's shape
// (MemoryError, KeyboardInterrupt, ...).  In two steps, for a merge that
// changes its inputs in place: the inputs' facts read before the merge
// (`readable` false when one cannot be read: then no warnings; `base` may be
// null, an empty base: its facts are then empty), and the warnings from them
// and the merged document's facts after.  The inputs' facts stand for the
// index stages in the merged file's conflict scan too, so they are read
// once, into a `Stages`; the base and current stages carry no sources, which
// neither reads.
bool read_input_facts(PyObject* base, PyObject* current, PyObject* incoming, conflicts::Stages& out,
                      bool& readable);
void print_pipeline_warnings(const conflicts::Stages& inputs,
                             const conflicts::NotebookFacts& merged, const std::string& label);

}  // namespace zuv::cli
