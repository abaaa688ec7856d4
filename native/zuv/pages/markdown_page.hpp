// The diff of notebooks as Markdown for a review comment: per notebook a
// Mermaid flowchart of the pipeline (changed cells and their unchanged
// neighbours), the changed parameters as a table and each changed cell's
// source as a fenced `diff` block.  Pure C++ over the page records.
//
// Notebook text never escapes its place: text outside fences has every
// ASCII punctuation character backslash-escaped (no HTML, links or
// emphasis), a fence is longer than any backtick run inside it, and
// Mermaid labels carry punctuation as numeric entity codes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zuv/pages/pipeline_page.hpp"

namespace zuv::markdown {

// One piece of the comment that is shown whole or not at all, except that
// a fenced block may lose its last lines (and is closed all the same).
struct Block {
  std::string head;                // the block, or a fence's opening line
  std::vector<std::string> lines;  // a fence's content lines, each ending in "\n"
  std::string tail;                // a fence's closing line
  bool cuttable = false;           // whether `lines` may be cut short
};

class Document {
 public:
  // One notebook's section: `heading` names it, `subtitle` its two sides.
  void add_diff(const std::string& heading, const std::string& subtitle, const page::Page& page);
  // A notebook that cannot be shown, with the reason.
  void add_note(const std::string& heading, const std::string& note);
  bool empty() const { return blocks_.empty(); }
  // The comment, at most `max_bytes` long (0: no limit); past it, whole
  // blocks are left out (a diff block cut at a line) and a line says so.
  std::string render(std::size_t max_bytes) const;

 private:
  std::vector<Block> blocks_;
};

// The line that ends a comment cut short; its size is part of the limit.
std::string truncation_line(std::size_t full_bytes, std::size_t max_bytes);

// `text` as Markdown inline text: escapes of control characters made
// visible, every ASCII punctuation character backslash-escaped.
std::string inline_text(const std::string& text);

// A backtick fence longer than any run of backticks in `lines` (three at
// least), so that no line can close it.
std::string fence_for(const std::vector<std::string>& lines);

// `text` as the content of a quoted Mermaid label: letters, digits, spaces
// and non-ASCII characters as they are, anything else as "#NN;".
std::string mermaid_label(const std::string& text);

// The cells the chart draws: all of a small pipeline, else every changed
// cell and its unchanged neighbours, at most `max_nodes` in all.
std::vector<std::size_t> charted_cells(const page::Page& page, std::size_t max_nodes);

// Whether the cell differs between the sides in anything a reviewer sees.
bool changed(const page::CellEntry& cell);

}  // namespace zuv::markdown
