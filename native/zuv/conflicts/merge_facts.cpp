#include "zuv/conflicts/merge_facts.hpp"

#include <cstdio>

#include "zuv/conflicts/pipeline_breaks.hpp"
#include "zuv/git/git_process.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/notebook_pages.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

using pages::held_member;

bool text(PyObject* value, std::string& out) { return pages::text_of(value, out); }

}  // namespace

bool read_facts(PyObject* document, conflicts::NotebookFacts& out) {
  std::vector<pages::CellInfo> cells;
  if (!pages::read_cells(document, cells)) return false;
  Ref cell_list = held_member(document, names().cells);
  for (std::size_t i = 0; i < cells.size(); ++i) {
    conflicts::CellFacts facts;
    facts.id = std::move(cells[i].id);
    facts.name = std::move(cells[i].name);
    facts.source = std::move(cells[i].source);
    for (auto& parent : cells[i].parents) facts.parent_ids.push_back(std::move(parent.id));
    Ref cell = Ref::borrow(PyList_GET_ITEM(cell_list.get(), static_cast<Py_ssize_t>(i)));
    if (!text(held_member(cell.get(), names().id).get(), facts.cell_id)) return false;
    out.cells.push_back(std::move(facts));
  }
  Ref parameters =
      held_member(held_member(held_member(document, names().metadata).get(), names().canvas).get(),
                  names().parameters);
  if (parameters && PyList_Check(parameters.get())) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters.get()); ++i) {
      Ref p = Ref::borrow(PyList_GET_ITEM(parameters.get(), i));
      conflicts::ParameterFacts facts;
      if (!text(held_member(p.get(), names().name).get(), facts.name) ||
          !text(held_member(p.get(), names().type).get(), facts.type) ||
          !text(held_member(p.get(), names().value).get(), facts.value))
        return false;
      out.parameters.push_back(std::move(facts));
    }
  }
  out.index();
  return true;
}

bool load_facts(const std::string& path, Ref& document, conflicts::NotebookFacts& facts,
                std::string& error) {
  document = pages::load_notebook(path, error);
  if (!document) return false;
  if (!read_facts(document.get(), facts)) {
    error = path + ": " + take_python_error();
    return false;
  }
  return true;
}

bool read_stages(const std::string& path, bool& unmerged, conflicts::Stages& stages,
                 std::string& error, std::string* current_text) {
  unmerged = false;
  ProcessResult listing;
  // Without git there are no stages to read: marks and blocks still are.
  if (!run_git({"ls-files", "-u", "-z", "--full-name", "--", path}, listing, error, true)) {
    error.clear();
    return true;
  }
  if (listing.status != 0) return true;  // not in a repository, or git refused: no stages
  // Records "MODE SHA STAGE\tPATH\0".
  std::size_t at = 0;
  while (at < listing.out.size()) {
    const std::size_t nul = listing.out.find('\0', at);
    const std::string record = listing.out.substr(at, nul - at);
    at = nul == std::string::npos ? listing.out.size() : nul + 1;
    const std::size_t tab = record.find('\t');
    if (tab == std::string::npos || tab < 2) continue;
    const char stage = record[tab - 1];
    const std::string full_path = record.substr(tab + 1);
    std::optional<conflicts::NotebookFacts>* slot = stage == '1'   ? &stages.base
                                                    : stage == '2' ? &stages.current
                                                    : stage == '3' ? &stages.incoming
                                                                   : nullptr;
    if (!slot) continue;
    unmerged = true;
    ProcessResult shown;
    if (!run_git({"show", std::string(":") + stage + ":" + full_path}, shown, error, true))
      return false;
    if (shown.status != 0) continue;
    if (stage == '2' && current_text) *current_text = shown.out;
    Ref document = shown.out.find_first_not_of(" \t\r\n") == std::string::npos
                       ? Ref::steal(PyDict_New())
                       : parse_json(shown.out);
    conflicts::NotebookFacts facts;
    if (!document || !read_facts(document.get(), facts)) {
      PyErr_Clear();  // a stage that is no notebook tells nothing
      continue;
    }
    *slot = std::move(facts);
  }
  return true;
}

bool read_input_facts(PyObject* base, PyObject* current, PyObject* incoming,
                      conflicts::NotebookFacts (&out)[3]) {
  PyObject* documents[3] = {base, current, incoming};
  for (int k = 0; k < 3; ++k) {
    if (documents[k] && !read_facts(documents[k], out[k])) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

void print_pipeline_warnings(const conflicts::NotebookFacts (&inputs)[3], PyObject* merged,
                             const std::string& label) {
  conflicts::NotebookFacts result;
  if (!read_facts(merged, result)) {
    PyErr_Clear();
    return;
  }
  for (const auto& edge : breaks::lost_edges(inputs[0], inputs[1], inputs[2], result))
    std::fprintf(stderr, "zuv merge-driver: warning: %s: %s\n", label.c_str(),
                 escape_control(breaks::describe(edge)).c_str());
  for (const auto& cycle : breaks::merged_cycles(result))
    std::fprintf(stderr, "zuv merge-driver: warning: %s: %s\n", label.c_str(),
                 escape_control(breaks::describe_cycle(cycle, result)).c_str());
}

void print_pipeline_warnings(PyObject* base, PyObject* current, PyObject* incoming,
                             PyObject* merged, const std::string& label) {
  conflicts::NotebookFacts inputs[3];
  if (read_input_facts(base, current, incoming, inputs))
    print_pipeline_warnings(inputs, merged, label);
}

}  // namespace zuv::cli
