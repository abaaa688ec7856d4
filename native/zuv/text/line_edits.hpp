// Line difference of two texts (Myers' O(ND) search), shown as unified
// hunks with line numbers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zuv::text {

enum class LineKind { same, removed, added, gap };

struct DiffRow {
  LineKind kind;
  std::size_t old_number;  // 1-based; 0 where the line has no old side
  std::size_t new_number;  // 1-based; 0 where the line has no new side
  std::size_t line;        // index into the old lines (same, removed) or new lines (added)
};

// The edit script from `old_lines` to `new_lines`, every line of both once.
// Past `max_edits` differences the middle is shown as all removed, then all
// added, which keeps hostile inputs linear.
std::vector<DiffRow> diff_lines(const std::vector<std::string>& old_lines,
                                const std::vector<std::string>& new_lines,
                                std::size_t max_edits = 4000);

// Keeps `context` unchanged lines around each change; each run of dropped
// lines becomes one gap row.
std::vector<DiffRow> hunks(const std::vector<DiffRow>& rows, std::size_t context = 3);

}  // namespace zuv::text
