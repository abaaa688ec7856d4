// `zuv diff --html OUT OLD NEW`: the diff of two notebooks as one
// self-contained HTML page.
#pragma once

#include <string>

namespace zuv::cli {

struct HtmlDiffRequest {
  std::string output;    // the page to write
  std::string old_path;  // "/dev/null" for a notebook that does not exist
  std::string new_path;
  std::string old_label;  // how the page names each side
  std::string new_label;
};

// Writes the page; returns the command's exit status and reports its own
// errors (as the other subcommands do).
int write_html_diff(const HtmlDiffRequest& request);

}  // namespace zuv::cli
