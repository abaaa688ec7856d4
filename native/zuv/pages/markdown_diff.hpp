// `zuv diff --markdown`: the diff of notebooks as a review comment on
// standard output, for two files or for the notebooks that changed
// between revisions.
#pragma once

#include <cstddef>
#include <string>

#include "zuv/pages/markdown_page.hpp"
#include "zuv/text/terminal_diff.hpp"

namespace zuv::cli {

// GitHub's limit for one comment (65,536 characters; bytes are never fewer).
constexpr std::size_t kDefaultMarkdownBytes = 65536;
// Below this, the truncation line would leave no room for anything else.
constexpr std::size_t kMinMarkdownBytes = 1024;

// Parses --max-bytes: 0 (no limit) or kMinMarkdownBytes and more.
bool parse_max_bytes(const std::string& text, std::size_t& out);

// Adds the section of the diff from `before` to `after` (a missing or
// empty side is an empty notebook; a side that is no JSON object gets a
// note instead).  False with a Python exception set.
bool add_markdown_diff(const DiffInput& before, const DiffInput& after, const std::string& heading,
                       const std::string& subtitle, markdown::Document& out);

// Prints the comment; returns the exit status.
int print_markdown(const char* command, const markdown::Document& document, std::size_t max_bytes);

struct MarkdownDiffRequest {
  std::string old_path;  // "/dev/null" or an empty file: no notebook
  std::string new_path;
  std::string old_label;
  std::string new_label;
  std::size_t max_bytes = kDefaultMarkdownBytes;
};

// The comment for two files (nothing when they are equal); sets `changed`
// when they differ.  Returns the exit status, having reported any error:
// here a file that is no JSON notebook is one.
int write_markdown_diff(const MarkdownDiffRequest& request, bool& changed);

}  // namespace zuv::cli
