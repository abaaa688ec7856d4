#include "zuv/text/line_diff.hpp"

#include <cstddef>

#include "zuv/text/line_edits.hpp"

namespace zuv::cli {

namespace {

// A hunk header's range: "start,count", or "start" alone for one line.
void append_range(std::string& out, std::size_t start, std::size_t count) {
  out += std::to_string(start);
  if (count != 1) {
    out += ',';
    out += std::to_string(count);
  }
}

}  // namespace

bool unified_diff(const std::vector<std::string>& before, const std::vector<std::string>& after,
                  std::vector<std::string>& out, int context) {
  using text::LineKind;
  const auto rows = text::diff_lines(before, after);
  for (const text::Hunk& h :
       text::group(rows, static_cast<std::size_t>(context < 0 ? 0 : context))) {
    std::string header = "@@ -";
    append_range(header, h.old_start, h.old_count);
    header += " +";
    append_range(header, h.new_start, h.new_count);
    header += " @@";
    out.push_back(std::move(header));
    for (std::size_t i = h.begin; i < h.end; ++i) {
      const text::DiffRow& row = rows[i];
      const char mark = row.kind == LineKind::same      ? ' '
                        : row.kind == LineKind::removed ? '-'
                                                        : '+';
      const std::string& line = row.kind == LineKind::added ? after[row.line] : before[row.line];
      out.push_back(mark + line);
    }
  }
  return true;
}

}  // namespace zuv::cli
