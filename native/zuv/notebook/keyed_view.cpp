#include "zuv/notebook/keyed_view.hpp"

#include "zuv/notebook/notebook_text.hpp"

namespace zuv::cli {

namespace {

// A shallow copy of `mapping` with `key` set to `value`.
Ref copy_with(PyObject* mapping, PyObject* key, PyObject* value) {
  Ref copy = Ref::steal(mapping && PyDict_Check(mapping) ? PyDict_Copy(mapping) : PyDict_New());
  if (!copy || PyDict_SetItem(copy.get(), key, value) < 0) return {};
  return copy;
}

Ref held_member(PyObject* mapping, PyObject* key) { return Ref::borrow(member(mapping, key)); }

}  // namespace

Ref keyed_view(PyObject* document) {
  Ref cells = held_member(document, names().cells);
  if (!cells || !PyList_Check(cells.get())) return Ref::borrow(document);
  const Py_ssize_t count = PyList_GET_SIZE(cells.get());
  Ref list = Ref::steal(PyList_New(count));
  if (!list) return {};
  bool stood_in = false;
  Py_ssize_t plain = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells.get(), i));
    if (PyDict_Check(cell.get()) && !member(canvas_of(cell.get()), names().id)) {
      stood_in = true;
      ++plain;
      Ref nbformat_id = held_member(cell.get(), names().id);
      Ref key = nbformat_id && PyUnicode_Check(nbformat_id.get())
                    ? nbformat_id
                    : Ref::steal(PyUnicode_FromFormat("#%zd", plain));
      Ref type = held_member(cell.get(), names().cell_type);
      // Named by type and key, not by place: an insertion renames nothing.
      Ref name = !key ? Ref{}
                 : type && PyUnicode_Check(type.get())
                     ? Ref::steal(PyUnicode_FromFormat("%U %U", type.get(), key.get()))
                     : Ref::steal(PyUnicode_FromFormat("cell %U", key.get()));
      Ref parents = Ref::steal(PyList_New(0));
      Ref canvas = key && name && parents ? Ref::steal(PyDict_New()) : Ref{};
      if (!canvas || PyDict_SetItem(canvas.get(), names().id, key.get()) < 0 ||
          PyDict_SetItem(canvas.get(), names().name, name.get()) < 0 ||
          PyDict_SetItem(canvas.get(), names().parents, parents.get()) < 0)
        return {};
      Ref metadata =
          copy_with(held_member(cell.get(), names().metadata).get(), names().canvas, canvas.get());
      Ref with_metadata =
          metadata ? copy_with(cell.get(), names().metadata, metadata.get()) : Ref{};
      if (!with_metadata ||
          PyDict_SetItem(with_metadata.get(), names().cell_type, names().code) < 0)
        return {};
      cell = std::move(with_metadata);
    }
    PyList_SET_ITEM(list.get(), i, cell.release());
  }
  if (!stood_in) return Ref::borrow(document);
  Ref view = copy_with(document, names().cells, list.get());
  if (!view || member(member(view.get(), names().metadata), names().canvas)) return view;
  // A notebook without canvas metadata: no parameters.
  Ref parameters = Ref::steal(PyList_New(0));
  Ref canvas = parameters ? Ref::steal(PyDict_New()) : Ref{};
  if (!canvas || PyDict_SetItem(canvas.get(), names().parameters, parameters.get()) < 0) return {};
  Ref metadata =
      copy_with(held_member(view.get(), names().metadata).get(), names().canvas, canvas.get());
  if (!metadata || PyDict_SetItem(view.get(), names().metadata, metadata.get()) < 0) return {};
  return view;
}

}  // namespace zuv::cli
