// The text comparison of two notebooks as `zuv diff` prints it, shared by the
// two-file form and the comparison across revisions.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zuv/text/terminal.hpp"

namespace zuv::cli {

// One side of a comparison, already read.
struct DiffInput {
  std::string label;     // shown after "a/" or "b/"
  std::string bytes;     // the file's content
  bool missing = false;  // the file does not exist on this side
};

// Appends the printed comparison of `before` and `after` to `out` (nothing
// when they are equal).  False with a Python exception set.
bool diff_text(const DiffInput& before, const DiffInput& after, Palette palette, std::string& out);

// `zuv diff` across revisions: REVS (none: work tree against the index; one:
// work tree against it; two: the two revisions) limited to PATHS, printed,
// or with `html` one page written there (a section per notebook when several).
// Sets `changed` when any notebook differs; returns the exit status.
int run_revision_diff(const std::vector<std::string>& revisions,
                      const std::vector<std::string>& paths, const std::string* html,
                      Palette palette, bool& changed);

// `zuv diff --markdown` across the same revisions and paths: the review
// comment of every notebook that changed, at most `max_bytes` (0: no limit).
int run_revision_markdown(const std::vector<std::string>& revisions,
                          const std::vector<std::string>& paths, std::size_t max_bytes,
                          bool& changed);

// `git difftool -t zuv`: writes the page of MERGED (LOCAL -> REMOTE) in the
// repository's git directory and prints its path.
int write_difftool_page(const std::string& local, const std::string& remote,
                        const std::string& merged);

// Whether git difftool runs this diff driver: its own helper, which the
// diff=zuv attribute's command replaces, is named in the environment then.
bool under_difftool();

// Hands git's 7 diff arguments back to `git difftool--helper`, which runs the
// chosen tool (`-t zuv` or `-x COMMAND`); returns only on failure.
int run_difftool_helper(const std::vector<std::string>& args);

// Whether `text` names a commit in the repository of the current directory.
bool is_revision(const std::string& text);

// Whether the current directory is inside a git work tree.
bool in_work_tree();

// "A..B" (A against B) or "A...B" (their merge base against B), either side
// HEAD when left out: the two revisions appended to `out`, or false.
bool revision_range(const std::string& text, std::vector<std::string>& out);

}  // namespace zuv::cli
