// Line difference of two texts, shared by the terminal diff and the pages
// so that both show the same hunks.
//
// Lines are compared without their line end ("\n", "\r\n" or "\r"), so a
// line gaining the newline it lacked at the end of a cell is not a change.
// Lines found on one side only are set aside first (they cannot match);
// the rest goes to Myers' O(ND) search in its linear-space form (the middle
// snake, divide and conquer).  Where a split costs more than a bound
// (at least 256 rounds, more for long inputs), the furthest-reaching
// diagonal is taken as the split: still a correct edit script, near
// minimal, and the time stays O((N + M) * bound) on hostile inputs.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zuv::text {

enum class LineKind { same, removed, added, gap };

struct DiffRow {
  LineKind kind;
  std::size_t old_number;  // 1-based; 0 where the line has no old side
  std::size_t new_number;  // 1-based; 0 where the line has no new side
  std::size_t line;        // index into the old lines (same, removed) or new lines (added)
};

// `line` without its line end ("\n", "\r\n" or "\r"), as lines are compared.
std::string_view without_line_end(std::string_view line);

// Lines held elsewhere (one buffer, or strings that outlive the views).
using LineViews = std::span<const std::string_view>;

// The edit script from `old_lines` to `new_lines`, every line of both once:
// between two unchanged lines, removed lines come before added ones.
std::vector<DiffRow> diff_lines(LineViews old_lines, LineViews new_lines);
std::vector<DiffRow> diff_lines(const std::vector<std::string>& old_lines,
                                const std::vector<std::string>& new_lines);

// One hunk of a unified diff: rows[begin, end) of an edit script, and the
// line ranges it covers (starts 1-based; a range of no lines starts at the
// number of the line before it, as unified diffs write it).
struct Hunk {
  std::size_t begin, end;
  std::size_t old_start, old_count, new_start, new_count;
};

// The hunks of an edit script with `context` unchanged lines around each
// change; hunks whose context would touch or overlap are one.
std::vector<Hunk> group(const std::vector<DiffRow>& rows, std::size_t context = 3);

// The rows of those hunks, each run of dropped lines replaced by one gap row.
std::vector<DiffRow> hunks(const std::vector<DiffRow>& rows, std::size_t context = 3);

}  // namespace zuv::text
