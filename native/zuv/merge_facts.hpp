// Facts for the conflict scan, copied out of notebook documents, and the
// index stages git keeps for an unmerged file.
#pragma once

#include <string>

#include "py/ref.hpp"
#include "zuv/conflict_scan.hpp"

namespace zuv::cli {

// The cells and parameters of a parsed notebook; false with a Python
// exception when "cells" or "parameters" have the wrong shape.
bool read_facts(PyObject* document, conflicts::NotebookFacts& out);

// A notebook file parsed and read; false with `error` set.
bool load_facts(const std::string& path, Ref& document, conflicts::NotebookFacts& facts,
                std::string& error);

// What git knows of `path`: whether it is unmerged there, and the stages it
// holds (1 base, 2 current, 3 incoming).  False only when git could not be
// asked; a file outside a repository is simply not unmerged.  The current
// stage's text goes to `current_text` when asked for.
bool read_stages(const std::string& path, bool& unmerged, conflicts::Stages& stages,
                 std::string& error, std::string* current_text = nullptr);

// The pipeline warnings of a merge: one on standard error per parent edge
// the merge cut because one side deleted the parent, and one per cycle in
// the merged graph.  The versions are read before the merge (which may
// change them); `base` may be null (an empty base).  Never fails: a
// notebook it cannot read only means no warnings.
class PipelineWarnings {
 public:
  PipelineWarnings(PyObject* base, PyObject* current, PyObject* incoming);
  void print(PyObject* merged, const std::string& label) const;

 private:
  conflicts::NotebookFacts base_, current_, incoming_;
  bool readable_ = true;
};

}  // namespace zuv::cli
