// The structured difference of two JSON-like values, exactly as
// `jsondiff.diff(a, b)` computes it with its default ("compact") syntax: the
// same keys in the same order, jsondiff's own symbol objects, the same list
// positions and tie-breaks, the same floating-point similarities, and the
// same objects shared with the inputs.  Lists are compared without jsondiff's
// quadratic pure-Python table where the result allows it.
#pragma once

#include "py/ref.hpp"

namespace zuv::json_diff {

// jsondiff's symbol objects (from `jsondiff.symbols`), borrowed.  `add` and
// `discard` key set differences; a dict value that is `missing` counts as
// absent, as with jsondiff's `b.get(k, missing)`.
struct Symbols {
  PyObject* insert = nullptr;
  PyObject* delete_ = nullptr;
  PyObject* replace = nullptr;
  PyObject* add = nullptr;
  PyObject* discard = nullptr;
  PyObject* missing = nullptr;
};

// A set of symbols together with the references that keep them alive, for
// a module's state or an object that runs comparisons.
class HeldSymbols {
 public:
  // jsondiff's own symbols, from `jsondiff.symbols`; false with an exception
  // set when one cannot be read (the held ones are then unchanged).
  bool import_jsondiff();
  // Six fresh, distinct objects: symbols of records no one outside sees.
  bool make_private();
  bool empty() const { return !held_[0]; }
  const Symbols& get() const { return symbols_; }
  int traverse(visitproc visit, void* arg) const;
  void clear();

 private:
  bool hold(Ref (&made)[6]);
  Ref held_[6];
  Symbols symbols_{};
};

// jsondiff.diff(a, b); empty with an exception set on failure (RecursionError
// for too deep or self-referencing containers, MemoryError, or whatever a
// comparison of the values raises).
Ref diff(PyObject* a, PyObject* b, const Symbols& symbols);

// `jsondiff.diff(a, b) == {}`, in time linear in the size of a and b for
// JSON values (exact dict, list, str, int, float, bool, None); false with an
// exception set on failure.  Runs no comparison the difference would not run.
bool same(PyObject* a, PyObject* b, const Symbols& symbols, bool& equal);

}  // namespace zuv::json_diff
