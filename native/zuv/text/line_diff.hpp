// Unified diffs of lines, for the terminal diff.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zuv/text/line_edits.hpp"

namespace zuv::cli {

// A hunk header's range: "start,count", or "start" alone for one line.
void append_range(std::string& out, std::size_t start, std::size_t count);

// The lines of a unified diff (no file header) that turns `before` into
// `after`, with `context` lines around each change, handed to
// `emit(head, line)`: a hunk header as head "@@ -a,b +c,d @@" and an empty
// line, every other line with head " ", "-" or "+".  Lines carry no line
// ends.  The hunks are those of the pages (text/line_edits).
template <typename Emit>
void unified_diff(text::LineViews before, text::LineViews after, Emit&& emit, int context = 3) {
  using text::LineKind;
  const auto rows = text::diff_lines(before, after);
  std::string header;
  for (const text::Hunk& h :
       text::group(rows, static_cast<std::size_t>(context < 0 ? 0 : context))) {
    header.assign("@@ -");
    append_range(header, h.old_start, h.old_count);
    header += " +";
    append_range(header, h.new_start, h.new_count);
    header += " @@";
    emit(std::string_view(header), std::string_view());
    for (std::size_t i = h.begin; i < h.end; ++i) {
      const text::DiffRow& row = rows[i];
      const std::string_view mark = row.kind == LineKind::same      ? " "
                                    : row.kind == LineKind::removed ? "-"
                                                                    : "+";
      emit(mark, row.kind == LineKind::added ? after[row.line] : before[row.line]);
    }
  }
}

// The same diff as whole lines ("+text", ...) appended to `out`.  Never
// fails; the result keeps the callers' error chain.
bool unified_diff(const std::vector<std::string>& before, const std::vector<std::string>& after,
                  std::vector<std::string>& out, int context = 3);

}  // namespace zuv::cli
