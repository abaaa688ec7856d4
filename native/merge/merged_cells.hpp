// The merged cell table: records in output order, keyed by canvas id (or, for
// a copy placed beside its cell, by the copy's new canvas id).  It behaves as
// the dict the merge rules describe (assigning to a present key keeps its
// place, a new key goes to the end) and also inserts after a given key in
// constant time, where rebuilding a dict would cost the whole table.
#pragma once

#include <vector>

#include "merge/hooks.hpp"

namespace merge {

struct MergedEntry {
  Ref key;
  Ref record;
  Side side = Side::current;
};

class MergedCells {
 public:
  bool init();
  // The record under `key`, or empty with KeyError (or the lookup's error).
  Ref get(PyObject* key) const;
  // The entry under `key`, or one with an empty record and KeyError (or the
  // lookup's error) set.
  MergedEntry entry(PyObject* key) const;
  // Whether `key` is present.
  bool contains(PyObject* key, bool& present) const;
  // table[key] = record.
  bool set(PyObject* key, PyObject* record, Side side);
  // del table[key].
  bool erase(PyObject* key);
  // Puts `record` under `key` right after `anchor`, as rebuilding the dict
  // in order with the new pair after the anchor's pair would (a key already
  // present keeps its pair where the rebuild would keep it).
  bool insert_after(PyObject* anchor, PyObject* key, PyObject* record, Side side);
  // The entries in output order: owned references, so callers may run any
  // code while they go through them.
  std::vector<MergedEntry> entries() const;
  Py_ssize_t size() const;
  // The position of `key`'s entry as a number that grows in output order;
  // -1 when absent.
  bool order(PyObject* key, double& position) const;

 private:
  struct Node {
    MergedEntry entry;
    Py_ssize_t prev = -1, next = -1;
    double order = 0;
  };
  // The node index under `key`, -1 when absent.
  bool slot(PyObject* key, Py_ssize_t& index) const;
  // The same for a key that must be present (KeyError otherwise).
  bool present_slot(PyObject* key, Py_ssize_t& index) const;
  bool bind(PyObject* key, Py_ssize_t index);
  void link_after(Py_ssize_t where, Py_ssize_t index);  // where == -1: at the end
  void unlink(Py_ssize_t index);

  std::vector<Node> nodes_;
  Py_ssize_t head_ = -1, tail_ = -1;
  double last_order_ = 0;
  Ref slots_;  // {key: index into nodes_}
};

}  // namespace merge
