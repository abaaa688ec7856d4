#include "zuv/notebook/keyed_view.hpp"

#include <string>
#include <unordered_set>
#include <vector>

#include "merge/plain_cells.hpp"
#include "zuv/git/plain_merge.hpp"
#include "zuv/notebook/notebook_text.hpp"
#include "zuv/notebook/py_text.hpp"

namespace zuv::cli {

namespace {

// A shallow copy of `mapping` with `key` set to `value`.
Ref copy_with(PyObject* mapping, PyObject* key, PyObject* value) {
  Ref copy = Ref::steal(mapping && PyDict_Check(mapping) ? PyDict_Copy(mapping) : PyDict_New());
  if (!copy || PyDict_SetItem(copy.get(), key, value) < 0) return {};
  return copy;
}

// The cell at place `i` of the document's cell list, or nullptr.
PyObject* cell_at(PyObject* document, Py_ssize_t i) {
  PyObject* cells = member(document, names().cells);
  if (!cells || !PyList_Check(cells) || i >= PyList_GET_SIZE(cells)) return nullptr;
  return PyList_GET_ITEM(cells, i);
}

// The cells of `document` without a canvas id, by place in its cell list.
std::vector<Py_ssize_t> plain_cells(PyObject* document) {
  std::vector<Py_ssize_t> found;
  PyObject* cells = member(document, names().cells);
  if (!cells || !PyList_Check(cells)) return found;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
    PyObject* cell = PyList_GET_ITEM(cells, i);
    if (PyDict_Check(cell) && !member(canvas_of(cell), names().id)) found.push_back(i);
  }
  return found;
}

// Whether every one of `which` carries an nbformat id, none twice.
bool keyed_by_ids(PyObject* document, const std::vector<Py_ssize_t>& which) {
  PyObject* cells = member(document, names().cells);
  std::unordered_set<std::string> seen;
  for (Py_ssize_t i : which) {
    PyObject* id = member(PyList_GET_ITEM(cells, i), names().id);
    if (!id || !PyUnicode_Check(id) || !seen.insert(utf8(id)).second) return false;
  }
  return true;
}

std::vector<merge::plain::CellText> texts(PyObject* document,
                                          const std::vector<Py_ssize_t>& which) {
  PyObject* cells = member(document, names().cells);
  std::vector<merge::plain::CellText> out;
  out.reserve(which.size());
  for (Py_ssize_t i : which) out.push_back(alignment_text(PyList_GET_ITEM(cells, i)));
  return out;
}

// `document` with each of `which` under a stand-in canvas keyed `keys[k]`.
Ref view_with_keys(PyObject* document, const std::vector<Py_ssize_t>& which,
                   const std::vector<Ref>& keys) {
  if (which.empty()) return Ref::borrow(document);
  Ref cells = held_member(document, names().cells);
  Ref list = Ref::steal(PyList_GetSlice(cells.get(), 0, PY_SSIZE_T_MAX));
  if (!list) return {};
  for (std::size_t k = 0; k < which.size(); ++k) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(list.get(), which[k]));
    const Ref& key = keys[k];
    Ref type = held_member(cell.get(), names().cell_type);
    // Named by type and key, not by place: an insertion renames nothing.
    Ref name = type && PyUnicode_Check(type.get())
                   ? Ref::steal(PyUnicode_FromFormat("%U %U", type.get(), key.get()))
                   : Ref::steal(PyUnicode_FromFormat("cell %U", key.get()));
    Ref parents = name ? Ref::steal(PyList_New(0)) : Ref{};
    Ref canvas = parents ? Ref::steal(PyDict_New()) : Ref{};
    if (!canvas || PyDict_SetItem(canvas.get(), names().id, key.get()) < 0 ||
        PyDict_SetItem(canvas.get(), names().name, name.get()) < 0 ||
        PyDict_SetItem(canvas.get(), names().parents, parents.get()) < 0)
      return {};
    Ref metadata =
        copy_with(held_member(cell.get(), names().metadata).get(), names().canvas, canvas.get());
    Ref with_metadata = metadata ? copy_with(cell.get(), names().metadata, metadata.get()) : Ref{};
    if (!with_metadata ||
        PyDict_SetItem(with_metadata.get(), names().cell_type, names().code) < 0 ||
        PyList_SetItem(list.get(), which[k], with_metadata.release()) < 0)
      return {};
  }
  Ref view = copy_with(document, names().cells, list.get());
  if (!view || canvas_of(view.get())) return view;
  // A notebook without canvas metadata: no parameters.
  Ref parameters = Ref::steal(PyList_New(0));
  Ref canvas = parameters ? Ref::steal(PyDict_New()) : Ref{};
  if (!canvas || PyDict_SetItem(canvas.get(), names().parameters, parameters.get()) < 0) return {};
  Ref metadata =
      copy_with(held_member(view.get(), names().metadata).get(), names().canvas, canvas.get());
  if (!metadata || PyDict_SetItem(view.get(), names().metadata, metadata.get()) < 0) return {};
  return view;
}

Ref numbered(const char* format, std::size_t n) {
  return Ref::steal(PyUnicode_FromFormat(format, static_cast<Py_ssize_t>(n + 1)));
}

}  // namespace

bool keyed_views(PyObject* old_document, PyObject* new_document, Ref& old_view, Ref& new_view) {
  const std::vector<Py_ssize_t> old_plain = plain_cells(old_document);
  const std::vector<Py_ssize_t> new_plain = plain_cells(new_document);
  std::vector<Ref> old_keys, new_keys;
  if (keyed_by_ids(old_document, old_plain) && keyed_by_ids(new_document, new_plain)) {
    for (Py_ssize_t i : old_plain)
      old_keys.push_back(Ref::borrow(member(cell_at(old_document, i), names().id)));
    for (Py_ssize_t i : new_plain)
      new_keys.push_back(Ref::borrow(member(cell_at(new_document, i), names().id)));
  } else {
    // As the merge matches a version's cells against the base.
    const std::vector<std::ptrdiff_t> match =
        merge::plain::align(texts(old_document, old_plain), texts(new_document, new_plain));
    new_keys.resize(new_plain.size());
    for (std::size_t k = 0; k < old_plain.size(); ++k) {
      old_keys.push_back(numbered("#%zd", k));
      if (!old_keys.back()) return false;
      if (match[k] >= 0) new_keys[static_cast<std::size_t>(match[k])] = old_keys.back();
    }
    for (std::size_t n = 0; n < new_plain.size(); ++n)
      if (!new_keys[n] && !(new_keys[n] = numbered("new #%zd", n))) return false;
  }
  old_view = view_with_keys(old_document, old_plain, old_keys);
  new_view = old_view ? view_with_keys(new_document, new_plain, new_keys) : Ref{};
  return static_cast<bool>(new_view);
}

}  // namespace zuv::cli
