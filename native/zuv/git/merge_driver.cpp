// `zuv merge-driver BASE CURRENT INCOMING MARKER_SIZE PATH`: git's merge
// driver for notebooks.
//
// Pipeline notebooks go through the pipeline merge and are written back in
// the current file's layout.  Anything else is merged line by line exactly
// as git would without a driver, so no notebook is ever left holding one
// side only: the three inputs are checked first, and a pipeline merge that
// still raises falls back too.  Only when the line merge itself cannot run
// does the driver fail, and then the current file is left as it was.
#include <array>
#include <charconv>
#include <cstdio>

#include "io/atomic_write.hpp"
#include "notebook/conflict_count.hpp"
#include "py/collector_pause.hpp"
#include "zuv/arguments.hpp"
#include "zuv/commands.hpp"
#include "zuv/conflicts/merge_facts.hpp"
#include "zuv/git/git_process.hpp"
#include "zuv/git/pipeline_check.hpp"
#include "zuv/git/pipeline_merge.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

constexpr const char* kCommand = "merge-driver";

struct Version {
  const char* role;
  std::string path;
  std::string bytes;
  Ref document;  // empty when the file is not UTF-8 JSON
};

bool blank(const std::string& bytes) {
  return bytes.find_first_not_of(" \t\r\n") == std::string::npos;
}

// Why the pipeline merge cannot take these versions, or "".
std::string check_versions(std::array<Version, 3>& versions, bool& base_empty) {
  for (Version& version : versions) {
    bool is_base = &version == &versions[0];
    if (is_base && blank(version.bytes)) {
      base_empty = true;
      continue;
    }
    version.document = parse_json(version.bytes);
    if (!version.document) {
      PyErr_Clear();
      return std::string("the ") + version.role + " version is not UTF-8 JSON";
    }
    std::string problem = pipeline_problem(version.document.get());
    if (!problem.empty()) return std::string("the ") + version.role + " version " + problem;
  }
  return "";
}

// Writes `bytes` over the current file, atomically and keeping its identity.
bool replace_current(const std::string& path, const std::string& bytes) {
  if (io::replace_file(path.c_str(), bytes.data(), static_cast<Py_ssize_t>(bytes.size())))
    return true;
  python_failure(kCommand);
  return false;
}

// git's own three-way line merge, as git runs it without a driver.
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
  // git merge-file: the number of conflicts (at most 127), or a failure.
  if (result.status < 0 || result.status > 127) {
    std::string reason = escape_control(result.err);
    while (!reason.empty() && reason.back() == '\n') reason.pop_back();
    return failure(kCommand, "git merge-file failed (status " + std::to_string(result.status) +
                                 ")" + (reason.empty() ? "" : ": " + reason));
  }
  if (!replace_current(current, result.out)) return status::failure;
  return result.status == 0 ? status::ok : status::conflicts;
}

// Writes the merged document in `layout`.  Like `zuvmerge`: 1 only when
// this merge created conflicts (conflict marks the inputs already held are
// mentioned, but the merge is clean), 0 otherwise, 3 on failure.
int write_merged(const merge::MergeResult& merged, const JsonLayout& layout, const Version& current,
                 const std::string& label) {
  std::string bytes;
  ConflictCount left;
  if (!dump_json(merged.document.get(), layout, bytes) ||
      !count_conflicts(merged.document.get(), left))
    return python_failure(kCommand);
  if (!replace_current(current.path, bytes)) return status::failure;
  const merge::ConflictReport& created = merged.conflicts;
  if (!created.any()) {
    if (left.total() > 0)
      std::fprintf(stderr,
                   "zuv merge-driver: conflict marks from the inputs remain in %s: cells %zd, "
                   "parameters %zd, source blocks %zd\n",
                   label.c_str(), left.cells, left.parameters, left.source_blocks);
    return status::ok;
  }
  std::fprintf(stderr,
               "zuv merge-driver: conflicts remain in %s: cells %zd, parameters %zd, source "
               "blocks %zd\n",
               label.c_str(), created.copies_beside + created.marked_cells,
               created.marked_parameters, created.source_blocks);
  return status::conflicts;
}

}  // namespace

int run_merge_driver(const std::vector<std::string>& args) {
  std::string error;
  auto parsed = parse_arguments(args, {}, error);
  if (!parsed) return usage_error(kCommand, error);
  const std::vector<std::string>& given = parsed->positional;
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

  std::array<Version, 3> versions = {Version{"base", given[0], {}, {}},
                                     Version{"current", given[1], {}, {}},
                                     Version{"incoming", given[2], {}, {}}};
  for (Version& version : versions)
    if (!read_bytes(version.path, version.bytes, error)) return failure(kCommand, error);

  // Parsing, the merge and the layout-keeping write build and drop whole
  // documents without cycles: collections during them find nothing to free.
  CollectorPause pause;
  bool base_empty = false;
  std::string reason = check_versions(versions, base_empty);
  if (reason.empty()) {
    // The merge changes the documents it is given in place: what else is
    // read of them (layout, the facts for the warnings) is read first.
    JsonLayout layout = detect_layout(versions[1].bytes, versions[1].document.get());
    conflicts::NotebookFacts inputs[3];
    bool warn = read_input_facts(versions[0].document.get(), versions[1].document.get(),
                                 versions[2].document.get(), inputs);
    Ref base = base_empty ? empty_pipeline_notebook() : versions[0].document;
    merge::MergeResult merged;
    if (base && merge_pipeline(base.get(), versions[1].document.get(), versions[2].document.get(),
                               given[4], marker_size, merged)) {
      const int result = write_merged(merged, layout, versions[1], label);
      if (result != status::failure && warn)
        print_pipeline_warnings(inputs, merged.document.get(), label);
      return result;
    }
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return python_failure(kCommand);
    reason = "the pipeline merge failed (" + escape_line(take_python_error()) + ")";
  }
  std::fprintf(stderr, "zuv merge-driver: %s: %s; merged line by line\n", label.c_str(),
               reason.c_str());
  return line_merge(versions, marker_size, label);
}

}  // namespace zuv::cli
