// `zuv check [PATH...]`: whether notebooks hold what must not be committed.
// The binding glue: reading files, the structural checks of the notebook
// format while the facts are copied out, and the report; the checks proper
// are plain C++ (notebook_check.cpp).
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <unordered_set>

#include "notebook/lookup.hpp"
#include "zuv/arguments.hpp"
#include "zuv/commands.hpp"
#include "zuv/conflicts/notebook_check.hpp"
#include "zuv/git/git_process.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/notebook_pages.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

constexpr const char* kCommand = "check";
constexpr const char* kNotFormat4 = "not nbformat 4: ";

using check::Finding;
using check::NotebookUnderCheck;

// A JSON integer (bool is no number here).
bool is_integer(PyObject* value) { return value && PyLong_Check(value) && !PyBool_Check(value); }

bool is_text(PyObject* value) { return value && PyUnicode_Check(value); }

// The UTF-8 text of a str; lone surrogates are kept as their bytes.
bool text(PyObject* value, std::string& out) { return pages::text_of(value, out); }

// Only a line that opens with one of these can be a marker line of a git
// conflict block; any other line is kept as "" (never a marker), so the
// block scan sees the lines it needs at their indexes without copying the
// rest of the source.
bool may_be_marker(char c) { return c == '<' || c == '|' || c == '=' || c == '>'; }

// A source as its lines (see may_be_marker; the first line is kept whole, as
// it may be the cell merge's conflict mark; every line when `whole_lines`);
// `valid` false when it is neither a str nor a list of str.
bool source_lines(PyObject* source, std::vector<std::string>& out, bool& valid, bool whole_lines) {
  valid = true;
  if (is_text(source)) {
    std::string text_of_source;
    if (!text(source, text_of_source)) return false;
    std::size_t start = 0;
    while (start < text_of_source.size()) {
      std::size_t end = text_of_source.find('\n', start);
      end = end == std::string::npos ? text_of_source.size() : end + 1;
      if (whole_lines || start == 0 || may_be_marker(text_of_source[start]))
        out.emplace_back(text_of_source, start, end - start);
      else
        out.emplace_back();
      start = end;
    }
    return true;
  }
  if (!source || !PyList_Check(source)) {
    valid = false;
    return true;
  }
  Ref list = Ref::borrow(source);
  out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* line = PyList_GET_ITEM(list.get(), i);
    if (!is_text(line)) {
      valid = false;
      out.clear();
      return true;
    }
    out.emplace_back();
    const Py_UCS4 first = PyUnicode_GET_LENGTH(line) ? PyUnicode_READ_CHAR(line, 0) : 0;
    const bool kept =
        whole_lines || i == 0 || (first < 0x80 && may_be_marker(static_cast<char>(first)));
    if (kept && !text(line, out.back())) return false;
  }
  return true;
}

bool known_cell_type(PyObject* type) {
  if (!is_text(type)) return false;
  for (const char* known : {"code", "markdown", "raw"})
    if (PyUnicode_CompareWithASCIIString(type, known) == 0) return true;
  return false;
}

// One cell's facts, and what is wrong with its shape.
bool read_cell(PyObject* cell, std::size_t index, NotebookUnderCheck& out, bool whole_lines) {
  conflicts::CellFacts& facts = out.facts.cells.emplace_back();
  out.has_canvas_id.push_back(false);
  std::vector<std::string>& parent_names = out.parent_names.emplace_back();
  if (!PyDict_Check(cell)) {
    out.shape.push_back({check::cell_label(facts, false, index),
                         std::string(kNotFormat4) + "the cell is not a JSON object"});
    return true;
  }
  PyObject* canvas = out.pipeline ? canvas_of(cell) : nullptr;
  PyObject* id = member(canvas, names().id);
  if (is_text(id)) {
    out.has_canvas_id.back() = true;
    if (!text(id, facts.id) || !text(member(canvas, names().name), facts.name)) return false;
    if (PyObject* parents = member(canvas, names().parents); parents && PyList_Check(parents)) {
      Ref list = Ref::borrow(parents);
      for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list.get()); ++k) {
        PyObject* parent = PyList_GET_ITEM(list.get(), k);
        PyObject* parent_id = member(parent, names().id);
        if (!is_text(parent_id)) continue;
        facts.parent_ids.emplace_back();
        parent_names.emplace_back();
        if (!text(parent_id, facts.parent_ids.back()) ||
            !text(member(parent, names().name), parent_names.back()))
          return false;
      }
    }
  }
  const std::string label = check::cell_label(facts, out.has_canvas_id.back(), index);
  if (!known_cell_type(member(cell, names().cell_type)))
    out.shape.push_back(
        {label, std::string(kNotFormat4) + "\"cell_type\" is none of code, markdown and raw"});
  PyObject* metadata = member(cell, names().metadata);
  if (!metadata || !PyDict_Check(metadata))
    out.shape.push_back({label, std::string(kNotFormat4) + "no \"metadata\" object"});
  bool valid = true;
  if (!source_lines(member(cell, names().source), facts.source, valid, whole_lines)) return false;
  if (!valid)
    out.shape.push_back(
        {label, std::string(kNotFormat4) + "\"source\" is neither a string nor a list of strings"});
  return true;
}

// The facts of a parsed notebook; false with a Python exception only when
// text could not be copied out.
bool read_notebook(PyObject* document, NotebookUnderCheck& out, bool whole_lines) {
  if (!PyDict_Check(document)) {
    out.shape.push_back({"", "not a notebook: the JSON text is not an object"});
    return true;
  }
  PyObject* major = member(document, names().nbformat);
  if (!is_integer(major))
    out.shape.push_back({"", std::string(kNotFormat4) + "no \"nbformat\" number"});
  else if (int overflow = 0; PyLong_AsLongAndOverflow(major, &overflow) != 4 || overflow) {
    Ref shown = Ref::steal(PyObject_Str(major));
    if (!shown) return false;
    out.shape.push_back({"", std::string(kNotFormat4) + "\"nbformat\" is " + utf8(shown.get())});
  }
  if (!is_integer(member(document, names().nbformat_minor)))
    out.shape.push_back({"", std::string(kNotFormat4) + "no \"nbformat_minor\" number"});
  PyObject* metadata = member(document, names().metadata);
  if (!metadata || !PyDict_Check(metadata))
    out.shape.push_back({"", std::string(kNotFormat4) + "no \"metadata\" object"});

  PyObject* canvas = canvas_of(document);
  out.pipeline = canvas && PyDict_Check(canvas);
  if (out.pipeline) {
    PyObject* parameters = member(canvas, names().parameters);
    if (parameters && !PyList_Check(parameters)) {
      out.shape.push_back({"", "the canvas parameters are not a list"});
    } else if (parameters) {
      Ref list = Ref::borrow(parameters);
      for (Py_ssize_t p = 0; p < PyList_GET_SIZE(list.get()); ++p) {
        PyObject* parameter = PyList_GET_ITEM(list.get(), p);
        PyObject* name = member(parameter, names().name);
        if (!is_text(name)) {
          out.shape.push_back(
              {"parameter " + std::to_string(p + 1), "a canvas parameter without a name"});
          continue;
        }
        conflicts::ParameterFacts& facts = out.facts.parameters.emplace_back();
        if (!text(name, facts.name) || !text(member(parameter, names().type), facts.type) ||
            !text(member(parameter, names().value), facts.value))
          return false;
      }
    }
  }

  PyObject* cells = member(document, names().cells);
  if (!cells || !PyList_Check(cells)) {
    out.shape.push_back({"", std::string(kNotFormat4) + "\"cells\" is not a list"});
    return true;
  }
  Ref list = Ref::borrow(cells);
  const auto count = static_cast<std::size_t>(PyList_GET_SIZE(list.get()));
  out.facts.cells.reserve(count);
  out.parent_names.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    if (!read_cell(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)), i, out, whole_lines))
      return false;
  check::index_pipeline(out);
  return true;
}

// A merge, cherry-pick or rebase step that git stopped in: the commits of
// its three versions and the notebooks the incoming side changed, by their
// paths from the top of the work tree.  A notebook it changed may hold the
// copies the merge placed without a mark, which only the versions reveal.
struct MergeInProgress {
  std::string top;       // the work tree's top folder
  std::string base;      // "" when the sides share no history
  std::string incoming;  // the current side is HEAD
  std::unordered_set<std::string> changed;
};

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// The commit `name` stands for, "" when it names none.
std::string commit_of(const std::string& name) {
  ProcessResult result;
  std::string error;
  if (!run_git({"rev-parse", "-q", "--verify", name + "^{commit}"}, result, error, true) ||
      result.status != 0)
    return "";
  return first_line(result.out);
}

std::optional<MergeInProgress> merge_in_progress() {
  MergeInProgress merge;
  merge.incoming = commit_of("MERGE_HEAD");
  ProcessResult result;
  std::string error;
  if (!merge.incoming.empty()) {
    if (run_git({"merge-base", "HEAD", merge.incoming}, result, error, true) && result.status == 0)
      merge.base = first_line(result.out);
  } else {
    // A cherry-pick or a rebase step applies one commit: its parent is the base.
    for (const char* head : {"CHERRY_PICK_HEAD", "REBASE_HEAD"})
      if (merge.incoming = commit_of(head); !merge.incoming.empty()) break;
    if (merge.incoming.empty()) return std::nullopt;
    merge.base = commit_of(merge.incoming + "^");
  }
  ProcessResult top;
  if (!run_git({"rev-parse", "--show-toplevel"}, top, error, true) || top.status != 0)
    return std::nullopt;
  merge.top = first_line(top.out);
  std::vector<std::string> listing =
      merge.base.empty()
          ? std::vector<std::string>{"ls-tree", "-r", "-z", "--name-only", merge.incoming}
          : std::vector<std::string>{"diff",         "--name-only", "-z",
                                     "--no-renames", merge.base,    merge.incoming};
  ProcessResult listed;
  if (!run_git(listing, listed, error, true) || listed.status != 0) return std::nullopt;
  for (std::size_t at = 0; at < listed.out.size();) {
    std::size_t nul = listed.out.find('\0', at);
    if (nul == std::string::npos) nul = listed.out.size();
    std::string path = listed.out.substr(at, nul - at);
    at = nul + 1;
    if (path.ends_with(".ipynb")) merge.changed.insert(std::move(path));
  }
  return merge;
}

// `path` from the top of the work tree, "" when it lies outside it.
std::string path_from_top(const std::string& path, const std::string& top) {
  std::error_code failed;
  const auto full = std::filesystem::weakly_canonical(path, failed);
  if (failed) return "";
  const auto top_folder = std::filesystem::canonical(top, failed);
  if (failed) return "";
  const auto relative = full.lexically_relative(top_folder);
  const std::string text = relative.generic_string();
  return relative.empty() || text.starts_with("..") ? "" : text;
}

// One version of the notebook at `path` in `commit`, facts with whole
// sources; nullopt when the commit does not hold it as a notebook.
std::optional<conflicts::NotebookFacts> version_facts(const std::string& commit,
                                                      const std::string& path) {
  ProcessResult shown;
  std::string error;
  if (commit.empty() || !run_git({"show", commit + ":" + path}, shown, error, true) ||
      shown.status != 0)
    return std::nullopt;
  Ref document = parse_json(shown.out);
  if (!document) {
    // A version that is no JSON tells nothing; any other error stays set.
    if (PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    return std::nullopt;
  }
  NotebookUnderCheck notebook;
  if (!read_notebook(document.get(), notebook, true)) return std::nullopt;
  return std::move(notebook.facts);
}

// Checks one file; false when it could not be read (reported on standard
// error).
bool check_file(const std::string& path, const MergeInProgress* merge,
                std::vector<Finding>& found) {
  std::string bytes, error;
  if (!read_bytes(path, bytes, error)) {
    failure(kCommand, escape_control(error));
    return false;
  }
  if (bytes.find_first_not_of(" \t\r\n") == std::string::npos) {
    found.push_back({"", "not JSON: the file is empty"});
    return true;
  }
  Ref document = parse_json(bytes);
  if (!document) {
    // Not JSON: a text or decoding error is a finding, anything else
    // (memory, nesting too deep for the parser) a failure to check.
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
      failure(kCommand, escape_control(path + ": " + take_python_error()));
      return false;
    }
    std::string reason = take_python_error();
    found = check::conflict_blocks_in_text(bytes);
    if (found.empty()) found.push_back({"", "not JSON: " + reason});
    return true;
  }
  const std::string from_top = merge ? path_from_top(path, merge->top) : "";
  const bool merged = merge && !from_top.empty() && merge->changed.contains(from_top);
  NotebookUnderCheck notebook;
  if (!read_notebook(document.get(), notebook, merged)) {
    failure(kCommand, escape_control(path + ": " + take_python_error()));
    return false;
  }
  // The document goes before the pure checks run: its memory is not needed.
  document = Ref();
  conflicts::Stages stages;
  if (merged) {
    stages.base = version_facts(merge->base, from_top);
    stages.current = version_facts("HEAD", from_top);
    stages.incoming = version_facts(merge->incoming, from_top);
    if (PyErr_Occurred()) {
      failure(kCommand, escape_control(path + ": " + take_python_error()));
      return false;
    }
  }
  found = check::check_notebook(notebook, stages.current && stages.incoming ? &stages : nullptr);
  return true;
}

// The tracked notebooks of the repository around the current directory
// (those in and under it, as `git ls-files` gives them), each once.
bool tracked_notebooks(std::vector<std::string>& paths, std::string& error) {
  ProcessResult listed;
  if (!run_git({"ls-files", "-z", "--", "*.ipynb"}, listed, error, true)) return false;
  if (listed.status != 0) {
    std::string message = listed.err.substr(0, listed.err.find('\n'));
    error = "git ls-files failed: " +
            (message.empty() ? "exit status " + std::to_string(listed.status) : message);
    return false;
  }
  std::unordered_set<std::string> seen;  // an unmerged path is listed once per stage
  std::size_t at = 0;
  while (at < listed.out.size()) {
    std::size_t nul = listed.out.find('\0', at);
    if (nul == std::string::npos) nul = listed.out.size();
    std::string path = listed.out.substr(at, nul - at);
    at = nul + 1;
    struct stat info {};
    // Deleted from the work tree but still tracked: nothing to commit there.
    if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) continue;
    if (seen.insert(path).second) paths.push_back(std::move(path));
  }
  return true;
}

void print_finding(const std::string& path, const Finding& finding) {
  std::string line = path + ":";
  if (!finding.where.empty()) line += finding.where + ":";
  line += " " + finding.what;
  std::printf("%s\n", escape_control(line).c_str());
}

}  // namespace

int run_check(const std::vector<std::string>& args) {
  std::string error;
  auto parsed = parse_arguments(args, {}, error);
  if (!parsed) return usage_error(kCommand, error);
  std::vector<std::string> paths = parsed->positional;
  if (paths.empty() && !tracked_notebooks(paths, error))
    return failure(kCommand, escape_control(error));

  const std::optional<MergeInProgress> merge = merge_in_progress();
  bool failed = false;
  std::size_t findings = 0, notebooks_with_findings = 0;
  for (const std::string& path : paths) {
    if (PyErr_CheckSignals() < 0) return python_failure(kCommand);
    std::vector<Finding> found;
    if (!check_file(path, merge ? &*merge : nullptr, found)) {
      failed = true;
      continue;
    }
    for (const Finding& finding : found) print_finding(path, finding);
    findings += found.size();
    notebooks_with_findings += found.empty() ? 0 : 1;
  }
  if (std::fflush(stdout) != 0) return failure(kCommand, "cannot write to standard output");
  if (findings)
    std::fprintf(stderr, "zuv check: %zu %s in %zu of %zu notebooks\n", findings,
                 findings == 1 ? "problem" : "problems", notebooks_with_findings, paths.size());
  if (failed) return status::failure;
  return findings ? status::conflicts : status::ok;
}

}  // namespace zuv::cli
