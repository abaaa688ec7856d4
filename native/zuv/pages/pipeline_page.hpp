// The pipeline page: one self-contained HTML file showing a notebook's
// pipeline as a layered graph, each changed cell's source diff, parents
// gained and lost, the parameter table, and any notes (conflicts, edges a
// merge lost, cycles) and conflict panels (merge_panels.hpp).  Pure C++: it
// knows nothing of Python.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zuv/pages/merge_panels.hpp"

namespace zuv::page {

enum class Status { unchanged, added, removed, modified, missing };
enum class EdgeStatus { unchanged, added, removed, lost };

struct ParentRef {
  std::string id;
  std::string name;
};

struct CellEntry {
  std::string id;    // canvas id
  std::string name;  // component name; may be empty
  Status status = Status::unchanged;
  bool conflict = false;
  std::vector<std::string> old_source, new_source;  // lines, each with its line end
  std::vector<ParentRef> gained, lost;
  std::vector<std::string> notes;  // what is open on this cell
  bool renamed = false;            // on both sides, under another name before
  std::string old_name;
  std::vector<std::string> changes;   // comments and header colour, one line each
  std::vector<ConflictPanel> panels;  // what to decide on this cell
};

struct EdgeEntry {
  std::size_t parent = 0;  // indexes into Page::cells
  std::size_t child = 0;
  EdgeStatus status = EdgeStatus::unchanged;
};

struct ParameterEntry {
  std::string name;
  Status status = Status::unchanged;
  std::string old_type, old_value, new_type, new_value;
  bool conflict = false;
};

struct Note {
  std::string text;
  std::ptrdiff_t cell = -1;  // the cell it concerns, or -1
  std::vector<ResolveChoice> choices{};
};

struct Page {
  std::string title;
  std::string subtitle;
  std::vector<CellEntry> cells;  // in notebook order; missing parents at the end
  std::vector<EdgeEntry> edges;
  std::vector<ParameterEntry> parameters;
  std::vector<Note> notes;
  std::string notes_heading = "Notes";
  std::vector<ConflictPanel> parameter_panels;  // what to decide on parameters
  // The merge page: its conflicts as `zuv conflicts` counts them.
  std::string conflict_summary;
};

// The whole page.  `nonce` authorises the page's inline scripts under its
// content security policy; it must be made of letters and digits.
std::string render(const Page& page, const std::string& nonce);

// The label of a cell in the graph and in headings: its name, else a short id.
std::string label(const CellEntry& cell);

}  // namespace zuv::page
