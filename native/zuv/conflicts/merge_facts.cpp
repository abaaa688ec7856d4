#include "zuv/conflicts/merge_facts.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "io/signal_hold.hpp"

#include "py/error.hpp"
#include "zuv/conflicts/pipeline_breaks.hpp"
#include "zuv/git/git_process.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/notebook_pages.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

bool text(PyObject* value, std::string& out) { return pages::text_of(value, out); }

// A directory of its own for the three versions of one source, removed with
// everything in it when it goes.
class WorkDirectory {
 public:
  WorkDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zuv-resolve-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;
  ~WorkDirectory() {
    if (path_.empty()) return;
    for (const std::string& file : files_) unlink(file.c_str());
    rmdir(path_.c_str());
  }
  bool ready() const { return !path_.empty(); }
  // Writes `text` to a new file `name`; its path, or "" when it failed.
  std::string write(const char* name, const std::string& text) {
    std::string file = path_ + "/" + name;
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return "";
    files_.push_back(file);
    std::size_t at = 0;
    while (at < text.size()) {
      const ssize_t wrote = ::write(fd, text.data() + at, text.size() - at);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) break;
      at += static_cast<std::size_t>(wrote);
    }
    const bool whole = at == text.size();
    return close(fd) == 0 && whole ? file : "";
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

// Lines with universal newlines, each terminator read as "\n" (as the source
// merge reads git's result back).
std::vector<std::string> universal_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\n' && c != '\r') {
      line += c;
      continue;
    }
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    line += '\n';
    lines.push_back(std::move(line));
    line.clear();
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

// The lines with each marker line of `size` cut to its marker, so that two
// merges that differ only in their labels compare equal.
std::vector<std::string> without_labels(std::vector<std::string> lines, std::size_t size) {
  for (std::string& line : lines) {
    for (char c : {'<', '|', '=', '>'}) {
      std::size_t n = 0;
      while (n < line.size() && line[n] == c) ++n;
      if (n == size && (n == line.size() || line[n] == ' ' || line[n] == '\n')) {
        line.assign(size, c);
        break;
      }
    }
  }
  return lines;
}

}  // namespace

bool read_facts(PyObject* document, conflicts::NotebookFacts& out, bool sources) {
  std::vector<pages::CellInfo> cells;
  if (!pages::read_cells(document, cells, sources)) return false;
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

namespace {

// git's own status for a fatal error such as "not a git repository" or a
// path outside the repository; any other failure (a wrapper that cannot run
// git: 126, 127) must not pass for "no merge in progress", or a side's cells
// would be judged without the stages.
constexpr int kNotARepository = 128;

std::string trimmed_error(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string ls_files_failure(const std::string& path, const ProcessResult& listing) {
  return "git ls-files failed for " + path + " (status " + std::to_string(listing.status) +
         "); cannot tell whether git holds its merge stages" +
         (listing.err.empty() ? "" : ": " + trimmed_error(listing.err));
}

}  // namespace

bool read_stages(const std::string& path, bool& unmerged, conflicts::Stages& stages,
                 std::string& error, std::string* current_text, Ref* base_document) {
  unmerged = false;
  ProcessResult listing;
  // Without git there are no stages to read: marks and blocks still are.
  if (!run_git({"ls-files", "-u", "-z", "--full-name", "--", path}, listing, error, true)) {
    error.clear();
    return true;
  }
  if (listing.status == kNotARepository) return true;  // outside a repository: no stages
  if (listing.status != 0) {
    error = ls_files_failure(path, listing);
    return false;
  }
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
    if (shown.status != 0) {  // git listed this stage: a side left out would read as deleted
      error = "git show failed for stage " + std::string(1, stage) + " of " + path + " (status " +
              std::to_string(shown.status) + "): " + trimmed_error(shown.err);
      return false;
    }
    if (stage == '2' && current_text) *current_text = shown.out;
    Ref document = shown.out.find_first_not_of(" \t\r\n") == std::string::npos
                       ? Ref::steal(PyDict_New())
                       : parse_json(shown.out);
    conflicts::NotebookFacts facts;
    if (!document || !read_facts(document.get(), facts)) {
      // A stage that is no notebook tells nothing; any other failure stops.
      if (clear_expected({PyExc_ValueError, PyExc_RecursionError})) continue;
      error = take_python_error();
      return false;
    }
    *slot = std::move(facts);
    if (stage == '1' && base_document) *base_document = std::move(document);
  }
  return true;
}

bool read_stage_file(const std::string& path, conflicts::Side side, bool& found, std::string& bytes,
                     std::string& error) {
  found = false;
  const char wanted = side == conflicts::Side::current ? '2' : '3';
  ProcessResult listing;
  // Without git there is no stage to take.
  if (!run_git({"ls-files", "-u", "-z", "--full-name", "--", path}, listing, error, true)) {
    error.clear();
    return true;
  }
  if (listing.status == kNotARepository) return true;
  if (listing.status != 0) {
    error = ls_files_failure(path, listing);
    return false;
  }
  for (std::size_t at = 0; at < listing.out.size();) {
    const std::size_t nul = listing.out.find('\0', at);
    const std::string record = listing.out.substr(at, nul - at);
    at = nul == std::string::npos ? listing.out.size() : nul + 1;
    const std::size_t tab = record.find('\t');
    if (tab == std::string::npos || tab < 2 || record[tab - 1] != wanted) continue;
    ProcessResult shown;
    if (!run_git(
            {"cat-file", "--filters", std::string(":") + wanted + ":" + record.substr(tab + 1)},
            shown, error, true))
      return false;
    if (shown.status != 0) {
      error = "git cat-file failed for the " +
              std::string(side == conflicts::Side::current ? "current" : "incoming") +
              " version of " + path + ": " + shown.err;
      while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
      return false;
    }
    bytes = std::move(shown.out);
    found = true;
    return true;
  }
  return true;
}

void settle_sources(const conflicts::NotebookFacts& merged, const conflicts::Stages& stages,
                    const std::vector<std::size_t>& cells, conflicts::Side side,
                    conflicts::SettledSources& out) {
  if (!stages.current || !stages.incoming) return;
  // Held until the work directory is gone: a stopping signal then finds
  // nothing left behind.
  io::SignalHold hold;
  for (std::size_t index : cells) {
    const conflicts::CellFacts& cell = merged.cells[index];
    const auto blocks = conflicts::find_blocks(cell.source);
    auto ours = stages.current->by_id.find(cell.id);
    auto theirs = stages.incoming->by_id.find(cell.id);
    if (blocks.empty() || ours == stages.current->by_id.end() ||
        theirs == stages.incoming->by_id.end())
      continue;
    const conflicts::NotebookFacts empty;
    const conflicts::NotebookFacts& base_facts = stages.base ? *stages.base : empty;
    auto in_base = base_facts.by_id.find(cell.id);
    WorkDirectory directory;
    if (!directory.ready()) return;
    const std::string current =
        directory.write("current", joined(stages.current->cells[ours->second].source));
    const std::string base = directory.write(
        "base",
        in_base == base_facts.by_id.end() ? "" : joined(base_facts.cells[in_base->second].source));
    const std::string incoming =
        directory.write("incoming", joined(stages.incoming->cells[theirs->second].source));
    if (current.empty() || base.empty() || incoming.empty()) return;
    const std::size_t size = blocks.front().marker_size;
    const auto merge = [&](const char* style, const char* keep, std::string& result) {
      std::vector<std::string> args = {"merge-file", "-p", "--marker-size=" + std::to_string(size)};
      if (*style) args.emplace_back(style);
      if (*keep) args.emplace_back(keep);
      args.insert(args.end(), {"--", current, base, incoming});
      ProcessResult run;
      std::string error;
      if (!run_git(args, run, error, true) || run.status < 0 || run.status > 127) return false;
      result = std::move(run.out);
      return true;
    };
    const std::vector<std::string> held =
        without_labels(universal_lines(joined(cell.source)), size);
    const bool has_base = std::any_of(blocks.begin(), blocks.end(),
                                      [](const conflicts::SourceBlock& b) { return b.has_base; });
    for (const char* style : {"", "--diff3", "--zdiff3"}) {
      if (*style && !has_base) break;
      std::string again;
      if (!merge(style, "", again) || without_labels(universal_lines(again), size) != held)
        continue;
      std::string kept;
      if (merge(style, side == conflicts::Side::current ? "--ours" : "--theirs", kept))
        out[index] = universal_lines(kept);
      break;
    }
  }
}

bool read_input_facts(PyObject* base, PyObject* current, PyObject* incoming, conflicts::Stages& out,
                      bool& readable) {
  std::optional<conflicts::NotebookFacts>* stages[3] = {&out.base, &out.current, &out.incoming};
  PyObject* documents[3] = {base, current, incoming};
  readable = true;
  for (int k = 0; k < 3; ++k) {
    conflicts::NotebookFacts& facts = stages[k]->emplace();
    // Of the inputs' sources, the scan reads only the incoming one's (a copy
    // placed without a mark holds it).
    if (documents[k] && !read_facts(documents[k], facts, k == 2)) {
      readable = false;
      return clear_expected({PyExc_ValueError});
    }
  }
  return true;
}

void print_pipeline_warnings(const conflicts::Stages& inputs,
                             const conflicts::NotebookFacts& merged, const std::string& label) {
  for (const auto& edge :
       breaks::lost_edges(*inputs.base, *inputs.current, *inputs.incoming, merged))
    std::fprintf(stderr, "zuv merge-driver: warning: %s: %s\n", label.c_str(),
                 escape_control(breaks::describe(edge)).c_str());
  for (const auto& cycle : breaks::merged_cycles(merged))
    std::fprintf(stderr, "zuv merge-driver: warning: %s: %s\n", label.c_str(),
                 escape_control(breaks::describe_cycle(cycle, merged)).c_str());
}

}  // namespace zuv::cli
