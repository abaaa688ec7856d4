#include "jsondiff/lcs.hpp"

namespace zuv::lcs {

// Counting the bits of stored rows is a large part of the backtrack; use the
// processor's popcount instruction where there is one.
__attribute__((target_clones("popcnt", "default"))) std::size_t count_ones(const Word* words,
                                                                           std::size_t count) {
  std::size_t ones = 0;
  for (std::size_t w = 0; w < count; ++w) ones += static_cast<std::size_t>(std::popcount(words[w]));
  return ones;
}

std::size_t greedy_common(const std::uint32_t* x, std::size_t m, const std::uint32_t* y,
                          std::size_t n, std::uint32_t distinct) {
  // For each side: the next position of the same class, and a cursor per
  // class at its first position not behind the walk (cursors only advance).
  auto chains = [distinct](const std::uint32_t* seq, std::size_t size, RawVector<std::size_t>& next,
                           RawVector<std::size_t>& cursor) {
    next.assign(size, size);
    cursor.assign(distinct, size);
    for (std::size_t k = size; k-- > 0;) {
      if (seq[k] >= distinct) continue;
      next[k] = cursor[seq[k]];
      cursor[seq[k]] = k;
    }
  };
  RawVector<std::size_t> next_x, cursor_x, next_y, cursor_y;
  chains(x, m, next_x, cursor_x);
  chains(y, n, next_y, cursor_y);
  auto find = [](std::uint32_t c, std::size_t from, const RawVector<std::size_t>& next,
                 RawVector<std::size_t>& cursor) {
    std::size_t& at = cursor[c];
    while (at < next.size() && at < from) at = next[at];
    return at;
  };
  std::size_t common = 0, i = 0, j = 0;
  while (i < m && j < n) {
    if (x[i] == y[j] && x[i] < distinct) {
      ++common;
      ++i;
      ++j;
      continue;
    }
    const std::size_t in_y = x[i] < distinct ? find(x[i], j, next_y, cursor_y) : n;
    const std::size_t in_x = y[j] < distinct ? find(y[j], i, next_x, cursor_x) : m;
    if (in_y == n && in_x == m) {
      ++i;
      ++j;
    } else if (in_x == m || (in_y != n && in_y - j <= in_x - i)) {
      j = in_y;
    } else {
      i = in_x;
    }
  }
  return common;
}

}  // namespace zuv::lcs
