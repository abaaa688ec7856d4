#include "merge/merged_cells.hpp"

#include <algorithm>

namespace merge {

bool MergedCells::init() {
  slots_ = Ref::steal(PyDict_New());
  return static_cast<bool>(slots_);
}

bool MergedCells::slot(PyObject* key, Py_ssize_t& index) const {
  PyObject* number = PyDict_GetItemWithError(slots_.get(), key);
  index = number ? PyLong_AsSsize_t(number) : -1;
  return number || !PyErr_Occurred();
}

bool MergedCells::present_slot(PyObject* key, Py_ssize_t& index) const {
  if (!slot(key, index)) return false;
  if (index < 0) PyErr_SetObject(PyExc_KeyError, key);
  return index >= 0;
}

bool MergedCells::bind(PyObject* key, Py_ssize_t index) {
  Ref number = Ref::steal(PyLong_FromSsize_t(index));
  return number && PyDict_SetItem(slots_.get(), key, number.get()) == 0;
}

MergedEntry MergedCells::entry(PyObject* key) const {
  Py_ssize_t i = -1;
  return present_slot(key, i) ? nodes_[i].entry : MergedEntry{};
}

Ref MergedCells::get(PyObject* key) const { return entry(key).record; }

bool MergedCells::contains(PyObject* key, bool& present) const {
  Py_ssize_t i = -1;
  if (!slot(key, i)) return false;
  present = i >= 0;
  return true;
}

void MergedCells::link_after(Py_ssize_t where, Py_ssize_t index) {
  if (where == -1) where = tail_;
  Node& node = nodes_[index];
  node.prev = where;
  node.next = where == -1 ? head_ : nodes_[where].next;
  if (node.prev == -1)
    head_ = index;
  else
    nodes_[node.prev].next = index;
  if (node.next == -1)
    tail_ = index;
  else
    nodes_[node.next].prev = index;
  if (node.prev != -1 && node.next != -1)  // between two entries
    node.order = (nodes_[node.prev].order + nodes_[node.next].order) / 2;
  else
    node.order = last_order_ =
        std::max(last_order_, node.prev == -1 ? 0.0 : nodes_[node.prev].order) + 1;
}

void MergedCells::unlink(Py_ssize_t index) {
  Node& node = nodes_[index];
  if (node.prev == -1)
    head_ = node.next;
  else
    nodes_[node.prev].next = node.next;
  if (node.next == -1)
    tail_ = node.prev;
  else
    nodes_[node.next].prev = node.prev;
  node.prev = node.next = -1;
}

bool MergedCells::set(PyObject* key, PyObject* record, Side side) {
  Py_ssize_t i = -1;
  if (!slot(key, i)) return false;
  if (i >= 0) {  // a present key keeps its place (and its key object)
    nodes_[i].entry.record = Ref::borrow(record);
    nodes_[i].entry.side = side;
    return true;
  }
  Py_ssize_t index = static_cast<Py_ssize_t>(nodes_.size());
  if (!bind(key, index)) return false;
  nodes_.push_back({{Ref::borrow(key), Ref::borrow(record), side}});
  link_after(-1, index);
  return true;
}

bool MergedCells::erase(PyObject* key) {
  Py_ssize_t i = -1;
  if (!present_slot(key, i)) return false;
  if (PyDict_DelItem(slots_.get(), key) < 0) return false;
  unlink(i);
  nodes_[i].entry = {};
  return true;
}

bool MergedCells::insert_after(PyObject* anchor, PyObject* key, PyObject* record, Side side) {
  Py_ssize_t at = -1, held = -1;
  if (!present_slot(anchor, at) || !slot(key, held)) return false;
  if (held == -1) {
    Py_ssize_t index = static_cast<Py_ssize_t>(nodes_.size());
    if (!bind(key, index)) return false;
    nodes_.push_back({{Ref::borrow(key), Ref::borrow(record), side}});
    link_after(at, index);
    return true;
  }
  // The new key equals a present one.  The rebuild meets that key either at
  // or before the anchor (the new record replaces its value in place) or
  // after it (the pair lands after the anchor under the new key object and
  // the later assignment restores the old value).
  bool before = held == at;
  for (Py_ssize_t i = head_; !before && i != at; i = nodes_[i].next) before = i == held;
  if (before) {
    nodes_[held].entry.record = Ref::borrow(record);
    nodes_[held].entry.side = side;
    return true;
  }
  unlink(held);
  nodes_[held].entry.key = Ref::borrow(key);
  link_after(at, held);
  return true;
}

std::vector<MergedEntry> MergedCells::entries() const {
  std::vector<MergedEntry> out;
  out.reserve(nodes_.size());
  for (Py_ssize_t i = head_; i != -1; i = nodes_[i].next) out.push_back(nodes_[i].entry);
  return out;
}

bool MergedCells::order(PyObject* key, double& position) const {
  Py_ssize_t i = -1;
  if (!slot(key, i)) return false;
  position = i < 0 ? -1 : nodes_[i].order;
  return true;
}

Py_ssize_t MergedCells::size() const { return PyDict_GET_SIZE(slots_.get()); }

}  // namespace merge
