#include "zuv/text/line_edits.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zuv::text {

namespace {

using Lines = LineViews;
using Index = std::ptrdiff_t;
constexpr std::size_t kNoMatch = SIZE_MAX;

// A line's hash, eight bytes a step and mixed at the end (the mix of
// MurmurHash3's finaliser): the table below takes both halves of it.
std::uint64_t line_hash(std::string_view text) {
  constexpr std::uint64_t kStep = 0x9e3779b97f4a7c15;
  std::uint64_t hash = text.size() * kStep, word = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::memcpy(&word, text.data() + i, 8);
    hash = std::rotl(hash ^ word, 29) * kStep;
  }
  word = 0;
  if (i < text.size()) std::memcpy(&word, text.data() + i, text.size() - i);
  hash ^= word;
  hash = (hash ^ (hash >> 33)) * 0xff51afd7ed558ccd;
  hash = (hash ^ (hash >> 33)) * 0xc4ceb9fe1a85ec53;
  return hash ^ (hash >> 33);
}

// Each distinct line text as a small number, and how often each number
// occurs on each side.  An open-addressing table whose slots keep part of
// the hash beside the number: most lookups touch one slot and one text.
struct Interned {
  std::vector<std::uint32_t> old_ids, new_ids;
  std::vector<std::uint32_t> old_count, new_count;
};

Interned intern(const Lines& old_lines, const Lines& new_lines) {
  struct Slot {
    std::uint32_t id = UINT32_MAX;  // UINT32_MAX: empty
    std::uint32_t hash = 0;
  };
  std::size_t capacity = 16;
  while (capacity < 2 * (old_lines.size() + new_lines.size())) capacity *= 2;
  std::vector<Slot> slots(capacity);
  std::vector<std::string_view> texts;
  Interned out;
  auto add = [&](const Lines& lines, std::vector<std::uint32_t>& to, bool old_side) {
    to.reserve(lines.size());
    for (const std::string_view line : lines) {
      const std::string_view text = without_line_end(line);
      const std::uint64_t hash = line_hash(text);
      const auto tag = static_cast<std::uint32_t>(hash >> 32);
      std::size_t at = hash & (capacity - 1);
      while (slots[at].id != UINT32_MAX && (slots[at].hash != tag || texts[slots[at].id] != text))
        at = (at + 1) & (capacity - 1);
      if (slots[at].id == UINT32_MAX) {
        slots[at] = {static_cast<std::uint32_t>(texts.size()), tag};
        texts.push_back(text);
        out.old_count.push_back(0), out.new_count.push_back(0);
      }
      const std::uint32_t id = slots[at].id;
      ++(old_side ? out.old_count : out.new_count)[id];
      to.push_back(id);
    }
  };
  add(old_lines, out.old_ids, true);
  add(new_lines, out.new_ids, false);
  return out;
}

// Myers' search, linear-space form, over two sequences of line numbers.
// `match[i]` receives the index in `b` of the line of `a` it is kept with.
class Matcher {
 public:
  Matcher(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b,
          std::vector<std::size_t>& match)
      : a_(a), b_(b), match_(match) {
    const std::size_t diagonals = a.size() + b.size() + 3;
    forward_.assign(diagonals, 0);
    backward_.assign(diagonals, 0);
    offset_ = static_cast<Index>(b.size()) + 1;
    // The bound on the rounds of one split: about the square root of the
    // number of diagonals, and never below 256.
    bound_ = std::max<Index>(256, static_cast<Index>(std::sqrt(static_cast<double>(diagonals))));
  }

  // Explicit work list: no recursion, whatever the input.
  void run() {
    struct Range {
      Index a0, a1, b0, b1;
    };
    std::vector<Range> work{{0, static_cast<Index>(a_.size()), 0, static_cast<Index>(b_.size())}};
    while (!work.empty()) {
      Range r = work.back();
      work.pop_back();
      while (r.a0 < r.a1 && r.b0 < r.b1 && a_[r.a0] == b_[r.b0]) keep(r.a0++, r.b0++);
      while (r.a0 < r.a1 && r.b0 < r.b1 && a_[r.a1 - 1] == b_[r.b1 - 1]) keep(--r.a1, --r.b1);
      if (r.a0 == r.a1 || r.b0 == r.b1) continue;  // only removals or only additions
      Index x = 0, y = 0;
      split(r.a0, r.a1, r.b0, r.b1, x, y);
      // Each part must be smaller than the whole; else leave the range
      // unmatched, which is still a correct script.
      if (x + y <= r.a0 + r.b0 || x + y >= r.a1 + r.b1) continue;
      work.push_back({r.a0, x, r.b0, y});
      work.push_back({x, r.a1, y, r.b1});
    }
  }

 private:
  void keep(Index i, Index j) { match_[static_cast<std::size_t>(i)] = static_cast<std::size_t>(j); }
  Index& f(Index k) { return forward_[static_cast<std::size_t>(k + offset_)]; }
  Index& r(Index k) { return backward_[static_cast<std::size_t>(k + offset_)]; }

  // A point (x, y) the shortest edit path of the range passes through,
  // found by searching from both ends at once; diagonals are k = x - y.
  void split(Index a0, Index a1, Index b0, Index b1, Index& x, Index& y) {
    const Index low = a0 - b1, high = a1 - b0;
    const Index fmid = a0 - b0, bmid = a1 - b1;
    const bool odd = ((fmid - bmid) & 1) != 0;
    Index fmin = fmid, fmax = fmid, bmin = bmid, bmax = bmid;
    f(fmid) = a0;
    r(bmid) = a1;
    for (Index round = 1;; ++round) {
      // One more edit forwards.
      if (fmin > low)
        f(--fmin - 1) = -1;
      else
        ++fmin;
      if (fmax < high)
        f(++fmax + 1) = -1;
      else
        --fmax;
      for (Index k = fmax; k >= fmin; k -= 2) {
        Index i = f(k - 1) >= f(k + 1) ? f(k - 1) + 1 : f(k + 1);
        Index j = i - k;
        while (i < a1 && j < b1 && a_[i] == b_[j]) ++i, ++j;
        f(k) = i;
        if (odd && bmin <= k && k <= bmax && r(k) <= i) {
          x = i, y = j;
          return;
        }
      }
      // One more edit backwards.
      if (bmin > low)
        r(--bmin - 1) = PTRDIFF_MAX;
      else
        ++bmin;
      if (bmax < high)
        r(++bmax + 1) = PTRDIFF_MAX;
      else
        --bmax;
      for (Index k = bmax; k >= bmin; k -= 2) {
        Index i = r(k - 1) < r(k + 1) ? r(k - 1) : r(k + 1) - 1;
        Index j = i - k;
        while (i > a0 && j > b0 && a_[i - 1] == b_[j - 1]) --i, --j;
        r(k) = i;
        if (!odd && fmin <= k && k <= fmax && i <= f(k)) {
          x = i, y = j;
          return;
        }
      }
      if (round < bound_) continue;
      // Too costly: split where a search got furthest from its start.
      Index fbest = -1, fx = a0;
      for (Index k = fmax; k >= fmin; k -= 2) {
        Index i = std::min(f(k), a1), j = i - k;
        if (j > b1) i = b1 + k, j = b1;
        if (i + j > fbest) fbest = i + j, fx = i;
      }
      Index bbest = PTRDIFF_MAX, bx = a1;
      for (Index k = bmax; k >= bmin; k -= 2) {
        Index i = std::max(a0, r(k)), j = i - k;
        if (j < b0) i = b0 + k, j = b0;
        if (i + j < bbest) bbest = i + j, bx = i;
      }
      if ((a1 + b1) - bbest < fbest - (a0 + b0)) {
        x = fx, y = fbest - fx;
      } else {
        x = bx, y = bbest - bx;
      }
      return;
    }
  }

  const std::vector<std::uint32_t>& a_;
  const std::vector<std::uint32_t>& b_;
  std::vector<std::size_t>& match_;
  std::vector<Index> forward_, backward_;
  Index offset_ = 0, bound_ = 256;
};

}  // namespace

std::vector<DiffRow> diff_lines(LineViews old_lines, LineViews new_lines) {
  const Interned lines = intern(old_lines, new_lines);
  // Only lines found on both sides can be kept: search among those.
  std::vector<std::uint32_t> a, b;
  std::vector<std::size_t> a_at, b_at;  // their places in the whole texts
  for (std::size_t i = 0; i < lines.old_ids.size(); ++i)
    if (lines.new_count[lines.old_ids[i]] > 0) a.push_back(lines.old_ids[i]), a_at.push_back(i);
  for (std::size_t j = 0; j < lines.new_ids.size(); ++j)
    if (lines.old_count[lines.new_ids[j]] > 0) b.push_back(lines.new_ids[j]), b_at.push_back(j);
  std::vector<std::size_t> match(a.size(), kNoMatch);
  Matcher(a, b, match).run();

  std::vector<DiffRow> rows;
  rows.reserve(old_lines.size() + new_lines.size());
  std::size_t i = 0, j = 0;
  auto advance_to = [&](std::size_t old_end, std::size_t new_end) {
    for (; i < old_end; ++i) rows.push_back({LineKind::removed, i + 1, 0, i});
    for (; j < new_end; ++j) rows.push_back({LineKind::added, 0, j + 1, j});
  };
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (match[k] == kNoMatch) continue;
    advance_to(a_at[k], b_at[match[k]]);
    rows.push_back({LineKind::same, i + 1, j + 1, i});
    ++i, ++j;
  }
  advance_to(old_lines.size(), new_lines.size());
  return rows;
}

std::vector<DiffRow> diff_lines(const std::vector<std::string>& old_lines,
                                const std::vector<std::string>& new_lines) {
  const std::vector<std::string_view> old_views(old_lines.begin(), old_lines.end());
  const std::vector<std::string_view> new_views(new_lines.begin(), new_lines.end());
  return diff_lines(LineViews(old_views), LineViews(new_views));
}

std::vector<Hunk> group(const std::vector<DiffRow>& rows, std::size_t context) {
  // A row is shown when it is a change or within `context` rows of one.
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
  std::vector<Hunk> out;
  std::size_t old_before = 0, new_before = 0;  // lines of each side before row i
  for (std::size_t i = 0; i < n; ++i) {
    if (distance[i] <= context) {
      if (out.empty() || out.back().end != i)
        out.push_back({i, i, old_before + 1, 0, new_before + 1, 0});
      Hunk& h = out.back();
      h.end = i + 1;
      h.old_count += rows[i].kind != LineKind::added;
      h.new_count += rows[i].kind != LineKind::removed;
    }
    old_before += rows[i].kind != LineKind::added;
    new_before += rows[i].kind != LineKind::removed;
  }
  for (Hunk& h : out) {
    if (h.old_count == 0) --h.old_start;
    if (h.new_count == 0) --h.new_start;
  }
  return out;
}

std::vector<DiffRow> hunks(const std::vector<DiffRow>& rows, std::size_t context) {
  std::vector<DiffRow> out;
  std::size_t shown_to = 0;
  for (const Hunk& h : group(rows, context)) {
    if (h.begin > shown_to) out.push_back({LineKind::gap, 0, 0, 0});
    out.insert(out.end(), rows.begin() + static_cast<std::ptrdiff_t>(h.begin),
               rows.begin() + static_cast<std::ptrdiff_t>(h.end));
    shown_to = h.end;
  }
  if (!out.empty() && shown_to < rows.size()) out.push_back({LineKind::gap, 0, 0, 0});
  return out;
}

std::string_view without_line_end(std::string_view line) {
  if (line.ends_with("\r\n"))
    line.remove_suffix(2);
  else if (line.ends_with('\n') || line.ends_with('\r'))
    line.remove_suffix(1);
  return line;
}

}  // namespace zuv::text
