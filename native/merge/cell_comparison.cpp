#include "merge/cell_comparison.hpp"

#include "py/imports.hpp"
#include "py/names.hpp"

namespace merge {

using zuv::names;
using zuv::Ref;

bool drop_parent_names(PyObject* cell0, PyObject* cell1) {
  PyObject* const parents = names().parents;
  PyObject* const pop = names().pop;
  PyObject* const name = names().name;
  Ref parents0 = zuv::getattr(cell0, parents);
  Ref parents1 = parents0 ? zuv::getattr(cell1, parents) : Ref{};
  Ref all_parents = parents1 ? Ref::steal(PyNumber_Add(parents0.get(), parents1.get())) : Ref{};
  Ref iter = all_parents ? Ref::steal(PyObject_GetIter(all_parents.get())) : Ref{};
  if (!iter) return false;
  while (Ref parent = Ref::steal(PyIter_Next(iter.get())))
    if (!zuv::call_method(parent.get(), pop, name, Py_None)) return false;
  return !PyErr_Occurred();
}

}  // namespace merge

namespace merge {

bool changed_outside_outputs(PyObject* older, PyObject* newer,
                             const zuv::json_diff::Symbols& symbols, bool& applies, Ref& record) {
  PyObject* const data = names().data;
  PyObject* const outputs = names().outputs;
  PyObject* const execution_count = names().execution_count;
  applies = false;
  if (!drop_parent_names(older, newer)) return false;
  Ref data0 = zuv::getattr(older, data);
  Ref data1 = data0 ? zuv::getattr(newer, data) : Ref{};
  if (!data1) return false;
  PyObject* a = data0.get();
  PyObject* b = data1.get();
  if (!PyDict_CheckExact(a) || !PyDict_CheckExact(b)) return true;
  int in_a = PyDict_Contains(a, outputs);
  int in_b = in_a <= 0 ? in_a : PyDict_Contains(b, outputs);
  if (in_b <= 0) return in_b == 0;
  // Another shared key keeps the record a per-key record (jsondiff replaces
  // the whole cell only when no key is shared).
  bool shared = false;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (!shared && PyDict_Next(a, &pos, &key, &value)) {
    if (key == outputs) continue;
    Ref held_key = Ref::borrow(key);  // a lookup in `b` may run code
    int eq = PyUnicode_Check(key) ? PyUnicode_Compare(key, outputs) : 1;
    if (eq == 0) continue;
    int held = PyDict_Contains(b, held_key.get());
    if (held < 0) return false;
    shared = held;
  }
  if (!shared) return true;
  Ref a_rest = Ref::steal(PyDict_Copy(a));
  Ref b_rest = a_rest ? Ref::steal(PyDict_Copy(b)) : Ref{};
  if (!b_rest || PyDict_DelItem(a_rest.get(), outputs) < 0 ||
      PyDict_DelItem(b_rest.get(), outputs) < 0)
    return false;
  Ref difference = zuv::json_diff::diff(a_rest.get(), b_rest.get(), symbols);
  if (!difference) return false;
  if (!PyDict_CheckExact(difference.get())) return true;  // not expected; compare in full
  if (PyDict_DelItem(difference.get(), execution_count) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
  }
  applies = true;
  record = std::move(difference);
  return true;
}

bool differs_counting_outputs(PyObject* older, PyObject* newer,
                              const zuv::json_diff::Symbols& symbols, bool& applies,
                              bool& differs) {
  const zuv::Names& n = zuv::names();
  applies = false;
  if (!drop_parent_names(older, newer)) return false;
  Ref data0 = zuv::getattr(older, n.data);
  Ref data1 = data0 ? zuv::getattr(newer, n.data) : Ref{};
  if (!data1) return false;
  if (!PyDict_CheckExact(data0.get()) || !PyDict_CheckExact(data1.get())) return true;
  // The record never holds "execution_count": compare without it.  Every
  // other difference, in the outputs or elsewhere, shows in the record.
  Ref a = Ref::steal(PyDict_Copy(data0.get()));
  Ref b = a ? Ref::steal(PyDict_Copy(data1.get())) : Ref{};
  if (!b) return false;
  for (PyObject* cell : {a.get(), b.get()}) {
    if (PyDict_DelItem(cell, n.execution_count) == 0) continue;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
  }
  bool equal = false;
  if (!zuv::json_diff::same(a.get(), b.get(), symbols, equal)) return false;
  applies = true;
  differs = !equal;
  return true;
}

}  // namespace merge
