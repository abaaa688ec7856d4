#include "jsondiff/json_diff.hpp"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <unordered_set>
#include <utility>

#include "jsondiff/lcs.hpp"
#include "jsondiff/raw_vector.hpp"
#include "jsondiff/task.hpp"
#include "py/names.hpp"

namespace zuv::json_diff {
namespace {

// ---------------------------------------------------------------------------
// Guards.  Nesting costs heap memory, not native stack (see task.hpp), so
// what limits the depth of a comparison is the interpreter's recursion limit,
// entered once per level as Python code would.  The native stack is checked
// once, where a comparison starts: it needs room for the calls it makes into
// the interpreter, whatever depth its caller has reached.

// The lowest usable address of the running thread's stack, read once per
// thread (glibc derives the main thread's bound from its stack rlimit).
std::uintptr_t stack_floor() {
  thread_local const std::uintptr_t floor = [] {
    std::uintptr_t result = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* base = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &base, &size) == 0) {
        // Room for the interpreter calls of one comparison step: a quarter
        // of a small stack, 32 KiB of a larger one.
        const std::size_t reserve = std::min<std::size_t>(size / 4, std::size_t{32} << 10);
        result = reinterpret_cast<std::uintptr_t>(base) + reserve;
      }
      pthread_attr_destroy(&attr);
    }
    return result;
  }();
  return floor;
}

bool enough_stack() {
  if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) >= stack_floor()) return true;
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in comparison");
  return false;
}

// One level of the interpreter's recursion count, held while it lives.
class Depth {
 public:
  Depth() = default;
  Depth(const Depth&) = delete;
  Depth& operator=(const Depth&) = delete;
  ~Depth() {
    if (entered_) Py_LeaveRecursiveCall();
  }

  bool enter() {
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

// An exact str whose characters can be read in place.  A legacy string made
// through the old C API (3.11 only) is not: it takes the general comparison,
// which converts it and reports a failure to do so.
bool is_ready_text(PyObject* o) { return PyUnicode_CheckExact(o) && PyUnicode_IS_READY(o); }

// Values whose comparisons run no user code and whose `a is b or a == b`
// is an equivalence matching their hash: exact str, int, float, bool, None.
bool is_plain(PyObject* o) { return is_ready_text(o) || is_number(o) || o == Py_None; }

// Exact containers: unequal to every value of another kind that is plain
// or an exact container (their comparisons answer NotImplemented).
bool is_exact_container(PyObject* o) {
  return PyDict_CheckExact(o) || PyList_CheckExact(o) || PyTuple_CheckExact(o) ||
         PySet_CheckExact(o);
}

// `a == b` of two ready exact str (`is_ready_text`): cannot fail.
bool same_text(PyObject* a, PyObject* b) {
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
  const bool text_a = is_ready_text(a), text_b = is_ready_text(b);
  if (text_a || text_b) return text_a && text_b && same_text(a, b);
  // Exact numbers compare without user code and cannot fail.
  return is_number(a) && is_number(b) && PyObject_RichCompareBool(a, b, Py_EQ) == 1;
}

// `not (a != b)`, with jsondiff's `a is b` shortcut.
bool values_equal(PyObject* a, PyObject* b, bool& equal) {
  if (a == b || (is_ready_text(a) && is_ready_text(b))) {
    equal = a == b || same_text(a, b);
    return true;
  }
  Ref differs = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
  if (!differs) return false;
  const int truth = PyObject_IsTrue(differs.get());
  equal = truth == 0;
  return truth >= 0;
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
// Two values side by side, depth first, with a stack of their own: whether
// jsondiff's difference of them is empty, in time linear in their size.

// `equal`: _obj_diff(a, b) would be ({}, 1.0).  `differs`: a difference was
// found.  `unknown`: only the full comparison can tell (sets, subclasses of
// containers).
enum class Likeness { equal, differs, unknown };

// Below this (as a power of two), a dissimilarity might vanish in the
// rounding of jsondiff's similarity sums; well above every rounding error.
constexpr double kNegligibleLog2 = -40.0;

class Walk {
 public:
  explicit Walk(const Symbols& symbols) : symbols_(symbols) {}
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;
  ~Walk() {
    for (std::size_t i = 0; i < frames_.size(); ++i) Py_LeaveRecursiveCall();
  }

  // False with an exception set on error.
  bool run(PyObject* a, PyObject* b, Likeness& result);

  // After `differs`: whether the difference found surely leaves something in
  // jsondiff's difference of the two roots.  Not when it lies so deep under
  // so many siblings that jsondiff's similarity of a root member, a sum of
  // doubles, might round to exactly 1.0 and hide it (nested dicts halve a
  // member's dissimilarity at every level).
  bool surely_reported() const { return surely_reported_; }

  // After `differs`: the container pairs enclosing the difference, each of
  // them unequal too, outermost first.
  template <typename Visit>
  void enclosing(Visit visit) const {
    for (const Frame& frame : frames_) visit(frame.a.get(), frame.b.get());
  }

 private:
  struct Frame {
    Ref a, b;
    Py_ssize_t pos = 0;
    double scale_log2 = 0.0;  // how much this level shrinks a member's dissimilarity
    bool dict = false;
    bool plain_keys = true;
  };
  enum class Step { same, differs, unknown, opened, error };

  Step step(PyObject* x, PyObject* y);
  Step open(PyObject* x, PyObject* y, bool dict);
  Step next_dict_pair(Frame& frame, Ref& x, Ref& y);
  void close() {
    frames_.pop_back();
    Py_LeaveRecursiveCall();
  }
  // A difference at `depth` (0: the roots) whose own dissimilarity is at
  // least 2**dissimilarity_log2.
  void found(std::size_t depth, double dissimilarity_log2);

  const Symbols& symbols_;
  RawVector<Frame> frames_;
  bool surely_reported_ = false;
};

void Walk::found(std::size_t depth, double dissimilarity_log2) {
  double bound = dissimilarity_log2;
  for (std::size_t i = 1; i < depth; ++i) bound += frames_[i].scale_log2;
  surely_reported_ = depth == 0 || bound > kNegligibleLog2;
}

// Containers of unequal sizes: jsondiff counts at least one unmatched member.
double unmatched_log2(Py_ssize_t x, Py_ssize_t y) { return -std::log2(static_cast<double>(x + y)); }

Walk::Step Walk::open(PyObject* x, PyObject* y, bool dict) {
  const Py_ssize_t nx = dict ? PyDict_GET_SIZE(x) : Py_SIZE(x);
  const Py_ssize_t ny = dict ? PyDict_GET_SIZE(y) : Py_SIZE(y);
  if (nx != ny) {
    found(frames_.size(), unmatched_log2(nx, ny));
    return Step::differs;
  }
  if (nx == 0) return Step::same;
  // A dict member weighs 1/2 of 1/n of the dict's similarity, a list
  // member 1/n of the list's.
  const double n = static_cast<double>(nx);
  frames_.push_back({Ref::borrow(x), Ref::borrow(y), 0, -std::log2(dict ? 2 * n : n), dict, true});
  // Entered after the frame is in place, so that every frame held has
  // exactly one level to leave, even when the push fails for memory.
  if (Py_EnterRecursiveCall(" in comparison")) {
    frames_.pop_back();
    return Step::error;
  }
  return Step::opened;
}

Walk::Step Walk::step(PyObject* x, PyObject* y) {
  if (x == y) return Step::same;
  if (is_ready_text(x) && is_ready_text(y))
    return same_text(x, y) ? Step::same : (found(frames_.size(), 0.0), Step::differs);
  const unsigned kind = kind_of(x);
  if (kind == kOther || kind != kind_of(y)) {
    bool equal = false;
    if (!values_equal(x, y, equal)) return Step::error;
    if (equal) return Step::same;
    found(frames_.size(), 0.0);
    return Step::differs;
  }
  if (PyDict_CheckExact(x) && PyDict_CheckExact(y)) return open(x, y, true);
  if ((PyList_CheckExact(x) && PyList_CheckExact(y)) ||
      (PyTuple_CheckExact(x) && PyTuple_CheckExact(y)))
    return open(x, y, false);
  return Step::unknown;
}

// The next member of a dict frame and its counterpart; `same` when the
// dict is done, `differs` when the key sets differ.
Walk::Step Walk::next_dict_pair(Frame& frame, Ref& x, Ref& y) {
  const std::size_t depth = frames_.size() - 1;
  PyObject* key;
  PyObject* value;
  if (PyDict_Next(frame.a.get(), &frame.pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) frame.plain_keys = false;
    Ref hold_key = Ref::borrow(key);
    x = Ref::borrow(value);
    PyObject* counterpart = PyDict_GetItemWithError(frame.b.get(), key);
    if (!counterpart && PyErr_Occurred()) return Step::error;
    if (!counterpart || counterpart == symbols_.missing) {
      found(depth, unmatched_log2(PyDict_GET_SIZE(frame.a.get()), PyDict_GET_SIZE(frame.b.get())));
      return Step::differs;
    }
    y = Ref::borrow(counterpart);
    return Step::opened;
  }
  // Equal sizes and every key of a found in b: the same keys, unless a key
  // with a comparison of its own says otherwise.
  if (!frame.plain_keys) {
    Py_ssize_t pos = 0;
    while (PyDict_Next(frame.b.get(), &pos, &key, &value)) {
      Ref hold_key = Ref::borrow(key);
      const int present = PyDict_Contains(frame.a.get(), key);
      if (present < 0) return Step::error;
      if (!present) {
        found(depth,
              unmatched_log2(PyDict_GET_SIZE(frame.a.get()), PyDict_GET_SIZE(frame.b.get())));
        return Step::differs;
      }
    }
  }
  return Step::same;
}

bool Walk::run(PyObject* a, PyObject* b, Likeness& result) {
  Ref hold_a = Ref::borrow(a), hold_b = Ref::borrow(b);
  Step outcome = step(a, b);
  // Two unequal roots that are not containers of one kind: the difference
  // is b itself, or {replace: b} for a dict.
  if (outcome == Step::differs && (kind_of(a) == kOther || kind_of(a) != kind_of(b)))
    surely_reported_ = PyDict_Check(b) || is_plain(b) || is_exact_container(b);
  while (outcome == Step::same || outcome == Step::opened) {
    if (frames_.empty()) break;
    Frame& frame = frames_.back();
    Ref x, y;
    if (frame.dict) {
      outcome = next_dict_pair(frame, x, y);
      if (outcome == Step::same) {
        close();
        continue;
      }
      if (outcome != Step::opened) break;
    } else {
      // Sizes are read afresh: a comparison may run code that changes a list.
      const Py_ssize_t i = frame.pos++;
      const Py_ssize_t na = Py_SIZE(frame.a.get()), nb = Py_SIZE(frame.b.get());
      if (i >= na || i >= nb) {
        if (na != nb) {
          found(frames_.size() - 1, unmatched_log2(na, nb));
          outcome = Step::differs;
          break;
        }
        close();
        outcome = Step::same;
        continue;
      }
      x = Ref::borrow(PySequence_Fast_GET_ITEM(frame.a.get(), i));
      y = Ref::borrow(PySequence_Fast_GET_ITEM(frame.b.get(), i));
    }
    outcome = step(x.get(), y.get());
  }
  switch (outcome) {
    case Step::error:
      return false;
    case Step::differs:
      result = Likeness::differs;
      return true;
    case Step::unknown:
      result = Likeness::unknown;
      return true;
    default:
      result = Likeness::equal;
      return true;
  }
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

  // Containers of one kind are compared member by member, as a task that
  // awaits their members' tasks; everything else directly.
  static bool nested(PyObject* a, PyObject* b) {
    if (a == b) return false;
    const unsigned kind = kind_of(a);
    return kind != kOther && kind == kind_of(b);
  }
  Task compare_nested(PyObject* a, PyObject* b, bool build, Outcome& out);
  bool compare_values(PyObject* a, PyObject* b, bool build, Outcome& out);

 private:
  bool same(bool build, Outcome& out) const;
  Ref replacement(PyObject* b) const;
  Task compare_dicts(PyObject* a, PyObject* b, bool build, Outcome& out);
  Task compare_sets(PyObject* a, PyObject* b, bool build, Outcome& out);
  Task compare_sequences(PyObject* a, PyObject* b, bool build, Outcome& out);
  bool compare_discrete(PyObject* b, const Items& xs, const Items& ys, std::size_t tail, bool build,
                        Outcome& out);
  Task compare_weighted(PyObject* b, const Items& xs, const Items& ys, std::size_t tail, bool build,
                        Outcome& out);
  bool emit_sequence(PyObject* b, const Items& ys, double similarity, Ref changed,
                     const RawVector<std::size_t>& inserted, const RawVector<std::size_t>& deleted,
                     Outcome& out) const;

  bool equal(PyObject* a, PyObject* b, bool& answer);

  // Container pairs that a walk found unequal.  A list comparison asks
  // whether its lists are equal before it compares their members, which
  // then ask the same of theirs: without this, a difference at the bottom
  // of a deep nest would be walked to once per level.  The pairs are held
  // by the comparison's callers for as long as the Differ lives.
  struct PairHash {
    std::size_t operator()(const std::pair<PyObject*, PyObject*>& pair) const noexcept {
      const auto a = reinterpret_cast<std::uintptr_t>(pair.first);
      const auto b = reinterpret_cast<std::uintptr_t>(pair.second);
      return std::hash<std::uintptr_t>{}(a * 31 + b);
    }
  };
  std::unordered_set<std::pair<PyObject*, PyObject*>, PairHash, std::equal_to<>,
                     RawAllocator<std::pair<PyObject*, PyObject*>>>
      unequal_;
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

Task Differ::compare_nested(PyObject* a, PyObject* b, bool build, Outcome& out) {
  Depth depth;
  if (!depth.enter()) co_return false;
  switch (kind_of(a)) {
    case kDict:
      co_return co_await compare_dicts(a, b, build, out);
    case kSet:
      co_return co_await compare_sets(a, b, build, out);
    default:
      co_return co_await compare_sequences(a, b, build, out);
  }
}

bool Differ::compare_values(PyObject* a, PyObject* b, bool build, Outcome& out) {
  if (a == b) return same(build, out);
  bool equal = false;
  if (!values_equal(a, b, equal)) return false;
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

Task Differ::compare_dicts(PyObject* a, PyObject* b, bool build, Outcome& out) {
  Entries old_entries;
  if (!load_entries(a, old_entries)) co_return false;
  Ref removed, changed, added;
  if (build) {
    removed = new_dict();
    changed = new_dict();
    added = new_dict();
    if (!removed || !changed || !added) co_return false;
  }
  std::size_t removed_count = 0, matched_count = 0, added_count = 0;
  double matched_similarity = 0.0;
  for (const auto& [key, value] : old_entries) {
    Ref other;
    if (!lookup(b, key.get(), other)) co_return false;
    if (!other) {
      ++removed_count;
      if (build && !set_item(removed.get(), key.get(), value.get())) co_return false;
      continue;
    }
    ++matched_count;
    Outcome sub;
    const bool compared = nested(value.get(), other.get())
                              ? co_await compare_nested(value.get(), other.get(), build, sub)
                              : compare_values(value.get(), other.get(), build, sub);
    if (!compared) co_return false;
    if (build && sub.similarity < 1.0 && !set_item(changed.get(), key.get(), sub.diff.get()))
      co_return false;
    matched_similarity += 0.5 + 0.5 * sub.similarity;
  }
  Entries new_entries;
  if (!load_entries(b, new_entries)) co_return false;
  for (const auto& [key, value] : new_entries) {
    const int present =
        PyDict_CheckExact(a) ? PyDict_Contains(a, key.get()) : PySequence_Contains(a, key.get());
    if (present < 0) co_return false;
    if (present) continue;
    ++added_count;
    if (build && !set_item(added.get(), key.get(), value.get())) co_return false;
  }
  const std::size_t total = removed_count + matched_count + added_count;
  const double s = total != 0 ? matched_similarity / static_cast<double>(total) : 1.0;
  out.similarity = s;
  if (!build) co_return true;
  if (s == 0.0) {
    out.diff = replacement(b);
    co_return static_cast<bool>(out.diff);
  }
  if (s == 1.0 && !PyDict_GET_SIZE(added.get()) && !PyDict_GET_SIZE(changed.get()) &&
      !PyDict_GET_SIZE(removed.get()))
    co_return same(build, out);
  if (PyDict_Update(changed.get(), added.get()) < 0) co_return false;
  if (PyDict_GET_SIZE(removed.get())) {
    Ref keys = Ref::steal(PyDict_Keys(removed.get()));
    if (!keys || !set_item(changed.get(), symbols_.delete_, keys.get())) co_return false;
  }
  out.diff = std::move(changed);
  co_return true;
}

Task Differ::compare_sets(PyObject* a, PyObject* b, bool build, Outcome& out) {
  if (!symbols_.add || !symbols_.discard) {
    PyErr_SetString(PyExc_SystemError, "set difference symbols are not known");
    co_return false;
  }
  Ref removed = call_method(a, names().difference, b);
  if (!removed) co_return false;
  Ref added = call_method(b, names().difference, a);
  if (!added) co_return false;
  const int any_removed = PyObject_IsTrue(removed.get());
  if (any_removed < 0) co_return false;
  const int any_added = PyObject_IsTrue(added.get());
  if (any_added < 0) co_return false;
  if (!any_removed && !any_added) co_return same(build, out);

  struct Candidate {
    double similarity;
    Ref x, y;
  };
  RawVector<Candidate> ranking;
  Ref xs = Ref::steal(PyObject_GetIter(removed.get()));
  if (!xs) co_return false;
  while (Ref x = Ref::steal(PyIter_Next(xs.get()))) {
    Ref ys = Ref::steal(PyObject_GetIter(added.get()));
    if (!ys) co_return false;
    while (Ref y = Ref::steal(PyIter_Next(ys.get()))) {
      Outcome pair;
      const bool compared = nested(x.get(), y.get())
                                ? co_await compare_nested(x.get(), y.get(), false, pair)
                                : compare_values(x.get(), y.get(), false, pair);
      if (!compared) co_return false;
      ranking.push_back({pair.similarity, x, std::move(y)});
    }
    if (PyErr_Occurred()) co_return false;
  }
  if (PyErr_Occurred()) co_return false;
  // sorted(..., reverse=True, key=similarity): stable, highest first.
  std::stable_sort(ranking.begin(), ranking.end(), [](const Candidate& l, const Candidate& r) {
    return l.similarity > r.similarity;
  });

  Ref removed_left = Ref::steal(PySet_New(removed.get()));
  if (!removed_left) co_return false;
  Ref added_left = Ref::steal(PySet_New(added.get()));
  if (!added_left) co_return false;
  const Py_ssize_t size_a = PyObject_Size(a);
  if (size_a < 0) co_return false;
  const Py_ssize_t size_removed = PyObject_Size(removed.get());
  if (size_removed < 0) co_return false;
  const Py_ssize_t size_added = PyObject_Size(added.get());
  if (size_added < 0) co_return false;
  double common = static_cast<double>(size_a - size_removed);
  for (const Candidate& c : ranking) {
    int hit = PySet_Contains(removed_left.get(), c.x.get());
    if (hit < 0) co_return false;
    if (hit) {
      hit = PySet_Contains(added_left.get(), c.y.get());
      if (hit < 0) co_return false;
    }
    if (hit) {
      if (PySet_Discard(removed_left.get(), c.x.get()) < 0 ||
          PySet_Discard(added_left.get(), c.y.get()) < 0)
        co_return false;
      common += c.similarity;
    }
    if (!PySet_GET_SIZE(removed_left.get()) || !PySet_GET_SIZE(added_left.get())) break;
  }
  const Py_ssize_t total = size_a + size_added;
  const double s = total != 0 ? common / static_cast<double>(total) : 1.0;
  out.similarity = s;
  if (!build) co_return true;
  if (s == 0.0 || size_removed == size_a) {
    out.diff = replacement(b);
    co_return static_cast<bool>(out.diff);
  }
  Ref d = new_dict();
  if (!d) co_return false;
  if (any_removed && !set_item(d.get(), symbols_.discard, removed.get())) co_return false;
  if (any_added && !set_item(d.get(), symbols_.add, added.get())) co_return false;
  out.diff = std::move(d);
  co_return true;
}

Task Differ::compare_sequences(PyObject* a, PyObject* b, bool build, Outcome& out) {
  // Equal sequences have similarity 1.0 and an empty difference: no table.
  if ((PyList_CheckExact(a) && PyList_CheckExact(b)) ||
      (PyTuple_CheckExact(a) && PyTuple_CheckExact(b))) {
    bool equal = false;
    if (!this->equal(a, b, equal)) co_return false;
    if (equal) co_return same(build, out);
  }
  Items xs, ys;
  if (!xs.load(a) || !ys.load(b)) co_return false;
  // The backtrack starts at the ends and matches equal last elements first,
  // so a common tail leaves the rest of the table, and the result, as is.
  const std::size_t m = xs.size(), n = ys.size();
  std::size_t tail = 0;
  while (tail < m && tail < n) {
    bool equal = false;
    if (!this->equal(xs[m - 1 - tail], ys[n - 1 - tail], equal)) co_return false;
    if (!equal) break;
    ++tail;
  }
  unsigned kinds_x = 0, kinds_y = 0;
  for (std::size_t i = 0; i < m - tail; ++i) kinds_x |= kind_of(xs[i]);
  for (std::size_t j = 0; j < n - tail; ++j) kinds_y |= kind_of(ys[j]);
  // Without a structural pair every similarity is 0 or 1.
  if (kinds_x & kinds_y) co_return co_await compare_weighted(b, xs, ys, tail, build, out);
  co_return compare_discrete(b, xs, ys, tail, build, out);
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

  auto fill = [&](std::size_t i, lcs::Word* mask, bool& any) {
    const std::uint32_t c = x_class[i];
    any = false;
    auto mark = [&](std::size_t j) {
      mask[j / lcs::kWordBits] |= lcs::Word{1} << (j % lcs::kWordBits);
      any = true;
    };
    bool e = false;
    if (c == kGeneral) {
      for (std::size_t j = 0; j < n; ++j) {
        if (!values_equal(xs[i], ys[j], e)) return false;
        if (e) mark(j);
      }
      return true;
    }
    if (c != kOpaque)
      for (std::size_t k = first[c]; k < first[c + 1]; ++k) mark(columns[k]);
    for (std::size_t j : general_columns) {
      if (!values_equal(xs[i], ys[j], e)) return false;
      if (e) mark(j);
    }
    return true;
  };
  auto equal = [&](std::size_t i, std::size_t j, bool& answer) {
    const std::uint32_t cx = x_class[i], cy = y_class[j];
    if (cx == kGeneral || cy == kGeneral) return values_equal(xs[i], ys[j], answer);
    answer = cx == cy && cx != kOpaque;
    return true;
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
Task Differ::compare_weighted(PyObject* b, const Items& xs, const Items& ys, std::size_t tail,
                              bool build, Outcome& out) {
  const std::size_t m = xs.size() - tail, n = ys.size() - tail;
  if (n != 0 && m > SIZE_MAX / 2 / sizeof(double) / n) throw std::bad_alloc();
  const bool keep = build && m * n <= kKeptPairs;
  RawVector<double> similarity(m * n);
  RawVector<Ref> kept(keep ? m * n : 0);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      Outcome pair;
      const bool compared = nested(xs[i], ys[j]) ? co_await compare_nested(xs[i], ys[j], keep, pair)
                                                 : compare_values(xs[i], ys[j], keep, pair);
      if (!compared) co_return false;
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
  if (!build) co_return true;
  if (out.similarity == 0.0) {
    out.diff = replacement(b);
    co_return static_cast<bool>(out.diff);
  }

  Ref changed = new_dict();
  if (!changed) co_return false;
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
      PyObject* x = xs[it->row];
      PyObject* y = ys[it->column];
      const bool compared = nested(x, y) ? co_await compare_nested(x, y, true, pair)
                                         : compare_values(x, y, true, pair);
      if (!compared) co_return false;
      d = std::move(pair.diff);
    }
    Ref pos = Ref::steal(PyLong_FromSize_t(it->column));
    if (!pos || !set_item(changed.get(), pos.get(), d.get())) co_return false;
  }
  for (const lcs::Step& step : steps) {
    if (step.move == lcs::Move::insert) inserted.push_back(step.column);
    if (step.move == lcs::Move::remove) deleted.push_back(step.row);
  }
  co_return emit_sequence(b, ys, out.similarity, std::move(changed), inserted, deleted, out);
}

// Equality as jsondiff's difference sees it: true when _obj_diff(a, b) would
// be ({}, 1.0), false when it would not or when only the full comparison can
// tell (sets, subclasses of containers).
bool Differ::equal(PyObject* a, PyObject* b, bool& answer) {
  if (a == b || (is_ready_text(a) && is_ready_text(b))) {
    answer = a == b || same_text(a, b);
    return true;
  }
  answer = false;
  if (unequal_.count({a, b})) return true;
  Walk walk(symbols_);
  Likeness likeness;
  if (!walk.run(a, b, likeness)) return false;
  if (likeness == Likeness::differs)
    walk.enclosing([this](PyObject* x, PyObject* y) { unequal_.insert({x, y}); });
  answer = likeness == Likeness::equal;
  return true;
}

}  // namespace

Ref diff(PyObject* a, PyObject* b, const Symbols& symbols) {
  if (!enough_stack()) return {};
  try {
    Differ differ(symbols);
    Outcome out;
    const bool compared = Differ::nested(a, b) ? Task::run(differ.compare_nested(a, b, true, out))
                                               : differ.compare_values(a, b, true, out);
    if (!compared) return {};
    return std::move(out.diff);
  } catch (const std::exception&) {
    PyErr_NoMemory();
    return {};
  }
}

bool same(PyObject* a, PyObject* b, const Symbols& symbols, bool& equal) {
  equal = a == b;
  if (equal) return true;
  if (!enough_stack()) return false;
  try {
    Walk walk(symbols);
    Likeness likeness;
    if (!walk.run(a, b, likeness)) return false;
    equal = likeness == Likeness::equal;
    if (equal || (likeness == Likeness::differs && walk.surely_reported())) return true;
  } catch (const std::exception&) {
    PyErr_NoMemory();
    return false;
  }
  // Only the full comparison can tell.
  Ref difference = diff(a, b, symbols);
  if (!difference) return false;
  Ref empty = Ref::steal(PyDict_New());
  if (!empty) return false;
  const int is_empty = PyObject_RichCompareBool(difference.get(), empty.get(), Py_EQ);
  equal = is_empty == 1;
  return is_empty >= 0;
}

bool HeldSymbols::hold(Ref (&made)[6]) {
  for (const Ref& symbol : made)
    if (!symbol) return false;
  for (size_t i = 0; i < 6; ++i) held_[i] = std::move(made[i]);
  symbols_ = {held_[0].get(), held_[1].get(), held_[2].get(),
              held_[3].get(), held_[4].get(), held_[5].get()};
  return true;
}

bool HeldSymbols::import_jsondiff() {
  Ref module = Ref::steal(PyImport_ImportModule("jsondiff.symbols"));
  if (!module) return false;
  Ref made[6];
  const char* const kNames[6] = {"insert", "delete", "replace", "add", "discard", "missing"};
  for (size_t i = 0; i < 6; ++i)
    if (!(made[i] = getattr(module.get(), kNames[i]))) return false;
  return hold(made);
}

bool HeldSymbols::make_private() {
  Ref made[6];
  for (Ref& symbol : made)
    if (!(symbol =
              Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)))))
      return false;
  return hold(made);
}

int HeldSymbols::traverse(visitproc visit, void* arg) const {
  for (const Ref& symbol : held_) Py_VISIT(symbol.get());
  return 0;
}

void HeldSymbols::clear() {
  symbols_ = {};
  for (Ref& symbol : held_) symbol.reset();
}

}  // namespace zuv::json_diff
