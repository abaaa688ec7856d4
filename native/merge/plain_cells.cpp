#include "merge/plain_cells.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>

namespace merge::plain {

namespace {

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

// The longest common subsequence table is built only up to this many
// entries; beyond it the middle holds no anchors.
constexpr std::size_t kMaxTable = std::size_t{1} << 24;

// Pairs of equal elements of a[a0, a1) and b[b0, b1) on a longest common
// subsequence, in order.
void lcs_pairs(const std::vector<int>& a, const std::vector<int>& b, std::size_t a0, std::size_t a1,
               std::size_t b0, std::size_t b1,
               std::vector<std::pair<std::size_t, std::size_t>>& out) {
  const std::size_t m = a1 - a0, n = b1 - b0;
  if (m == 0 || n == 0 || (m + 1) * (n + 1) > kMaxTable) return;
  std::vector<std::uint32_t> table((m + 1) * (n + 1), 0);
  auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& { return table[i * (n + 1) + j]; };
  for (std::size_t i = m; i-- > 0;)
    for (std::size_t j = n; j-- > 0;)
      at(i, j) =
          a[a0 + i] == b[b0 + j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
  std::size_t i = 0, j = 0;
  while (i < m && j < n) {
    if (a[a0 + i] == b[b0 + j]) {
      out.emplace_back(a0 + i, b0 + j);
      ++i;
      ++j;
    } else if (at(i + 1, j) >= at(i, j + 1)) {
      ++i;
    } else {
      ++j;
    }
  }
}

// Pairs the cells of one gap between anchors.
void pair_gap(const std::vector<CellText>& base, const std::vector<CellText>& side, std::size_t a0,
              std::size_t a1, std::size_t b0, std::size_t b1, std::vector<std::ptrdiff_t>& match) {
  if (a1 - a0 == b1 - b0) {
    for (std::size_t k = 0; a0 + k < a1; ++k) match[a0 + k] = static_cast<std::ptrdiff_t>(b0 + k);
    return;
  }
  if ((a1 - a0) * (b1 - b0) > kMaxTable) return;
  std::size_t next = b0;
  for (std::size_t i = a0; i < a1 && next < b1; ++i) {
    double best = kSimilarityThreshold;
    std::ptrdiff_t found = -1;
    for (std::size_t j = next; j < b1; ++j) {
      double score = similarity(base[i], side[j]);
      if (score > best || (found < 0 && score >= best)) {
        best = score;
        found = static_cast<std::ptrdiff_t>(j);
      }
    }
    if (found < 0) continue;
    match[i] = found;
    next = static_cast<std::size_t>(found) + 1;
  }
}

}  // namespace

double similarity(const CellText& a, const CellText& b) {
  std::vector<std::string_view> left = lines_of(a.source), right = lines_of(b.source);
  if (left.empty() && right.empty()) return 1.0;
  std::unordered_map<std::string_view, std::size_t> counts;
  for (std::string_view line : left) ++counts[line];
  std::size_t common = 0;
  for (std::string_view line : right) {
    auto found = counts.find(line);
    if (found != counts.end() && found->second > 0) {
      --found->second;
      ++common;
    }
  }
  return 2.0 * static_cast<double>(common) / static_cast<double>(left.size() + right.size());
}

std::vector<std::ptrdiff_t> align(const std::vector<CellText>& base,
                                  const std::vector<CellText>& side) {
  // Equal cells share a number.
  std::unordered_map<std::string, int> numbers;
  auto number = [&](const CellText& cell) {
    std::string key = cell.type;
    key.push_back('\0');
    key += cell.source;
    return numbers.emplace(std::move(key), static_cast<int>(numbers.size())).first->second;
  };
  std::vector<int> a, b;
  for (const CellText& cell : base) a.push_back(number(cell));
  for (const CellText& cell : side) b.push_back(number(cell));

  std::vector<std::pair<std::size_t, std::size_t>> anchors;
  std::size_t head = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head]) {
    anchors.emplace_back(head, head);
    ++head;
  }
  std::size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head &&
         a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
    ++tail;
  lcs_pairs(a, b, head, a.size() - tail, head, b.size() - tail, anchors);
  for (std::size_t k = tail; k-- > 0;) anchors.emplace_back(a.size() - 1 - k, b.size() - 1 - k);

  std::vector<std::ptrdiff_t> match(base.size(), -1);
  std::size_t a0 = 0, b0 = 0;
  for (const auto& [i, j] : anchors) {
    pair_gap(base, side, a0, i, b0, j, match);
    match[i] = static_cast<std::ptrdiff_t>(j);
    a0 = i + 1;
    b0 = j + 1;
  }
  pair_gap(base, side, a0, base.size(), b0, side.size(), match);
  return match;
}

// ---------------------------------------------------------------------------

namespace {

// A row matches when every fact it names agrees; `any` leaves a fact open.
enum class Is : std::uint8_t { no, yes, any };

struct CellRow {
  Is in_base, in_current, in_incoming, current_changed, incoming_changed, sides_equal;
  CellOutcome outcome;
};

constexpr Is Y = Is::yes, N = Is::no, A = Is::any;

// First matching row wins.
constexpr CellRow kCellRows[] = {
    // held by all three
    {Y, Y, Y, N, N, A, CellOutcome::keep_current},
    {Y, Y, Y, Y, N, A, CellOutcome::keep_current},
    {Y, Y, Y, N, Y, A, CellOutcome::take_incoming},
    {Y, Y, Y, Y, Y, Y, CellOutcome::keep_current},
    {Y, Y, Y, Y, Y, N, CellOutcome::merge_fields},
    // deleted on one side or both
    {Y, Y, N, N, A, A, CellOutcome::drop},
    {Y, Y, N, Y, A, A, CellOutcome::keep_current_changed_deleted},
    {Y, N, Y, A, N, A, CellOutcome::drop},
    {Y, N, Y, A, Y, A, CellOutcome::keep_incoming_changed_deleted},
    {Y, N, N, A, A, A, CellOutcome::drop},
    // added
    {N, Y, N, A, A, A, CellOutcome::add_current},
    {N, N, Y, A, A, A, CellOutcome::add_incoming},
    {N, Y, Y, A, A, Y, CellOutcome::add_current},
    {N, Y, Y, A, A, N, CellOutcome::add_both_marked},
};

bool fits(Is pattern, bool fact) { return pattern == Is::any || (pattern == Is::yes) == fact; }

}  // namespace

CellOutcome decide_cell(const CellFacts& f) {
  for (const CellRow& row : kCellRows)
    if (fits(row.in_base, f.in_base) && fits(row.in_current, f.in_current) &&
        fits(row.in_incoming, f.in_incoming) && fits(row.current_changed, f.current_changed) &&
        fits(row.incoming_changed, f.incoming_changed) && fits(row.sides_equal, f.sides_equal))
      return row.outcome;
  return CellOutcome::drop;  // in no version: nothing to keep
}

FieldOutcome decide_field(bool current_is_base, bool incoming_is_base, bool sides_equal) {
  if (sides_equal || incoming_is_base) return FieldOutcome::current;
  if (current_is_base) return FieldOutcome::incoming;
  return FieldOutcome::both_changed;
}

// ---------------------------------------------------------------------------

std::vector<Slot> weave(const std::vector<bool>& current_kept,
                        const std::vector<bool>& current_added,
                        const std::vector<std::ptrdiff_t>& incoming_place) {
  const std::size_t n = current_kept.size();
  // after[p + 1]: incoming cells placed after current position p (p = -1:
  // before everything).
  std::vector<std::vector<std::size_t>> after(n + 1);
  std::size_t slot = 0;  // where the next insertion goes
  auto settle = [&](std::size_t start) {
    // Past the cells only current added (and those not kept) right there.
    while (start < n && (current_added[start] || !current_kept[start])) ++start;
    slot = start;
  };
  settle(0);
  for (std::size_t j = 0; j < incoming_place.size(); ++j) {
    std::ptrdiff_t place = incoming_place[j];
    if (place >= 0 && static_cast<std::size_t>(place) < n &&
        current_kept[static_cast<std::size_t>(place)]) {
      settle(static_cast<std::size_t>(place) + 1);
    } else if (place == kInsert) {
      after[slot].push_back(j);
    }
  }
  std::vector<Slot> order;
  order.reserve(n + incoming_place.size());
  for (std::size_t j : after[0]) order.push_back({true, j});
  for (std::size_t p = 0; p < n; ++p) {
    if (current_kept[p]) order.push_back({false, p});
    for (std::size_t j : after[p + 1]) order.push_back({true, j});
  }
  return order;
}

// ---------------------------------------------------------------------------

const std::vector<MarkRow>& mark_rows() {
  using R = Resolution;
  static const std::vector<MarkRow> rows = {
      {MarkKind::changed_by_current_deleted_by_incoming, "changed by current, deleted by incoming",
       R::keep, R::drop},
      {MarkKind::changed_by_incoming_deleted_by_current, "changed by incoming, deleted by current",
       R::drop, R::keep},
      {MarkKind::type_changed_by_both_current, "cell type changed by both, current's version",
       R::keep, R::drop},
      {MarkKind::type_changed_by_both_incoming, "cell type changed by both, incoming's version",
       R::drop, R::keep},
      {MarkKind::added_by_both_current, "added by both, current's version", R::keep, R::drop},
      {MarkKind::added_by_both_incoming, "added by both, incoming's version", R::drop, R::keep},
      {MarkKind::fields_changed_by_both, "changed by both, current's kept:", R::keep, R::keep},
      {MarkKind::notebook_metadata_changed_by_both,
       "notebook metadata changed by both, current's kept:", R::drop, R::drop},
  };
  return rows;
}

std::string mark_line(MarkKind kind, std::string_view detail) {
  std::string line(kMarkPrefix);
  for (const MarkRow& row : mark_rows())
    if (row.kind == kind) line += row.phrase;
  if (!detail.empty()) {
    line.push_back(' ');
    line += detail;
  }
  return line;
}

std::optional<MarkRow> parse_mark(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (!line.starts_with(kMarkPrefix)) return std::nullopt;
  line.remove_prefix(kMarkPrefix.size());
  for (const MarkRow& row : mark_rows()) {
    bool with_detail = row.kind == MarkKind::fields_changed_by_both ||
                       row.kind == MarkKind::notebook_metadata_changed_by_both;
    if (with_detail ? line.starts_with(row.phrase) : line == row.phrase) return row;
  }
  return std::nullopt;
}

}  // namespace merge::plain
