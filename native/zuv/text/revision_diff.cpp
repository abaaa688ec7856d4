// `zuv diff` across revisions, the way `git diff` compares: the work tree
// against the index, the work tree against one revision, or two revisions.
// The changed notebooks and their contents come from git run as a child
// process; a notebook added or deleted is compared with an empty one.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "zuv/commands.hpp"
#include "zuv/git/git_process.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/html_diff.hpp"
#include "zuv/pages/markdown_diff.hpp"
#include "zuv/pages/notebook_pages.hpp"
#include "zuv/text/terminal.hpp"
#include "zuv/text/terminal_diff.hpp"

namespace zuv::cli {

namespace {

constexpr const char* kCommand = "diff";

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Splits git's NUL-separated output.
std::vector<std::string> split_nul(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

// git's output with its trailing newline removed; false with `error` set.
bool git_line(const std::vector<std::string>& args, std::string& line, std::string& error) {
  ProcessResult result;
  if (!run_git(args, result, error, true)) return false;
  if (result.status != 0) {
    error = result.err;
    while (!error.empty() && error.back() == '\n') error.pop_back();
    error = error.empty() ? "git " + args[0] + " failed" : escape_line(error);
    return false;
  }
  line = result.out;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return true;
}

// The notebooks that differ, as paths from the top of the work tree.
bool changed_notebooks(const std::vector<std::string>& revisions,
                       const std::vector<std::string>& paths, std::vector<std::string>& out,
                       std::string& error) {
  std::vector<std::string> args{"diff", "--name-only", "-z", "--no-ext-diff", "--no-renames"};
  args.insert(args.end(), revisions.begin(), revisions.end());
  args.push_back("--");
  // Every notebook of the work tree, wherever the command runs from.
  if (paths.empty()) args.push_back(":(top)*.ipynb");
  args.insert(args.end(), paths.begin(), paths.end());
  ProcessResult result;
  if (!run_git(args, result, error, true)) return false;
  if (result.status != 0) {
    error = result.err;
    while (!error.empty() && error.back() == '\n') error.pop_back();
    error = error.empty() ? "git diff failed" : escape_line(error);
    return false;
  }
  // git lists an unmerged path once per side: each notebook is shown once.
  std::unordered_set<std::string> seen;
  for (std::string& name : split_nul(result.out))
    if (ends_with(name, ".ipynb") && seen.insert(name).second) out.push_back(std::move(name));
  return true;
}

// The blob `object` (REV:path or :path); missing when git has none there
// (git's own fatal status, 128).  Any other failure is an error: a git that
// could not run must not make a notebook look deleted, or the diff empty.
bool read_object(const std::string& object, DiffInput& side, std::string& error) {
  constexpr int kNoSuchObject = 128;
  ProcessResult result;
  if (!run_git({"cat-file", "blob", object}, result, error, true)) return false;
  if (result.status != 0 && result.status != kNoSuchObject) {
    std::string why = result.err;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    error = "git cat-file failed for " + escape_line(object) + " (status " +
            std::to_string(result.status) + ")" + (why.empty() ? "" : ": " + escape_line(why));
    return false;
  }
  side.missing = result.status != 0;
  if (!side.missing) side.bytes = std::move(result.out);
  return true;
}

// The work tree's file; missing when it was deleted.
bool read_work_tree(const std::string& path, DiffInput& side, std::string& error) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    side.missing = true;
    return true;
  }
  return read_bytes(path, side.bytes, error);
}

}  // namespace

bool is_revision(const std::string& text) {
  if (text.empty() || text[0] == '-') return false;
  ProcessResult result;
  std::string error;
  return run_git({"rev-parse", "--verify", "--quiet", "--end-of-options", text + "^{commit}"},
                 result, error, true) &&
         result.status == 0;
}

bool in_work_tree() {
  ProcessResult result;
  std::string error;
  return run_git({"rev-parse", "--is-inside-work-tree"}, result, error, true) &&
         result.status == 0 && result.out.rfind("true", 0) == 0;
}

bool revision_range(const std::string& text, std::vector<std::string>& out) {
  size_t dots = text.find("..");
  if (dots == std::string::npos || text[0] == '-') return false;
  const bool merge_base = text.compare(dots, 3, "...") == 0;
  std::string from = text.substr(0, dots);
  std::string to = text.substr(dots + (merge_base ? 3 : 2));
  if (from.empty()) from = "HEAD";
  if (to.empty()) to = "HEAD";
  if (!is_revision(from) || !is_revision(to)) return false;
  if (merge_base) {
    std::string error;
    if (!git_line({"merge-base", "--end-of-options", from, to}, from, error)) return false;
  }
  out.push_back(from);
  out.push_back(to);
  return true;
}

namespace {

// Both sides of one changed notebook, as the revisions name them.
bool read_sides(const std::string& name, const std::vector<std::string>& revisions,
                const std::string& top, DiffInput& before, DiffInput& after, std::string& error) {
  before = {name, {}, false};
  after = {name, {}, false};
  // An unmerged notebook has no index entry of its own: the current side's
  // stage stands for it, as `git diff --ours` compares.
  if (revisions.empty())
    return read_object(":" + name, before, error) &&
           (!before.missing || read_object(":2:" + name, before, error)) &&
           read_work_tree(top + "/" + name, after, error);
  if (!read_object(revisions[0] + ":" + name, before, error)) return false;
  return revisions.size() == 1 ? read_work_tree(top + "/" + name, after, error)
                               : read_object(revisions[1] + ":" + name, after, error);
}

// A side as the page reads it: a missing or empty file is an empty notebook.
Ref page_document(const DiffInput& side, const std::string& label, std::string& error) {
  if (side.missing || side.bytes.find_first_not_of(" \t\r\n") == std::string::npos)
    return Ref::steal(PyDict_New());
  Ref document = parse_json(side.bytes);
  if (!document) {
    error = label + " is not a JSON notebook: " + take_python_error();
    return {};
  }
  if (!PyDict_Check(document.get())) {
    error = label + " does not hold a JSON object";
    return {};
  }
  return document;
}

// One notebook's page; false with `error` set, or with a Python exception
// when `error` stays empty.
bool revision_page(const std::string& name, const std::vector<std::string>& revisions,
                   const DiffInput& before, const DiffInput& after, page::Page& page,
                   std::string& error) {
  std::string old_label = (revisions.empty() ? std::string("(index)") : revisions[0]) + ":" + name;
  std::string new_label = revisions.size() == 2 ? revisions[1] + ":" + name : name;
  Ref old_doc = page_document(before, old_label, error);
  if (!old_doc) return false;
  Ref new_doc = page_document(after, new_label, error);
  if (!new_doc) return false;
  page.title = "Pipeline diff";
  page.subtitle = old_label + " \xE2\x86\x92 " + new_label;
  return pages::diff_page(old_doc.get(), new_doc.get(), page);
}

// The page of every notebook that changed: the notebook's own page when
// one did, else one page with a section per notebook.
int write_revision_pages(const std::string& output, const std::vector<std::string>& names,
                         const std::vector<std::string>& revisions, const std::string& top,
                         bool& changed) {
  std::vector<std::pair<std::string, page::Page>> drawn;
  std::string error;
  for (const std::string& name : names) {
    DiffInput before, after;
    if (!read_sides(name, revisions, top, before, after, error)) return failure(kCommand, error);
    changed = changed || before.bytes != after.bytes || before.missing != after.missing;
    page::Page page;
    if (!revision_page(name, revisions, before, after, page, error))
      return error.empty() ? python_failure(kCommand) : failure(kCommand, error);
    drawn.emplace_back(name, std::move(page));
  }
  const bool written =
      drawn.size() == 1
          ? pages::write_page(output, drawn.front().second)
          : pages::write_sectioned_page(
                output, "Pipeline diff of " + std::to_string(drawn.size()) + " notebooks", drawn);
  return written ? status::ok : python_failure(kCommand);
}

}  // namespace

int run_revision_diff(const std::vector<std::string>& revisions,
                      const std::vector<std::string>& paths, const std::string* html,
                      Palette palette, bool& changed) {
  std::string error, top;
  if (!git_line({"rev-parse", "--show-toplevel"}, top, error)) return failure(kCommand, error);
  std::vector<std::string> names;
  if (!changed_notebooks(revisions, paths, names, error)) return failure(kCommand, error);
  if (html) {
    if (names.empty()) {
      std::fputs("zuv diff: no notebook changed; no page written\n", stderr);
      return status::ok;
    }
    return write_revision_pages(*html, names, revisions, top, changed);
  }
  std::string text;
  for (const std::string& name : names) {
    DiffInput before, after;
    if (!read_sides(name, revisions, top, before, after, error)) return failure(kCommand, error);
    size_t size = text.size();
    if (!diff_text(before, after, palette, text)) return python_failure(kCommand);
    changed = changed || text.size() != size;
  }
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    return failure(kCommand, "cannot write to standard output");
  return status::ok;
}

int run_revision_markdown(const std::vector<std::string>& revisions,
                          const std::vector<std::string>& paths, std::size_t max_bytes,
                          bool& changed) {
  std::string error, top;
  if (!git_line({"rev-parse", "--show-toplevel"}, top, error)) return failure(kCommand, error);
  std::vector<std::string> names;
  if (!changed_notebooks(revisions, paths, names, error)) return failure(kCommand, error);
  markdown::Document document;
  for (const std::string& name : names) {
    DiffInput before, after;
    if (!read_sides(name, revisions, top, before, after, error)) return failure(kCommand, error);
    if (before.bytes == after.bytes && before.missing == after.missing) continue;
    changed = true;
    before.label = (revisions.empty() ? std::string("(index)") : revisions[0]) + ":" + name;
    after.label = revisions.size() == 2 ? revisions[1] + ":" + name : name;
    if (!add_markdown_diff(before, after, name, before.label + " \xE2\x86\x92 " + after.label,
                           document))
      return python_failure(kCommand);
  }
  return print_markdown(kCommand, document, max_bytes);
}

bool under_difftool() {
  const char* helper = std::getenv("GIT_EXTERNAL_DIFF");
  const char* tool = std::getenv("GIT_DIFF_TOOL");
  const char* command = std::getenv("GIT_DIFFTOOL_EXTCMD");
  return helper && *helper && ((tool && *tool) || (command && *command));
}

int run_difftool_helper(const std::vector<std::string>& args) {
  std::vector<std::string> words{"git", "difftool--helper"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  execvp("git", argv.data());
  return failure("diff-driver",
                 std::string("cannot run git difftool--helper: ") + std::strerror(errno));
}

int write_difftool_page(const std::string& local, const std::string& remote,
                        const std::string& merged) {
  std::string error, git_dir;
  // git difftool hands the tool every changed file: any other than a
  // notebook gets git's own text diff, not a page that cannot be drawn.
  if (!ends_with(merged, ".ipynb")) {
    ProcessResult plain;
    if (!run_git({"diff", "--no-index", "--no-ext-diff", "--no-textconv", "--", local, remote},
                 plain, error))
      return failure(kCommand, error);
    if (plain.status > 1) return failure(kCommand, "git diff failed on " + escape_line(merged));
    std::fwrite(plain.out.data(), 1, plain.out.size(), stdout);
    std::fflush(stdout);
    return status::ok;
  }
  if (!git_line({"rev-parse", "--absolute-git-dir"}, git_dir, error))
    return failure(kCommand, error);
  // One page per notebook, kept after git removes its temporary files; the
  // path's slashes flattened so every page sits in one folder.
  std::string folder = git_dir + "/zuv-pages";
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
    return failure(kCommand, "cannot create " + folder + ": " + std::strerror(errno));
  std::string flat = merged;
  for (char& c : flat)
    if (c == '/') c = '~';
  std::string output = folder + "/" + flat + ".html";
  int result = write_html_diff({output, local, remote, "a/" + merged, "b/" + merged});
  if (result != status::ok) return result;
  std::printf("%s: %s\n", escape_line(merged).c_str(), escape_line(output).c_str());
  std::fflush(stdout);
  // A browser only where the user named one (git's web.browser or BROWSER):
  // git's own launcher then opens the page.  Not opening it is no failure.
  std::string browser;
  const char* from_environment = std::getenv("BROWSER");
  if (!git_line({"config", "web.browser"}, browser, error)) browser.clear();
  if (!browser.empty() || (from_environment && *from_environment)) {
    ProcessResult opened;
    if (!run_git({"web--browse", output}, opened, error, true) || opened.status != 0)
      std::fprintf(stderr, "zuv diff: could not open a browser on %s\n",
                   escape_line(output).c_str());
  }
  return status::ok;
}

}  // namespace zuv::cli
