#include "zuv/text/line_edits.hpp"

#include <algorithm>
#include <cstdint>

namespace zuv::text {

namespace {

using Lines = std::vector<std::string>;

// Myers' greedy search on old[a0, a1) and new[b0, b1), recording the
// frontier of every round so the path can be walked back.
bool myers(const Lines& a, std::size_t a0, std::size_t a1, const Lines& b, std::size_t b0,
           std::size_t b1, std::size_t max_edits, std::vector<DiffRow>& out) {
  const auto n = static_cast<std::ptrdiff_t>(a1 - a0), m = static_cast<std::ptrdiff_t>(b1 - b0);
  const std::ptrdiff_t limit =
      std::min<std::ptrdiff_t>(n + m, static_cast<std::ptrdiff_t>(max_edits));
  const std::ptrdiff_t offset = limit + 1;
  std::vector<std::ptrdiff_t> v(static_cast<std::size_t>(2 * offset + 1), 0);
  std::vector<std::vector<std::ptrdiff_t>> trace;
  std::ptrdiff_t found = -1;
  for (std::ptrdiff_t d = 0; d <= limit && found < 0; ++d) {
    trace.push_back(v);
    for (std::ptrdiff_t k = -d; k <= d; k += 2) {
      std::ptrdiff_t x;
      if (k == -d || (k != d && v[k - 1 + offset] < v[k + 1 + offset]))
        x = v[k + 1 + offset];
      else
        x = v[k - 1 + offset] + 1;
      std::ptrdiff_t y = x - k;
      while (x < n && y < m && a[a0 + x] == b[b0 + y]) ++x, ++y;
      v[k + offset] = x;
      if (x >= n && y >= m) {
        found = d;
        break;
      }
    }
  }
  if (found < 0) return false;

  // Walk back from (n, m), collecting rows in reverse.
  std::vector<DiffRow> rows;
  std::ptrdiff_t x = n, y = m;
  for (std::ptrdiff_t d = found; d >= 0; --d) {
    const auto& pv = trace[static_cast<std::size_t>(d)];
    const std::ptrdiff_t k = x - y;
    std::ptrdiff_t prev_k = 0;
    if (d > 0)
      prev_k = (k == -d || (k != d && pv[k - 1 + offset] < pv[k + 1 + offset])) ? k + 1 : k - 1;
    const std::ptrdiff_t prev_x = d > 0 ? pv[prev_k + offset] : 0;
    const std::ptrdiff_t prev_y = prev_x - prev_k;
    while (x > prev_x && y > prev_y) {
      --x, --y;
      rows.push_back({LineKind::same, a0 + x + 1, b0 + y + 1, a0 + static_cast<std::size_t>(x)});
    }
    if (d > 0) {
      if (x == prev_x)
        rows.push_back({LineKind::added, 0, b0 + y, b0 + static_cast<std::size_t>(y - 1)});
      else
        rows.push_back({LineKind::removed, a0 + x, 0, a0 + static_cast<std::size_t>(x - 1)});
    }
    x = prev_x, y = prev_y;
  }
  out.insert(out.end(), rows.rbegin(), rows.rend());
  return true;
}

}  // namespace

std::vector<DiffRow> diff_lines(const Lines& old_lines, const Lines& new_lines,
                                std::size_t max_edits) {
  std::vector<DiffRow> rows;
  std::size_t head = 0;
  while (head < old_lines.size() && head < new_lines.size() && old_lines[head] == new_lines[head])
    ++head;
  std::size_t tail = 0;
  while (tail < old_lines.size() - head && tail < new_lines.size() - head &&
         old_lines[old_lines.size() - 1 - tail] == new_lines[new_lines.size() - 1 - tail])
    ++tail;
  for (std::size_t i = 0; i < head; ++i) rows.push_back({LineKind::same, i + 1, i + 1, i});
  const std::size_t a1 = old_lines.size() - tail, b1 = new_lines.size() - tail;
  if (!myers(old_lines, head, a1, new_lines, head, b1, max_edits, rows)) {
    for (std::size_t i = head; i < a1; ++i) rows.push_back({LineKind::removed, i + 1, 0, i});
    for (std::size_t j = head; j < b1; ++j) rows.push_back({LineKind::added, 0, j + 1, j});
  }
  for (std::size_t t = tail; t > 0; --t) {
    const std::size_t i = old_lines.size() - t, j = new_lines.size() - t;
    rows.push_back({LineKind::same, i + 1, j + 1, i});
  }
  return rows;
}

std::vector<DiffRow> hunks(const std::vector<DiffRow>& rows, std::size_t context) {
  // Distance of every row to the nearest change, in rows.
  const std::size_t n = rows.size(), far = SIZE_MAX / 2;
  std::vector<std::size_t> distance(n, far);
  std::size_t last = far;
  for (std::size_t i = 0; i < n; ++i) {
    if (rows[i].kind != LineKind::same) last = i;
    if (last != far) distance[i] = i - last;
  }
  last = far;
  for (std::size_t i = n; i-- > 0;) {
    if (rows[i].kind != LineKind::same) last = i;
    if (last != far) distance[i] = std::min(distance[i], last - i);
  }
  std::vector<DiffRow> out;
  bool gap = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (distance[i] <= context) {
      if (gap) out.push_back({LineKind::gap, 0, 0, 0});
      gap = false;
      out.push_back(rows[i]);
    } else {
      gap = true;
    }
  }
  if (gap) out.push_back({LineKind::gap, 0, 0, 0});
  return out;
}

}  // namespace zuv::text
