// `zuv merge-driver BASE CURRENT INCOMING MARKER_SIZE PATH`: git's merge
// driver for notebooks.
//
// Pipeline notebooks go through the pipeline merge and are written back in
// the current file's layout.  Anything else is merged line by line exactly
// as git would without a driver, so no notebook is ever left holding one
// side only: the three inputs are checked first, and a pipeline merge that
// still raises falls back too.  The driver fails only when git does (in a
// cell's source merge or the line merge: a status its result does not bear
// out) or cannot run, and then the current file is left as it was.  Every
// argument is data: git's %P may look like an option.
#include <array>
#include <charconv>
#include <cstdio>

#include "io/atomic_write.hpp"
#include "io/file_text.hpp"
#include "merge/text_merge.hpp"
#include "py/error.hpp"
#include "py/names.hpp"
#include "py/process_exit.hpp"
#include "py/signal_exit.hpp"
#include "zuv/arguments.hpp"
#include "zuv/commands.hpp"
#include "zuv/conflicts/merge_facts.hpp"
#include "zuv/git/git_process.hpp"
#include "zuv/git/kept_outputs.hpp"
#include "zuv/git/pipeline_check.hpp"
#include "zuv/git/pipeline_merge.hpp"
#include "zuv/git/plain_merge.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

constexpr const char* kCommand = "merge-driver";

struct Version {
  const char* role;
  std::string path;
  io::FileText bytes;
  Ref document;  // empty when the file is not UTF-8 JSON
};

bool blank(std::string_view bytes) {
  return bytes.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// The first non-blank line of a message, escaped, for a one-line report.
std::string first_line(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!blank(line)) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      return escape_line(line);
    }
    start = end + 1;
  }
  return "";
}

// Why the pipeline merge cannot take these versions, or "", in `reason`.
// `parsed` says whether every non-empty version is UTF-8 JSON.  False only
// on a failure other than the versions' own.
bool check_versions(std::array<Version, 3>& versions, bool& base_empty, bool& parsed,
                    std::string& reason) {
  parsed = true;
  ReadBase shared;  // the versions share most of their text with the first one read
  for (Version& version : versions) {
    bool is_base = &version == &versions[0];
    if (is_base && blank(version.bytes.view())) {
      base_empty = true;
      continue;
    }
    if (!parse_json_if_any(version.bytes.view(), version.document, &shared)) return false;
    if (!version.document) {
      parsed = false;
      reason = std::string("the ") + version.role + " version is not UTF-8 JSON";
      return true;
    }
  }
  for (Version& version : versions) {
    if (!version.document) continue;
    std::string problem;
    if (!pipeline_problem(version.document.get(), problem)) return false;
    if (!problem.empty()) {
      reason = std::string("the ") + version.role + " version " + problem;
      return true;
    }
  }
  return true;
}

// Writes `bytes` over the current file, atomically and keeping its
// identity; the exit status (ok when written).  A stop signal taken since
// the driver started writes nothing, even where a look-up swallowed its exit.
int replace_current(const std::string& path, const std::string& bytes) {
  if (PyErr_CheckSignals() < 0) return python_failure(kCommand);
  if (int stopped = signal_exit_status()) {
    std::fprintf(stderr, "zuv %s: stopped by signal %d\n", kCommand, stopped - 128);
    return stopped;
  }
  if (io::replace_file(path.c_str(), bytes.data(), static_cast<Py_ssize_t>(bytes.size())))
    return status::ok;
  return python_failure(kCommand);
}

// The lines of `text` that open a conflict block labelled `label` with
// `size` "<" signs (git ends them in "\r" in a file with CRLF line ends).
size_t count_openings(std::string_view text, int size, const std::string& label) {
  const std::string opening = std::string(static_cast<size_t>(size), '<') + " " + label;
  size_t count = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line == opening) ++count;
    start = end + 1;
  }
  return count;
}

// Whether git's answer is a merge result to write.  git merge-file exits
// with the number of conflicts (at most 127) after writing one block for
// each; a wrapper that cannot run git (126, 127), git refusing the input
// (255, 2) or a wrapper that writes nothing leaves no such blocks.  Blocks
// the inputs already held may add to the count, never take from it.
std::string unconfirmed_result(const ProcessResult& result, const std::array<Version, 3>& versions,
                               int marker_size, const std::string& current_label) {
  const int status = result.status;
  if (status == 0) {
    // An empty clean merge needs one side that is empty itself.
    if (!result.out.empty() || versions[1].bytes.empty() || versions[2].bytes.empty()) return "";
    return "git merge-file wrote nothing (status 0)";
  }
  std::string named = "git merge-file failed (status " + std::to_string(status) + ")";
  if (status < 1 || status > 127) return named;
  size_t blocks = count_openings(result.out, marker_size, current_label);
  if (blocks >= static_cast<size_t>(status) && (status != 126 || blocks == 126)) return "";
  return named + " with " + std::to_string(blocks) + " conflict blocks of this merge in its result";
}

// git's own three-way line merge, as git runs it without a driver.  The
// current file is written only from a result git bears out; otherwise it is
// left as it was and the driver fails.
int line_merge(const std::array<Version, 3>& versions, int marker_size, const std::string& label) {
  const std::string& base = versions[0].path;
  const std::string& current = versions[1].path;
  const std::string& incoming = versions[2].path;
  ProcessResult result;
  std::string error;
  std::vector<std::string> args = {"merge-file",
                                   "-p",
                                   "--marker-size=" + std::to_string(marker_size),
                                   "-L",
                                   label + "-current",
                                   "-L",
                                   label + "-base",
                                   "-L",
                                   label + "-incoming",
                                   "--",
                                   current,
                                   base,
                                   incoming};
  if (!run_git(args, result, error, true)) return failure(kCommand, error);
  // A signal that came while git ran (and may have stopped git too) stops
  // the driver, before git's answer is judged.
  if (PyErr_CheckSignals() < 0) return python_failure(kCommand);
  std::string problem = unconfirmed_result(result, versions, marker_size, label + "-current");
  if (!problem.empty()) {
    std::string reason = first_line(result.err);
    return failure(kCommand, problem + (reason.empty() ? "" : ": " + reason) + "; " + label +
                                 " left as it was");
  }
  if (int written = replace_current(current, result.out); written != status::ok) return written;
  return result.status == 0 ? status::ok : status::conflicts;
}

// What the merged document leaves open, counted as `zuv conflicts` counts
// it once git has recorded the conflict: the inputs stand for the index
// stages (null when they could not be read).  `facts` are the merged
// document's, for the warnings after.
bool open_conflicts(PyObject* document, const conflicts::Stages* inputs,
                    conflicts::NotebookFacts& facts, conflicts::Tally& counted) {
  if (!read_facts(document, facts)) return false;
  counted = conflicts::tally(conflicts::find_conflicts(facts, inputs));
  return true;
}

// Writes the merged document in `layout`.  Like `zuvmerge`: 1 only when
// this merge created conflicts (conflict marks the inputs already held are
// mentioned, but the merge is clean), 0 otherwise, 3 on failure.
int write_merged(const merge::MergeResult& merged, const JsonLayout& layout, const Version& current,
                 const std::string& label, const conflicts::Stages* inputs,
                 conflicts::NotebookFacts& facts) {
  std::string bytes;
  bytes.reserve(current.bytes.size() + current.bytes.size() / 8);  // about the merged size
  conflicts::Tally left;
  if (!dump_json(merged.document.get(), layout, bytes) ||
      !open_conflicts(merged.document.get(), inputs, facts, left))
    return python_failure(kCommand);
  if (int written = replace_current(current.path, bytes); written != status::ok) return written;
  const merge::ConflictReport& created = merged.conflicts;
  if (!created.any()) {
    if (left.total() > 0)
      std::fprintf(stderr, "zuv merge-driver: conflict marks from the inputs remain in %s: %s\n",
                   label.c_str(), conflicts::tally_words(left).c_str());
    return status::ok;
  }
  std::fprintf(stderr, "zuv merge-driver: conflicts remain in %s: %s\n", label.c_str(),
               conflicts::tally_words(left).c_str());
  return status::conflicts;
}

// Writes the cell merge's document in `layout`: 1 when the merge created
// conflicts, 0 otherwise, 3 on failure.  The summary counts what is open in
// the file as `zuv conflicts` counts it.
int write_plain(PyObject* merged, const PlainMergeReport& report, const JsonLayout& layout,
                const Version& current, const std::string& label, const conflicts::Stages* inputs,
                conflicts::NotebookFacts& facts) {
  std::string bytes;
  bytes.reserve(current.bytes.size() + current.bytes.size() / 8);  // about the merged size
  conflicts::Tally left;
  if (!dump_json(merged, layout, bytes) || !open_conflicts(merged, inputs, facts, left))
    return python_failure(kCommand);
  if (int written = replace_current(current.path, bytes); written != status::ok) return written;
  if (!report.any()) return status::ok;
  std::fprintf(stderr, "zuv merge-driver: conflicts remain in %s: %s\n", label.c_str(),
               conflicts::tally_words(left).c_str());
  if (report.metadata_keys > 0)
    std::fprintf(stderr,
                 "zuv merge-driver: %s: notebook metadata changed by both sides, current's "
                 "kept: %s\n",
                 label.c_str(), escape_line(report.metadata_detail).c_str());
  return status::conflicts;
}

// After a merge raised: true, with the exit status, when nothing else may
// run (an interrupt or a stop signal); false, the exception still set, when
// the line merge may take over.  A git that failed in a cell's source merge
// (or refused a source, as it refuses binary text) is left to the line
// merge, which writes only a result that git bears out.
bool merge_must_stop(int& exit_status) {
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit)) {
    exit_status = python_failure(kCommand);
    return true;
  }
  return false;
}

}  // namespace

int run_merge_driver(const std::vector<std::string>& args) {
  // Every argument is a path or a number, whatever it starts with: git's %P
  // may be a file named "-draft.ipynb", "-h" or "--".  A leading "--" that
  // makes six arguments only ends the (absent) options.
  std::vector<std::string> given = args;
  if (given.size() == 6 && given[0] == "--") given.erase(given.begin());
  if (given.size() != 5)
    return usage_error(kCommand,
                       "expected BASE CURRENT INCOMING MARKER_SIZE PATH (git's %O %A "
                       "%B %L %P)");
  int marker_size = 0;
  const std::string& size_text = given[3];
  auto [end, parsed_size] =
      std::from_chars(size_text.data(), size_text.data() + size_text.size(), marker_size);
  if (parsed_size != std::errc() || end != size_text.data() + size_text.size()) marker_size = 0;
  if (marker_size < 1) return usage_error(kCommand, "MARKER_SIZE must be a positive number");
  std::string label = escape_line(given[4]);
  // SIGTERM and SIGHUP end the driver through the same clean-up as an
  // interrupt: no working directory of a source merge is left behind.
  if (!exit_cleanly_on_signals()) return python_failure(kCommand);
  std::string error;

  std::array<Version, 3> versions = {Version{"base", given[0], {}, {}},
                                     Version{"current", given[1], {}, {}},
                                     Version{"incoming", given[2], {}, {}}};
  for (Version& version : versions)
    if (!version.bytes.read(version.path, error)) return failure(kCommand, error);
  // Both sides changed the notebook: cell sources may be merged, so libgit2
  // is loaded on a helper thread while the versions are read.
  const bool both_changed = versions[1].bytes.view() != versions[0].bytes.view() &&
                            versions[2].bytes.view() != versions[0].bytes.view();
  merge::TextMergeWarmUp load_ahead(both_changed ? merge::load_text_merge_ahead : nullptr);

  bool base_empty = false, all_json = false;
  std::string reason;
  if (!check_versions(versions, base_empty, all_json, reason)) return python_failure(kCommand);
  if (reason.empty()) {
    // The merge changes the documents it is given in place: what else is
    // read of them (layout, the facts for the warnings) is read first.
    JsonLayout layout = detect_layout(versions[1].bytes.view(), versions[1].document.get());
    conflicts::Stages inputs;
    bool warn = false;
    if (!read_input_facts(versions[0].document.get(), versions[1].document.get(),
                          versions[2].document.get(), inputs, warn))
      return python_failure(kCommand);
    KeptOutputs kept_outputs;
    if (!kept_outputs.read(versions[0].document.get(), versions[1].document.get(),
                           versions[2].document.get()))
      return python_failure(kCommand);
    Ref base = base_empty ? empty_pipeline_notebook() : versions[0].document;
    merge::MergeResult merged;
    if (base && merge_pipeline(base.get(), versions[1].document.get(), versions[2].document.get(),
                               given[4], marker_size, merged)) {
      conflicts::NotebookFacts facts;
      const int result =
          write_merged(merged, layout, versions[1], label, warn ? &inputs : nullptr, facts);
      if (result != status::failure && warn) print_pipeline_warnings(inputs, facts, label);
      if (result != status::failure && !kept_outputs.report(merged.document.get(), label))
        return python_failure(kCommand);
      // Written and reported: the process ends without freeing the documents.
      if (result != status::failure) end_process(result);
      return result;
    }
    if (int exit_status = 0; merge_must_stop(exit_status)) return exit_status;
    reason = "the pipeline merge failed (" + escape_line(take_python_error()) + ")";
  } else if (all_json) {
    // Not every cell carries a canvas id: the cell-by-cell merge of any
    // nbformat 4 notebook.
    PyObject* base = versions[0].document.get();
    std::string problem =
        plain_problem(base, versions[1].document.get(), versions[2].document.get());
    if (problem.empty()) {
      JsonLayout layout = detect_layout(versions[1].bytes.view(), versions[1].document.get());
      conflicts::Stages inputs;
      bool warn = false;
      if (!read_input_facts(base, versions[1].document.get(), versions[2].document.get(), inputs,
                            warn))
        return python_failure(kCommand);
      Ref merged;
      PlainMergeReport report;
      std::string refusal;
      if (merge_plain(base, versions[1].document.get(), versions[2].document.get(), given[4],
                      marker_size, merged, report, refusal)) {
        if (refusal.empty()) {
          conflicts::NotebookFacts facts;
          const int result = write_plain(merged.get(), report, layout, versions[1], label,
                                         warn ? &inputs : nullptr, facts);
          // The canvas cells of a mixed notebook: the same warnings as a pipeline merge.
          if (result != status::failure && warn) print_pipeline_warnings(inputs, facts, label);
          if (result != status::failure) end_process(result);
          return result;
        }
        problem = refusal;
      } else {
        if (int exit_status = 0; merge_must_stop(exit_status)) return exit_status;
        problem = "the cell merge failed (" + escape_line(take_python_error()) + ")";
      }
    }
    reason = problem;
  }
  std::fprintf(stderr, "zuv merge-driver: %s: %s; merged line by line\n", label.c_str(),
               reason.c_str());
  return line_merge(versions, marker_size, label);
}

}  // namespace zuv::cli
