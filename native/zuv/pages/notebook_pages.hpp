// From notebook documents (parsed JSON, Python objects) to pipeline pages.
// The glue between the interpreter and the pure page writer: it reads the
// cells, names, parent references and parameters, asks `diff_dicts` for the
// statuses, and hands plain C++ records on.
#pragma once

#include <string>
#include <vector>

#include "py/names.hpp"
#include "py/ref.hpp"
#include "zuv/notebook/notebook_text.hpp"
#include "zuv/pages/pipeline_page.hpp"

namespace zuv::pages {

// One cell as the pages need it, copied out of the document.
struct CellInfo {
  std::string id;  // canvas id
  std::string name;
  std::vector<page::ParentRef> parents;
  std::vector<std::string> source;
  bool code = false;
  bool has_id = false;
};

// Text of a str (lone surrogates kept as bytes the page writer replaces);
// None reads as "", anything else as its str().
bool text_of(PyObject* value, std::string& out);

// The cells of a document in order.  ValueError when "cells" is not a list
// of objects.
// Without `sources`, every cell's source is left empty.
bool read_cells(PyObject* document, std::vector<CellInfo>& out, bool sources = true);

// Parses a notebook file; an empty file (git's /dev/null) reads as {}.
// On failure: an empty Ref, no exception set, `error` telling why.
Ref load_notebook(const std::string& path, std::string& error);

// The page for a diff from `old_doc` to `new_doc`.
bool diff_page(PyObject* old_doc, PyObject* new_doc, page::Page& out);

// Writes the page over `path` atomically.
bool write_page(const std::string& path, const page::Page& page);

// Writes one page with a section per (heading, page) over `path` atomically.
bool write_sectioned_page(const std::string& path, const std::string& title,
                          const std::vector<std::pair<std::string, page::Page>>& pages);

}  // namespace zuv::pages
