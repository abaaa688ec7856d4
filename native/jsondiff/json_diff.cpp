#include "jsondiff/json_diff.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "jsondiff/lcs.hpp"
#include "jsondiff/raw_vector.hpp"
#include "py/names.hpp"

namespace zuv::json_diff {
namespace {

// ---------------------------------------------------------------------------
// Recursion guard: the interpreter's recursion limit, plus a check of the
// native stack itself, so a raised recursion limit cannot overflow it.

constexpr std::size_t kStackReserve = std::size_t{256} << 10;

std::uintptr_t stack_floor() {
  thread_local const std::uintptr_t floor = [] {
    std::uintptr_t result = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* base = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &base, &size) == 0 && size > kStackReserve)
        result = reinterpret_cast<std::uintptr_t>(base) + kStackReserve;
      pthread_attr_destroy(&attr);
    }
    return result;
  }();
  return floor;
}

class Depth {
 public:
  Depth() = default;
  Depth(const Depth&) = delete;
  Depth& operator=(const Depth&) = delete;
  ~Depth() {
    if (entered_) Py_LeaveRecursiveCall();
  }

  bool enter() {
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor()) {
      PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in comparison");
      return false;
    }
    if (Py_EnterRecursiveCall(" in comparison")) return false;
    entered_ = true;
    return true;
  }

 private:
  bool entered_ = false;
};

// ---------------------------------------------------------------------------
// Value classification.

// What jsondiff compares structurally (by isinstance); anything else is
// compared with `a != b`.  A pair is structural when both have the same kind.
enum Kind : unsigned { kOther = 0, kDict = 1, kTuple = 2, kList = 4, kSet = 8 };

unsigned kind_of(PyObject* o) {
  if (PyDict_Check(o)) return kDict;
  if (PyTuple_Check(o)) return kTuple;
  if (PyList_Check(o)) return kList;
  if (PySet_Check(o)) return kSet;
  return kOther;
}

bool is_number(PyObject* o) {
  return PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o);
}

// Values whose comparisons run no user code and whose `a is b or a == b`
// is an equivalence matching their hash: exact str, int, float, bool, None.
bool is_plain(PyObject* o) { return PyUnicode_CheckExact(o) || is_number(o) || o == Py_None; }

// Exact containers: unequal to every value of another kind that is plain
// or an exact container (their comparisons answer NotImplemented).
bool is_exact_container(PyObject* o) {
  return PyDict_CheckExact(o) || PyList_CheckExact(o) || PyTuple_CheckExact(o) ||
         PySet_CheckExact(o);
}

// `a == b` of two exact str.
bool same_text(PyObject* a, PyObject* b) {
  if (PyUnicode_READY(a) < 0 || PyUnicode_READY(b) < 0) {
    // Only a legacy string that cannot be converted (no memory) gets here.
    PyErr_Clear();
    return false;
  }
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b)) return false;
  const int kind = PyUnicode_KIND(a);
  if (kind != static_cast<int>(PyUnicode_KIND(b))) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(length) * kind) == 0;
}

// `a is b or a == b` for two plain values.
bool plain_equal(PyObject* a, PyObject* b) {
  if (a == b) return true;
  const bool text_a = PyUnicode_CheckExact(a), text_b = PyUnicode_CheckExact(b);
  if (text_a || text_b) return text_a && text_b && same_text(a, b);
  // Exact numbers compare without user code and cannot fail.
  return is_number(a) && is_number(b) && PyObject_RichCompareBool(a, b, Py_EQ) == 1;
}

// `not (a != b)`, with jsondiff's `a is b` shortcut: 1, 0, or -1 on error.
int values_equal(PyObject* a, PyObject* b) {
  if (a == b) return 1;
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return same_text(a, b);
  Ref differs = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
  if (!differs) return -1;
  const int truth = PyObject_IsTrue(differs.get());
  return truth < 0 ? -1 : !truth;
}

// Numbers the classes of plain values: one id per group of values equal
// under `a is b or a == b` (so 1, 1.0 and True share an id, and a NaN has
// an id of its own per object).  Holds borrowed values for one comparison.
class PlainClasses {
 public:
  explicit PlainClasses(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
  }

  std::uint32_t classify(PyObject* value) {
    const Py_hash_t hash = PyObject_Hash(value);  // cannot fail for plain values
    for (std::size_t at = static_cast<std::size_t>(hash) & mask_;; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (!slot.value) {
        slot = Slot{value, hash, count_};
        return count_++;
      }
      if (slot.hash == hash && plain_equal(slot.value, value)) return slot.id;
    }
  }

  std::uint32_t count() const { return count_; }

 private:
  struct Slot {
    PyObject* value = nullptr;
    Py_hash_t hash = 0;
    std::uint32_t id = 0;
  };
  RawVector<Slot> slots_;
  std::size_t mask_ = 0;
  std::uint32_t count_ = 0;
};

// ---------------------------------------------------------------------------
// Containers as jsondiff reads them.

// The items of a list or tuple (`len(X)` and `X[i]`), held for one comparison.
class Items {
 public:
  bool load(PyObject* sequence) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
      const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
      PyObject** items = PySequence_Fast_ITEMS(sequence);
      items_.reserve(static_cast<std::size_t>(size));
      for (Py_ssize_t i = 0; i < size; ++i) items_.push_back(Ref::borrow(items[i]));
      return true;
    }
    const Py_ssize_t size = PyObject_Size(sequence);
    if (size < 0) return false;
    items_.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      Ref item = Ref::steal(PySequence_GetItem(sequence, i));
      if (!item) return false;
      items_.push_back(std::move(item));
    }
    return true;
  }
  std::size_t size() const { return items_.size(); }
  PyObject* operator[](std::size_t i) const { return items_[i].get(); }

 private:
  RawVector<Ref> items_;
};

// The (key, value) pairs of `d.items()`, held for one comparison.
using Entries = RawVector<std::pair<Ref, Ref>>;

bool load_entries(PyObject* dict, Entries& entries) {
  if (PyDict_CheckExact(dict)) {
    entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value))
      entries.emplace_back(Ref::borrow(key), Ref::borrow(value));
    return true;
  }
  Ref items = call_method(dict, names().items);
  if (!items) return false;
  Ref iter = Ref::steal(PyObject_GetIter(items.get()));
  if (!iter) return false;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    Ref pair = Ref::steal(PySequence_Tuple(item.get()));
    if (!pair) return false;
    const Py_ssize_t size = PyTuple_GET_SIZE(pair.get());
    if (size != 2) {
      if (size > 2)
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
      else
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
      return false;
    }
    entries.emplace_back(Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)),
                         Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)));
  }
  return !PyErr_Occurred();
}

Ref new_dict() { return Ref::steal(PyDict_New()); }

bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  return PyDict_SetItem(dict, key, value) == 0;
}

// ---------------------------------------------------------------------------
// The difference engine: jsondiff's JsonDiffer._obj_diff with the compact
// syntax.  With `build` false only the similarity is computed; it is the
// same number either way.

struct Outcome {
  Ref diff;  // empty when only the similarity was asked for
  double similarity = 0.0;
};

// Pairs of a fractional list table whose differences are kept from the
// table pass instead of being computed again for the result.
constexpr std::size_t kKeptPairs = 64;

// Sentinel classes of the integer list comparison.
constexpr std::uint32_t kOpaque = UINT32_MAX - 1;  // an exact container
constexpr std::uint32_t kGeneral = UINT32_MAX;     // compared with `!=`

class Differ {
 public:
  explicit Differ(const Symbols& symbols) : symbols_(symbols) {}

  bool compare(PyObject* a, PyObject* b, bool build, Outcome& out);

 private:
  bool same(bool build, Outcome& out) const;
  Ref replacement(PyObject* b) const;
  bool compare_values(PyObject* a, PyObject* b, bool build, Outcome& out);
  bool compare_dicts(PyObject* a, PyObject* b, bool build, Outcome& out);
  bool compare_sets(PyObject* a, PyObject* b, bool build, Outcome& out);
  bool compare_sequences(PyObject* a, PyObject* b, bool build, Outcome& out);
  bool compare_discrete(PyObject* b, const Items& xs, const Items& ys, std::size_t tail, bool build,
                        Outcome& out);
  bool compare_weighted(PyObject* b, const Items& xs, const Items& ys, std::size_t tail, bool build,
                        Outcome& out);
  bool emit_sequence(PyObject* b, const Items& ys, double similarity, Ref changed,
                     const RawVector<std::size_t>& inserted, const RawVector<std::size_t>& deleted,
                     Outcome& out) const;

  int equal(PyObject* a, PyObject* b);
  int equal_items(PyObject* a, PyObject* b);
  int equal_dicts(PyObject* a, PyObject* b);
  bool lookup(PyObject* dict, PyObject* key, Ref& value) const;

  const Symbols& symbols_;
};

bool Differ::same(bool build, Outcome& out) const {
  out.similarity = 1.0;
  if (build) {
    out.diff = new_dict();
    if (!out.diff) return false;
  }
  return true;
}

// `{replace: b} if isinstance(b, dict) else b`
Ref Differ::replacement(PyObject* b) const {
  if (!PyDict_Check(b)) return Ref::borrow(b);
  Ref d = new_dict();
  if (!d || !set_item(d.get(), symbols_.replace, b)) return {};
  return d;
}

bool Differ::compare(PyObject* a, PyObject* b, bool build, Outcome& out) {
  if (a == b) return same(build, out);
  const unsigned kind = kind_of(a);
  if (kind == kOther || kind != kind_of(b)) return compare_values(a, b, build, out);
  Depth depth;
  if (!depth.enter()) return false;
  switch (kind) {
    case kDict:
      return compare_dicts(a, b, build, out);
    case kSet:
      return compare_sets(a, b, build, out);
    default:
      return compare_sequences(a, b, build, out);
  }
}

bool Differ::compare_values(PyObject* a, PyObject* b, bool build, Outcome& out) {
  const int equal = values_equal(a, b);
  if (equal < 0) return false;
  if (equal) return same(build, out);
  out.similarity = 0.0;
  if (build) {
    out.diff = replacement(b);
    if (!out.diff) return false;
  }
  return true;
}

// `b.get(key, missing)`; `value` stays empty when absent (or `missing`).
bool Differ::lookup(PyObject* dict, PyObject* key, Ref& value) const {
  if (PyDict_CheckExact(dict)) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (!found) return !PyErr_Occurred();
    if (found != symbols_.missing) value = Ref::borrow(found);
    return true;
  }
  if (!symbols_.missing) {
    PyErr_SetString(PyExc_SystemError, "the missing-value symbol is not known");
    return false;
  }
  Ref found = call_method(dict, names().get, key, symbols_.missing);
  if (!found) return false;
  if (found.get() != symbols_.missing) value = std::move(found);
  return true;
}

bool Differ::compare_dicts(PyObject* a, PyObject* b, bool build, Outcome& out) {
  Entries old_entries;
  if (!load_entries(a, old_entries)) return false;
  Ref removed, changed, added;
  if (build) {
    removed = new_dict();
    changed = new_dict();
    added = new_dict();
    if (!removed || !changed || !added) return false;
  }
  std::size_t removed_count = 0, matched_count = 0, added_count = 0;
  double matched_similarity = 0.0;
  for (const auto& [key, value] : old_entries) {
    Ref other;
    if (!lookup(b, key.get(), other)) return false;
    if (!other) {
      ++removed_count;
      if (build && !set_item(removed.get(), key.get(), value.get())) return false;
      continue;
    }
    ++matched_count;
    Outcome sub;
    if (!compare(value.get(), other.get(), build, sub)) return false;
    if (build && sub.similarity < 1.0 && !set_item(changed.get(), key.get(), sub.diff.get()))
      return false;
    matched_similarity += 0.5 + 0.5 * sub.similarity;
  }
  Entries new_entries;
  if (!load_entries(b, new_entries)) return false;
  for (const auto& [key, value] : new_entries) {
    const int present =
        PyDict_CheckExact(a) ? PyDict_Contains(a, key.get()) : PySequence_Contains(a, key.get());
    if (present < 0) return false;
    if (present) continue;
    ++added_count;
    if (build && !set_item(added.get(), key.get(), value.get())) return false;
  }
  const std::size_t total = removed_count + matched_count + added_count;
  const double s = total != 0 ? matched_similarity / static_cast<double>(total) : 1.0;
  out.similarity = s;
  if (!build) return true;
  if (s == 0.0) {
    out.diff = replacement(b);
    return static_cast<bool>(out.diff);
  }
  if (s == 1.0 && !PyDict_GET_SIZE(added.get()) && !PyDict_GET_SIZE(changed.get()) &&
      !PyDict_GET_SIZE(removed.get()))
    return same(build, out);
  if (PyDict_Update(changed.get(), added.get()) < 0) return false;
  if (PyDict_GET_SIZE(removed.get())) {
    Ref keys = Ref::steal(PyDict_Keys(removed.get()));
    if (!keys || !set_item(changed.get(), symbols_.delete_, keys.get())) return false;
  }
  out.diff = std::move(changed);
  return true;
}

bool Differ::compare_sets(PyObject* a, PyObject* b, bool build, Outcome& out) {
  if (!symbols_.add || !symbols_.discard) {
    PyErr_SetString(PyExc_SystemError, "set difference symbols are not known");
    return false;
  }
  Ref removed = call_method(a, names().difference, b);
  if (!removed) return false;
  Ref added = call_method(b, names().difference, a);
  if (!added) return false;
  const int any_removed = PyObject_IsTrue(removed.get());
  if (any_removed < 0) return false;
  const int any_added = PyObject_IsTrue(added.get());
  if (any_added < 0) return false;
  if (!any_removed && !any_added) return same(build, out);

  struct Candidate {
    double similarity;
    Ref x, y;
  };
  RawVector<Candidate> ranking;
  Ref xs = Ref::steal(PyObject_GetIter(removed.get()));
  if (!xs) return false;
  while (Ref x = Ref::steal(PyIter_Next(xs.get()))) {
    Ref ys = Ref::steal(PyObject_GetIter(added.get()));
    if (!ys) return false;
    while (Ref y = Ref::steal(PyIter_Next(ys.get()))) {
      Outcome pair;
      if (!compare(x.get(), y.get(), false, pair)) return false;
      ranking.push_back({pair.similarity, x, std::move(y)});
    }
    if (PyErr_Occurred()) return false;
  }
  if (PyErr_Occurred()) return false;
  // sorted(..., reverse=True, key=similarity): stable, highest first.
  std::stable_sort(ranking.begin(), ranking.end(), [](const Candidate& l, const Candidate& r) {
    return l.similarity > r.similarity;
  });

  Ref removed_left = Ref::steal(PySet_New(removed.get()));
  if (!removed_left) return false;
  Ref added_left = Ref::steal(PySet_New(added.get()));
  if (!added_left) return false;
  const Py_ssize_t size_a = PyObject_Size(a);
  if (size_a < 0) return false;
  const Py_ssize_t size_removed = PyObject_Size(removed.get());
  if (size_removed < 0) return false;
  const Py_ssize_t size_added = PyObject_Size(added.get());
  if (size_added < 0) return false;
  double common = static_cast<double>(size_a - size_removed);
  for (const Candidate& c : ranking) {
    int hit = PySet_Contains(removed_left.get(), c.x.get());
    if (hit < 0) return false;
    if (hit) {
      hit = PySet_Contains(added_left.get(), c.y.get());
      if (hit < 0) return false;
    }
    if (hit) {
      if (PySet_Discard(removed_left.get(), c.x.get()) < 0 ||
          PySet_Discard(added_left.get(), c.y.get()) < 0)
        return false;
      common += c.similarity;
    }
    if (!PySet_GET_SIZE(removed_left.get()) || !PySet_GET_SIZE(added_left.get())) break;
  }
  const Py_ssize_t total = size_a + size_added;
  const double s = total != 0 ? common / static_cast<double>(total) : 1.0;
  out.similarity = s;
  if (!build) return true;
  if (s == 0.0 || size_removed == size_a) {
    out.diff = replacement(b);
    return static_cast<bool>(out.diff);
  }
  Ref d = new_dict();
  if (!d) return false;
  if (any_removed && !set_item(d.get(), symbols_.discard, removed.get())) return false;
  if (any_added && !set_item(d.get(), symbols_.add, added.get())) return false;
  out.diff = std::move(d);
  return true;
}

bool Differ::compare_sequences(PyObject* a, PyObject* b, bool build, Outcome& out) {
  // Equal sequences have similarity 1.0 and an empty difference: no table.
  if ((PyList_CheckExact(a) && PyList_CheckExact(b)) ||
      (PyTuple_CheckExact(a) && PyTuple_CheckExact(b))) {
    const int equal = equal_items(a, b);
    if (equal < 0) return false;
    if (equal) return same(build, out);
  }
  Items xs, ys;
  if (!xs.load(a) || !ys.load(b)) return false;
  // The backtrack starts at the ends and matches equal last elements first,
  // so a common tail leaves the rest of the table, and the result, as is.
  const std::size_t m = xs.size(), n = ys.size();
  std::size_t tail = 0;
  while (tail < m && tail < n) {
    const int equal = this->equal(xs[m - 1 - tail], ys[n - 1 - tail]);
    if (equal < 0) return false;
    if (!equal) break;
    ++tail;
  }
  unsigned kinds_x = 0, kinds_y = 0;
  for (std::size_t i = 0; i < m - tail; ++i) kinds_x |= kind_of(xs[i]);
  for (std::size_t j = 0; j < n - tail; ++j) kinds_y |= kind_of(ys[j]);
  // Without a structural pair every similarity is 0 or 1.
  if (kinds_x & kinds_y) return compare_weighted(b, xs, ys, tail, build, out);
  return compare_discrete(b, xs, ys, tail, build, out);
}

// emit_list_diff of the compact syntax.  `inserted` and `deleted` are in
// backtrack order; `changed` may be empty when there is nothing changed.
bool Differ::emit_sequence(PyObject* b, const Items& ys, double similarity, Ref changed,
                           const RawVector<std::size_t>& inserted,
                           const RawVector<std::size_t>& deleted, Outcome& out) const {
  if (similarity == 0.0) {
    out.diff = replacement(b);
    return static_cast<bool>(out.diff);
  }
  if (!changed) {
    changed = new_dict();
    if (!changed) return false;
  }
  if (similarity == 1.0 && inserted.empty() && deleted.empty() && !PyDict_GET_SIZE(changed.get())) {
    out.diff = std::move(changed);
    return true;
  }
  if (!inserted.empty()) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(inserted.size())));
    if (!list) return false;
    Py_ssize_t at = 0;
    for (auto it = inserted.rbegin(); it != inserted.rend(); ++it) {
      Ref pos = Ref::steal(PyLong_FromSize_t(*it));
      if (!pos) return false;
      PyObject* entry = PyTuple_Pack(2, pos.get(), ys[*it]);
      if (!entry) return false;
      PyList_SET_ITEM(list.get(), at++, entry);
    }
    if (!set_item(changed.get(), symbols_.insert, list.get())) return false;
  }
  if (!deleted.empty()) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(deleted.size())));
    if (!list) return false;
    Py_ssize_t at = 0;
    for (std::size_t pos : deleted) {
      PyObject* number = PyLong_FromSize_t(pos);
      if (!number) return false;
      PyList_SET_ITEM(list.get(), at++, number);
    }
    if (!set_item(changed.get(), symbols_.delete_, list.get())) return false;
  }
  out.diff = std::move(changed);
  return true;
}

// Lists whose pairs all have similarity 0 or 1: an integer LCS, computed
// bit-parallel over classes of equal values.
bool Differ::compare_discrete(PyObject* b, const Items& xs, const Items& ys, std::size_t tail,
                              bool build, Outcome& out) {
  const std::size_t m = xs.size() - tail, n = ys.size() - tail;
  PlainClasses classes(m + n);
  RawVector<std::uint32_t> x_class(m), y_class(n);
  RawVector<std::size_t> general_columns;
  std::size_t plain_columns = 0;
  auto classify = [&](PyObject* value) {
    if (is_plain(value)) return classes.classify(value);
    return is_exact_container(value) ? kOpaque : kGeneral;
  };
  for (std::size_t i = 0; i < m; ++i) x_class[i] = classify(xs[i]);
  for (std::size_t j = 0; j < n; ++j) {
    y_class[j] = classify(ys[j]);
    if (y_class[j] == kGeneral) general_columns.push_back(j);
    if (y_class[j] < kOpaque) ++plain_columns;
  }
  // Columns of Y grouped by class.
  RawVector<std::size_t> first(static_cast<std::size_t>(classes.count()) + 1, 0);
  for (std::size_t j = 0; j < n; ++j)
    if (y_class[j] < kOpaque) ++first[y_class[j] + 1];
  for (std::size_t c = 1; c < first.size(); ++c) first[c] += first[c - 1];
  RawVector<std::size_t> columns(plain_columns), fill_at(first.begin(), first.end() - 1);
  for (std::size_t j = 0; j < n; ++j)
    if (y_class[j] < kOpaque) columns[fill_at[y_class[j]]++] = j;

  auto fill = [&](std::size_t i, lcs::Word* mask) -> int {
    const std::uint32_t c = x_class[i];
    int any = 0;
    auto mark = [&](std::size_t j) {
      mask[j / lcs::kWordBits] |= lcs::Word{1} << (j % lcs::kWordBits);
      any = 1;
    };
    if (c == kGeneral) {
      for (std::size_t j = 0; j < n; ++j) {
        const int e = values_equal(xs[i], ys[j]);
        if (e < 0) return -1;
        if (e) mark(j);
      }
      return any;
    }
    if (c != kOpaque)
      for (std::size_t k = first[c]; k < first[c + 1]; ++k) mark(columns[k]);
    for (std::size_t j : general_columns) {
      const int e = values_equal(xs[i], ys[j]);
      if (e < 0) return -1;
      if (e) mark(j);
    }
    return any;
  };
  auto equal = [&](std::size_t i, std::size_t j) -> int {
    const std::uint32_t cx = x_class[i], cy = y_class[j];
    if (cx == kGeneral || cy == kGeneral) return values_equal(xs[i], ys[j]);
    return cx == cy && cx != kOpaque;
  };

  // The backtrack's path makes exactly `common` matches, each adding 1.0,
  // and inserts every other element of Y.
  auto similarity = [&](std::size_t common) {
    const std::size_t matched = common + tail;
    const std::size_t total = xs.size() + (ys.size() - matched);
    return total != 0 ? static_cast<double>(matched) / static_cast<double>(total) : 1.0;
  };
  // Wholly different or equal lists need no backtrack.
  auto needed = [&](std::size_t common) {
    const double s = similarity(common);
    return s != 0.0 && s != 1.0;
  };
  std::size_t common = 0;
  lcs::Script script;
  if (!build) {
    if (!lcs::length(m, n, fill, common)) return false;
  } else {
    const bool deterministic = general_columns.empty() &&
                               std::find(x_class.begin(), x_class.end(), kGeneral) == x_class.end();
    const std::size_t bound =
        deterministic ? lcs::greedy_common(x_class.data(), m, y_class.data(), n, classes.count())
                      : 0;
    lcs::BitTable table(m, n, fill, deterministic);
    if (!table.keep(bound, needed, common)) return false;
    if (needed(common) && !table.backtrack(equal, script)) return false;
  }
  out.similarity = similarity(common);
  if (!build) return true;
  return emit_sequence(b, ys, out.similarity, Ref{}, script.inserted, script.deleted, out);
}

// Lists with structural pairs: jsondiff's floating-point table, with each
// pair's similarity computed once.
bool Differ::compare_weighted(PyObject* b, const Items& xs, const Items& ys, std::size_t tail,
                              bool build, Outcome& out) {
  const std::size_t m = xs.size() - tail, n = ys.size() - tail;
  if (n != 0 && m > SIZE_MAX / 2 / sizeof(double) / n) throw std::bad_alloc();
  const bool keep = build && m * n <= kKeptPairs;
  RawVector<double> similarity(m * n);
  RawVector<Ref> kept(keep ? m * n : 0);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      Outcome pair;
      if (!compare(xs[i], ys[j], keep, pair)) return false;
      similarity[i * n + j] = pair.similarity;
      if (keep) kept[i * n + j] = std::move(pair.diff);
    }
  }
  RawVector<double> table((m + 1) * (n + 1));
  lcs::weighted_table(m, n, similarity.data(), table.data());
  RawVector<lcs::Step> steps;
  lcs::weighted_backtrack(m, n, similarity.data(), table.data(), steps);

  // jsondiff sums the path's similarities from its start, then the tail.
  double matched = 0.0;
  std::size_t inserted_count = 0;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    if (it->move == lcs::Move::match) matched += similarity[it->row * n + it->column];
    if (it->move == lcs::Move::insert) ++inserted_count;
  }
  for (std::size_t t = 0; t < tail; ++t) matched += 1.0;
  const std::size_t total = xs.size() + inserted_count;
  out.similarity = total != 0 ? matched / static_cast<double>(total) : 1.0;
  if (!build) return true;
  if (out.similarity == 0.0) {
    out.diff = replacement(b);
    return static_cast<bool>(out.diff);
  }

  Ref changed = new_dict();
  if (!changed) return false;
  RawVector<std::size_t> inserted, deleted;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    if (it->move != lcs::Move::match) continue;
    const double s = similarity[it->row * n + it->column];
    if (!(s < 1.0)) continue;
    Ref d;
    if (keep) {
      d = kept[it->row * n + it->column];
    } else {
      Outcome pair;
      if (!compare(xs[it->row], ys[it->column], true, pair)) return false;
      d = std::move(pair.diff);
    }
    Ref pos = Ref::steal(PyLong_FromSize_t(it->column));
    if (!pos || !set_item(changed.get(), pos.get(), d.get())) return false;
  }
  for (const lcs::Step& step : steps) {
    if (step.move == lcs::Move::insert) inserted.push_back(step.column);
    if (step.move == lcs::Move::remove) deleted.push_back(step.row);
  }
  return emit_sequence(b, ys, out.similarity, std::move(changed), inserted, deleted, out);
}

// ---------------------------------------------------------------------------
// Equality as jsondiff's difference sees it: 1 when _obj_diff(a, b) would be
// ({}, 1.0), 0 when it would not or when only the full comparison can tell
// (sets, subclasses of containers), -1 on error.

int Differ::equal(PyObject* a, PyObject* b) {
  if (a == b) return 1;
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return same_text(a, b);
  const unsigned kind = kind_of(a);
  if (kind == kOther || kind != kind_of(b)) return values_equal(a, b);
  Depth depth;
  if (!depth.enter()) return -1;
  if (PyDict_CheckExact(a) && PyDict_CheckExact(b)) return equal_dicts(a, b);
  if ((PyList_CheckExact(a) && PyList_CheckExact(b)) ||
      (PyTuple_CheckExact(a) && PyTuple_CheckExact(b)))
    return equal_items(a, b);
  return 0;
}

int Differ::equal_items(PyObject* a, PyObject* b) {
  if (Py_SIZE(a) != Py_SIZE(b)) return 0;
  for (Py_ssize_t i = 0;; ++i) {
    // Sizes are read again: a comparison may run code that changes a list.
    if (i >= Py_SIZE(a) || i >= Py_SIZE(b)) return i == Py_SIZE(a) && i == Py_SIZE(b);
    PyObject* x = PySequence_Fast_GET_ITEM(a, i);
    PyObject* y = PySequence_Fast_GET_ITEM(b, i);
    if (x == y) continue;
    if (PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)) {
      if (!same_text(x, y)) return 0;
      continue;
    }
    Ref hold_x = Ref::borrow(x), hold_y = Ref::borrow(y);
    const int equal = this->equal(x, y);
    if (equal != 1) return equal;
  }
}

int Differ::equal_dicts(PyObject* a, PyObject* b) {
  if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return 0;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(a, &pos, &key, &value)) {
    Ref hold_key = Ref::borrow(key), hold_value = Ref::borrow(value);
    PyObject* found = PyDict_GetItemWithError(b, key);
    if (!found) return PyErr_Occurred() ? -1 : 0;
    if (found == symbols_.missing) return 0;
    Ref hold_found = Ref::borrow(found);
    const int equal = this->equal(value, found);
    if (equal != 1) return equal;
  }
  pos = 0;
  while (PyDict_Next(b, &pos, &key, &value)) {
    Ref hold_key = Ref::borrow(key);
    const int present = PyDict_Contains(a, key);
    if (present != 1) return present;
  }
  return 1;
}

}  // namespace

Ref diff(PyObject* a, PyObject* b, const Symbols& symbols) {
  try {
    Differ differ(symbols);
    Outcome out;
    if (!differ.compare(a, b, true, out)) return {};
    return std::move(out.diff);
  } catch (const std::exception&) {
    PyErr_NoMemory();
    return {};
  }
}

}  // namespace zuv::json_diff
