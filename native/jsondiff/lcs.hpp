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

#include "jsondiff/raw_vector.hpp"

namespace zuv::lcs {

// ---------------------------------------------------------------------------
// Similarities of 0 or 1 only: C holds integers, kept bit-parallel.
//
// Row i is a bit vector over the columns: bit j is clear exactly when
// C[i][j+1] = C[i][j] + 1 (Allison-Dix / Hyyrö); row 0 is all ones.
// `fill(i, mask)` sets, in a cleared mask, the bit of every column j whose
// element equals row element i, and says through `any` whether it set one;
// it returns false on failure (an exception is pending).  The mask is cleared
// again by `advance`.
// `equal(i, j, answer)` tells the same for one pair, false on failure.

using Word = std::uint64_t;
constexpr std::size_t kWordBits = 64;

inline std::size_t words_for(std::size_t columns) { return (columns + kWordBits - 1) / kWordBits; }

// Computes the next row from `row` and the match mask of its element, and
// clears the mask for the next use.
inline void advance(const Word* row, Word* match, Word* next, std::size_t words) {
#if defined(__x86_64__) && defined(__GNUC__)
  // One add-with-carry per word.  Written out because the intrinsic takes
  // the sum's address, and depending on what surrounds the inlined loop the
  // compiler then reloads it from the stack in every iteration (~20% of a
  // long list comparison).
  unsigned char carry = 0;
  for (std::size_t w = 0; w < words; ++w) {
    const Word v = row[w];
    const Word u = v & match[w];
    Word sum = v;
    asm("addb $0xff, %1\n\tadcq %2, %0\n\tsetc %1" : "+r"(sum), "+q"(carry) : "r"(u) : "cc");
    next[w] = sum | (v & ~u);
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
    bool any = false;
    if (!fill(i, mask.data(), any)) return false;
    if (!any) continue;  // the row repeats the previous one
    advance(row.data(), mask.data(), next.data(), words);
    row.swap(next);
  }
  result = n - count_ones(row.data(), words) + (words * kWordBits - n);
  return true;
}

// A lower bound on the LCS length of two sequences of class ids (ids from
// `distinct` on match nothing): a common subsequence found greedily, each
// mismatch resolved by skipping to the nearer next occurrence.
std::size_t greedy_common(const std::uint32_t* x, std::size_t m, const std::uint32_t* y,
                          std::size_t n, std::uint32_t distinct);

// What the backtrack does, as positions.
struct Script {
  RawVector<std::size_t> inserted;  // columns, in backtrack (descending) order
  RawVector<std::size_t> deleted;   // rows, in backtrack (descending) order
  std::size_t matches = 0;
};

// The integer table, kept for jsondiff's backtrack.
//
// Every cell on the backtrack's path lies on an optimal path, so its prefix
// distance i + j - 2 C[i][j] is at most D = m + n - 2 C[m][n], and
// |i - j| <= D.  When the comparisons are `deterministic` (the same answers
// in every pass), only a band of each row around the diagonal is kept, sized
// from a lower bound of C[m][n] so that one pass suffices.  Otherwise, or when
// the band does not fit in `budget` bytes, whole rows are kept: all of them if
// they fit, else every `block`-th one, the rows of one block at a time being
// computed again while the backtrack walks through it.
template <typename Fill>
class BitTable {
 public:
  BitTable(std::size_t m, std::size_t n, Fill& fill, bool deterministic,
           std::size_t budget = std::size_t{64} << 20)
      : m_(m),
        n_(n),
        words_(words_for(n)),
        fill_(fill),
        deterministic_(deterministic),
        budget_(budget),
        mask_(words_) {}

  // Computes C[m][n] into `common` and keeps the rows for `backtrack`, unless
  // `needed(common)` says no backtrack will follow.  `bound` is a lower bound
  // of C[m][n].
  template <typename Needed>
  bool keep(std::size_t bound, Needed&& needed, std::size_t& common) {
    if (m_ == 0 || n_ == 0) {
      common = 0;
      return true;
    }
    if (deterministic_ && fits_band(m_ + n_ - 2 * bound + 2)) return forward(common);
    if (!length(m_, n_, fill_, common)) return false;
    if (!needed(common)) return true;
    if (!deterministic_ || !fits_band(m_ + n_ - 2 * common + 2)) choose_rows();
    return forward(common);
  }

  template <typename Equal>
  bool backtrack(Equal&& equal, Script& script);

 private:
  // Row after `from`, for row element `element`.
  bool next_row(std::size_t element, const Word* from, Word* to) {
    bool any = false;
    if (!fill_(element, mask_.data(), any)) return false;
    if (any)
      advance(from, mask_.data(), to, words_);
    else
      std::memcpy(to, from, words_ * sizeof(Word));
    return true;
  }

  // Band of row r: columns [r - reach, r + reach), as words.
  std::size_t band_first(std::size_t r) const { return (r > reach_ ? r - reach_ : 0) / kWordBits; }
  std::size_t band_end(std::size_t r) const { return words_for(std::min(n_, r + reach_)); }

  bool fits_band(std::size_t reach) {
    reach_ = reach;
    std::size_t total = 0;
    for (std::size_t r = 0; r <= m_; ++r) total += band_end(r) - band_first(r);
    banded_ = total <= budget_ / sizeof(Word);
    if (banded_) {
      band_.resize(total);
      offset_.assign(m_ + 2, 0);
      band_base_.resize(m_ + 1);
    }
    return banded_;
  }

  void choose_rows() {
    banded_ = false;
    block_ = m_;
    if (m_ + 1 > budget_ / (words_ * sizeof(Word)))
      block_ =
          std::max<std::size_t>(1, static_cast<std::size_t>(std::sqrt(static_cast<double>(m_))));
    rows_.resize((std::min(block_, m_) + 1) * words_);
    if (block_ != m_) kept_.resize((m_ / block_ + 1) * words_);
    loaded_ = block_ == m_ ? 0 : SIZE_MAX;
  }

  void keep_row(std::size_t r, const Word* full) {
    if (banded_) {
      const std::size_t first = band_first(r), count = band_end(r) - first;
      std::memcpy(&band_[offset_[r]], full + first, count * sizeof(Word));
      band_base_[r] = first * kWordBits - count_ones(full, first);
      offset_[r + 1] = offset_[r] + count;
    } else if (block_ == m_) {
      std::memcpy(&rows_[r * words_], full, words_ * sizeof(Word));
    } else if (r % block_ == 0) {
      std::memcpy(&kept_[(r / block_) * words_], full, words_ * sizeof(Word));
    }
  }

  bool forward(std::size_t& common) {
    RawVector<Word> row(words_, ~Word{0}), spare(words_);
    keep_row(0, row.data());
    for (std::size_t r = 1; r <= m_; ++r) {
      if (!next_row(r - 1, row.data(), spare.data())) return false;
      row.swap(spare);
      keep_row(r, row.data());
    }
    common = n_ - count_ones(row.data(), words_) + (words_ * kWordBits - n_);
    return true;
  }

  // Makes rows i - 1 and i available; i >= 1.
  bool load(std::size_t i) {
    if (banded_) return true;
    const std::size_t wanted = (i - 1) / block_;
    if (wanted == loaded_) return true;
    const std::size_t first = wanted * block_;
    const std::size_t count = std::min(block_, m_ - first);
    std::memcpy(rows_.data(), &kept_[wanted * words_], words_ * sizeof(Word));
    for (std::size_t r = 1; r <= count; ++r)
      if (!next_row(first + r - 1, &rows_[(r - 1) * words_], &rows_[r * words_])) return false;
    loaded_ = wanted;
    return true;
  }

  RowView row(std::size_t i) const {
    if (banded_)
      return {&band_[offset_[i]], band_first(i), offset_[i + 1] - offset_[i], band_base_[i]};
    return {&rows_[(i - loaded_ * block_) * words_], 0, words_, 0};
  }

  const std::size_t m_, n_, words_;
  Fill& fill_;
  const bool deterministic_;
  const std::size_t budget_;
  RawVector<Word> mask_;
  bool banded_ = false;
  // Bands: row r is band_[offset_[r] ...], starting at word band_first(r).
  std::size_t reach_ = 0;
  RawVector<Word> band_;
  RawVector<std::size_t> offset_, band_base_;
  // Whole rows: rows_ holds rows loaded_ * block_ + 0 .. block_; kept_ every
  // block_-th row.
  std::size_t block_ = 0, loaded_ = 0;
  RawVector<Word> rows_, kept_;
};

template <typename Fill>
template <typename Equal>
bool BitTable<Fill>::backtrack(Equal&& equal, Script& script) {
  std::size_t i = m_, j = n_;
  // A path leaving the band means the comparisons were not deterministic.
  auto inconsistent = [] {
    PyErr_SetString(PyExc_RuntimeError, "list elements compared inconsistently");
    return false;
  };
  if (i > 0 && j > 0) {
    if (!load(i)) return false;
    if (!row(i).serves(j) || !row(i - 1).serves(j)) return inconsistent();
  }
  std::size_t here = i && j ? row(i).score(j) : 0;    // C[i][j]
  std::size_t up = i && j ? row(i - 1).score(j) : 0;  // C[i-1][j]
  while (i > 0 && j > 0) {
    const RowView current = row(i), above = row(i - 1);
    if (!current.serves(j) || !above.serves(j)) return inconsistent();
    bool same = false;
    if (!equal(i - 1, j - 1, same)) return false;
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
