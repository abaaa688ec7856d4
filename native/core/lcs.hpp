// Longest-common-subsequence tables and the backtrack that jsondiff's list
// difference takes through them.  Pure algorithms: the elements are seen
// only through callbacks.
//
// Both tables follow jsondiff's recurrence
//     C[i][j] = max(C[i][j-1], C[i-1][j], C[i-1][j-1] + s(X[i-1], Y[j-1]))
// and its backtrack from (m, n):
//     match   when s > 0 and C[i][j] == C[i-1][j-1] + s,
//     insert  Y[j-1] when i == 0 or C[i][j-1] >= C[i-1][j],
//     delete  X[i-1] otherwise.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/raw_vector.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zuv::lcs {

// ---------------------------------------------------------------------------
// Similarities of 0 or 1 only: C holds integers, kept bit-parallel.
//
// Row i is a bit vector over the columns: bit j is clear exactly when
// C[i][j+1] = C[i][j] + 1 (Allison-Dix / Hyyrö); row 0 is all ones.
// `fill(i, mask)` sets, in a cleared mask, the bit of every column j whose
// element equals row element i; it returns -1 on failure (an exception is
// pending), 0 when it set no bit, 1 otherwise.  The mask is cleared again by
// `advance`.
// `equal(i, j)` tells the same for one pair: -1, 0 or 1.

using Word = std::uint64_t;
constexpr std::size_t kWordBits = 64;

inline std::size_t words_for(std::size_t columns) { return (columns + kWordBits - 1) / kWordBits; }

// Computes the next row from `row` and the match mask of its element, and
// clears the mask for the next use.
inline void advance(const Word* row, Word* match, Word* next, std::size_t words) {
#if defined(__x86_64__)
  unsigned char carry = 0;
  for (std::size_t w = 0; w < words; ++w) {
    const Word v = row[w];
    const Word u = v & match[w];
    unsigned long long sum;
    carry = _addcarry_u64(carry, v, u, &sum);
    next[w] = static_cast<Word>(sum) | (v & ~u);
    match[w] = 0;
  }
#else
  Word carry = 0;
  for (std::size_t w = 0; w < words; ++w) {
    const Word v = row[w];
    const Word u = v & match[w];
    const Word sum = v + u;
    const Word carried = sum + carry;
    carry = static_cast<Word>(sum < v) | static_cast<Word>(carried < carry);
    next[w] = carried | (v & ~u);
    match[w] = 0;
  }
#endif
}

// The set bits of `count` words (the processor's popcount where it has one).
std::size_t count_ones(const Word* words, std::size_t count);

// A stored row, or the stored window of one: words `first` .. `first` +
// `count` of row i, and `base` = C[i][64 * first], the clear bits before them.
struct RowView {
  const Word* words;
  std::size_t first;
  std::size_t count;
  std::size_t base;

  // Whether score(j) and rise(j - 1) read only stored bits; j >= 1.
  bool serves(std::size_t j) const {
    return j - 1 >= first * kWordBits && j <= (first + count) * kWordBits;
  }
  // C[i][j].
  std::size_t score(std::size_t j) const {
    const std::size_t span = j - first * kWordBits;
    const std::size_t full = span / kWordBits;
    std::size_t ones = count_ones(words, full);
    if (const std::size_t rest = span % kWordBits)
      ones += static_cast<std::size_t>(std::popcount(words[full] & ((Word{1} << rest) - 1)));
    return base + span - ones;
  }
  // C[i][j+1] - C[i][j].
  std::size_t rise(std::size_t j) const {
    const std::size_t k = j - first * kWordBits;
    return static_cast<std::size_t>(((words[k / kWordBits] >> (k % kWordBits)) & 1u) ^ 1u);
  }
};

// The LCS length C[m][n]; false on failure of `fill`.
template <typename Fill>
bool length(std::size_t m, std::size_t n, Fill&& fill, std::size_t& result) {
  const std::size_t words = words_for(n);
  RawVector<Word> row(words, ~Word{0}), next(words), mask(words);
  for (std::size_t i = 0; i < m; ++i) {
    const int any = fill(i, mask.data());
    if (any < 0) return false;
    if (!any) continue;  // the row repeats the previous one
    advance(row.data(), mask.data(), next.data(), words);
    row.swap(next);
  }
  result = n - count_ones(row.data(), words) + (words * kWordBits - n);
  return true;
}

// What the backtrack does, as positions.
struct Script {
  RawVector<std::size_t> inserted;  // columns, in backtrack (descending) order
  RawVector<std::size_t> deleted;   // rows, in backtrack (descending) order
  std::size_t matches = 0;
};

// The backtrack over the integer table, given the LCS length `common`.
//
// Every cell on the backtrack's path lies on an optimal path, so its prefix
// distance i + j - 2 C[i][j] is at most D = m + n - 2 common, and |i - j| <= D.
// When the comparisons are `deterministic` (the same answers in every pass),
// only a band of each row around the diagonal is kept.  Otherwise, or when
// the band does not fit in `budget` bytes, whole rows are kept: all of them if
// they fit, else every `block`-th one, the rows of one block at a time being
// computed again while the backtrack walks through it.
template <typename Fill, typename Equal>
bool backtrack(std::size_t m, std::size_t n, std::size_t common, bool deterministic, Fill&& fill,
               Equal&& equal, Script& script, std::size_t budget = std::size_t{64} << 20) {
  if (m == 0 || n == 0) {
    for (std::size_t j = n; j > 0; --j) script.inserted.push_back(j - 1);
    for (std::size_t i = m; i > 0; --i) script.deleted.push_back(i - 1);
    return true;
  }
  const std::size_t words = words_for(n);
  const std::size_t row_bytes = words * sizeof(Word);
  RawVector<Word> mask(words);
  // Row after `from`, for row element `element`.
  auto next_row = [&](std::size_t element, const Word* from, Word* to) -> bool {
    const int any = fill(element, mask.data());
    if (any < 0) return false;
    if (any)
      advance(from, mask.data(), to, words);
    else
      std::memcpy(to, from, row_bytes);
    return true;
  };

  // Band of row r: columns [r - reach, r + reach).
  const std::size_t reach = (m + n - 2 * common) + 2;
  auto band_first = [&](std::size_t r) { return (r > reach ? r - reach : 0) / kWordBits; };
  auto band_end = [&](std::size_t r) { return words_for(std::min(n, r + reach)); };
  std::size_t band_words = 0;
  if (deterministic)
    for (std::size_t r = 0; r <= m; ++r) band_words += band_end(r) - band_first(r);
  const bool banded = deterministic && band_words <= budget / sizeof(Word);

  // Whole rows: the rows of the loaded block, rows[r] being row
  // loaded * block + r, and every block-th row.
  std::size_t block = m;
  if (!banded && (m + 1) > budget / row_bytes)
    block = std::max<std::size_t>(1, static_cast<std::size_t>(std::sqrt(static_cast<double>(m))));
  RawVector<Word> rows(banded ? 0 : (std::min(block, m) + 1) * words);
  RawVector<Word> kept(banded || block == m ? 0 : (m / block + 1) * words);
  std::size_t loaded = 0;
  // Bands: row r is band[offset[r] ...], starting at word first[r].
  RawVector<Word> band(banded ? band_words : 0);
  RawVector<std::size_t> offset(banded ? m + 2 : 0), band_base(banded ? m + 1 : 0);

  {
    RawVector<Word> row(words, ~Word{0}), spare(words);
    auto keep = [&](std::size_t r, const Word* full) {
      if (banded) {
        const std::size_t first = band_first(r), count = band_end(r) - first;
        std::memcpy(&band[offset[r]], full + first, count * sizeof(Word));
        band_base[r] = first * kWordBits - count_ones(full, first);
        offset[r + 1] = offset[r] + count;
      } else if (block == m) {
        std::memcpy(&rows[r * words], full, row_bytes);
      } else if (r % block == 0) {
        std::memcpy(&kept[(r / block) * words], full, row_bytes);
      }
    };
    keep(0, row.data());
    for (std::size_t r = 1; r <= m; ++r) {
      if (!next_row(r - 1, row.data(), spare.data())) return false;
      row.swap(spare);
      keep(r, row.data());
    }
  }
  if (!banded && block != m) loaded = SIZE_MAX;

  // Makes rows i - 1 and i available; i >= 1.
  auto load = [&](std::size_t i) -> bool {
    if (banded) return true;
    const std::size_t wanted = (i - 1) / block;
    if (wanted == loaded) return true;
    const std::size_t first = wanted * block;
    const std::size_t count = std::min(block, m - first);
    std::memcpy(rows.data(), &kept[wanted * words], row_bytes);
    for (std::size_t r = 1; r <= count; ++r)
      if (!next_row(first + r - 1, &rows[(r - 1) * words], &rows[r * words])) return false;
    loaded = wanted;
    return true;
  };
  auto row = [&](std::size_t i) -> RowView {
    if (banded)
      return {&band[offset[i]], band_first(i), offset[i + 1] - offset[i], band_base[i]};
    return {&rows[(i - loaded * block) * words], 0, words, 0};
  };
  // A path leaving the band means the comparisons were not deterministic.
  auto inconsistent = [] {
    PyErr_SetString(PyExc_RuntimeError, "list elements compared inconsistently");
    return false;
  };

  std::size_t i = m, j = n;
  if (!load(i)) return false;
  if (!row(i).serves(j) || !row(i - 1).serves(j)) return inconsistent();
  std::size_t here = row(i).score(j);  // C[i][j]
  std::size_t up = row(i - 1).score(j);  // C[i-1][j]
  while (i > 0 && j > 0) {
    const RowView current = row(i), above = row(i - 1);
    if (!current.serves(j) || !above.serves(j)) return inconsistent();
    const int same = equal(i - 1, j - 1);
    if (same < 0) return false;
    if (same) {
      const std::size_t diagonal = up - above.rise(j - 1);
      if (here == diagonal + 1) {
        ++script.matches;
        --i;
        --j;
        here = diagonal;
        if (i > 0 && j > 0) {
          if (!load(i)) return false;
          if (!row(i - 1).serves(j)) return inconsistent();
          up = row(i - 1).score(j);
        }
        continue;
      }
    }
    const std::size_t left = here - current.rise(j - 1);
    if (left >= up) {
      script.inserted.push_back(j - 1);
      up -= above.rise(j - 1);
      here = left;
      --j;
      continue;
    }
    script.deleted.push_back(i - 1);
    here = up;
    --i;
    if (i > 0 && j > 0) {
      if (!load(i)) return false;
      if (!row(i - 1).serves(j)) return inconsistent();
      up = row(i - 1).score(j);
    }
  }
  for (; j > 0; --j) script.inserted.push_back(j - 1);
  for (; i > 0; --i) script.deleted.push_back(i - 1);
  return true;
}

// ---------------------------------------------------------------------------
// Fractional similarities: jsondiff's own floating-point table, evaluated in
// the same order with the same operations, so every comparison of the
// backtrack comes out the same.  `similarity` is m x n, row-major; `table` is
// (m+1) x (n+1).

inline void weighted_table(std::size_t m, std::size_t n, const double* similarity, double* table) {
  const std::size_t stride = n + 1;
  std::fill(table, table + stride, 0.0);
  for (std::size_t i = 1; i <= m; ++i) {
    double* row = table + i * stride;
    const double* above = row - stride;
    const double* s = similarity + (i - 1) * n;
    row[0] = 0.0;
    for (std::size_t j = 1; j <= n; ++j) {
      const double diagonal = above[j - 1] + s[j - 1];
      row[j] = std::max(std::max(row[j - 1], above[j]), diagonal);
    }
  }
}

enum class Move : std::uint8_t { match, insert, remove };

struct Step {
  Move move;
  std::size_t row;     // X position (match, remove)
  std::size_t column;  // Y position (match, insert)
};

// The steps in backtrack order (from the end of both lists).
inline void weighted_backtrack(std::size_t m, std::size_t n, const double* similarity,
                               const double* table, RawVector<Step>& steps) {
  const std::size_t stride = n + 1;
  auto c = [&](std::size_t i, std::size_t j) { return table[i * stride + j]; };
  std::size_t i = m, j = n;
  for (;;) {
    if (i > 0 && j > 0) {
      const double s = similarity[(i - 1) * n + (j - 1)];
      if (s > 0 && c(i, j) == c(i - 1, j - 1) + s) {
        steps.push_back({Move::match, i - 1, j - 1});
        --i;
        --j;
        continue;
      }
    }
    if (j > 0 && (i == 0 || c(i, j - 1) >= c(i - 1, j))) {
      steps.push_back({Move::insert, 0, j - 1});
      --j;
      continue;
    }
    if (i > 0 && (j == 0 || c(i, j - 1) < c(i - 1, j))) {
      steps.push_back({Move::remove, i - 1, 0});
      --i;
      continue;
    }
    return;
  }
}

}  // namespace zuv::lcs
