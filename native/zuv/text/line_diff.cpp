// The line matching is difflib's: the interpreter ships it, it is what the
// notebook diff module already uses, and its hunks are familiar to readers.
#include "zuv/text/line_diff.hpp"

#include "zuv/notebook/py_text.hpp"

namespace zuv::cli {

namespace {

Ref line_list(const std::vector<std::string>& lines) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lines.size())));
  if (!list) return {};
  for (size_t i = 0; i < lines.size(); ++i) {
    PyObject* line = PyUnicode_DecodeUTF8(lines[i].data(), static_cast<Py_ssize_t>(lines[i].size()),
                                          "surrogateescape");
    if (!line) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), line);
  }
  return list;
}

}  // namespace

bool unified_diff(const std::vector<std::string>& before, const std::vector<std::string>& after,
                  std::vector<std::string>& out, int context) {
  Ref difflib = Ref::steal(PyImport_ImportModule("difflib"));
  Ref function = difflib ? getattr(difflib.get(), "unified_diff") : Ref{};
  Ref a = function ? line_list(before) : Ref{};
  Ref b = a ? line_list(after) : Ref{};
  Ref args = b ? Ref::steal(PyTuple_Pack(2, a.get(), b.get())) : Ref{};
  Ref kwargs = args ? Ref::steal(Py_BuildValue("{sssi}", "lineterm", "", "n", context)) : Ref{};
  Ref lines = kwargs ? Ref::steal(PyObject_Call(function.get(), args.get(), kwargs.get())) : Ref{};
  Ref iterator = lines ? Ref::steal(PyObject_GetIter(lines.get())) : Ref{};
  if (!iterator) return false;
  int skipped_header = 0;
  while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
    // difflib opens with "--- " and "+++ " file lines: not wanted here.
    if (skipped_header < 2) {
      ++skipped_header;
      continue;
    }
    out.push_back(utf8(line.get()));
  }
  return !PyErr_Occurred();
}

}  // namespace zuv::cli
