// Unified diffs of lines, for the terminal diff.
#pragma once

#include <string>
#include <vector>

namespace zuv::cli {

// The lines of a unified diff (hunk headers "@@ ... @@" and lines starting
// with ' ', '-' or '+'; no file header) that turn `before` into `after`,
// with `context` lines around each change.  Lines carry no line ends.  The
// hunks are those of the pages (text/line_edits).  Never fails; the result
// keeps the callers' error chain.
bool unified_diff(const std::vector<std::string>& before, const std::vector<std::string>& after,
                  std::vector<std::string>& out, int context = 3);

}  // namespace zuv::cli
