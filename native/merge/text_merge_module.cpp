// zuv_weft_git._text_merge: the in-process text merge of `zuv merge-driver`
// on its own, for the tests that hold it against `git merge-file -p`.  Not
// part of the drivers' interface.
#include <string>
#include <string_view>

#include "merge/text_merge.hpp"
#include "py/function.hpp"
#include "py/module.hpp"

namespace {

using zuv::CallArgs;
using zuv::Ref;

bool bytes_view(PyObject* value, const char* what, std::string_view& out) {
  if (!PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be bytes", what);
    return false;
  }
  out = std::string_view(PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)));
  return true;
}

// merge(base, current, incoming, labels, style, marker_size): (merged, clean),
// or None where the merge declines.
Ref merge_impl(const CallArgs& a) {
  std::string_view texts[3];
  for (int i = 0; i < 3; ++i)
    if (!bytes_view(a[i], "the texts", texts[i])) return {};
  if (!PyTuple_Check(a[3]) || PyTuple_GET_SIZE(a[3]) != 3) {
    PyErr_SetString(PyExc_TypeError, "labels must be a tuple of three bytes");
    return {};
  }
  merge::TextMergeOptions options;
  std::string_view* labels[3] = {&options.current_label, &options.base_label,
                                 &options.incoming_label};
  for (int i = 0; i < 3; ++i)
    if (!bytes_view(PyTuple_GET_ITEM(a[3], i), "the labels", *labels[i])) return {};
  std::string_view style_name;
  if (!bytes_view(a[4], "style", style_name)) return {};
  auto style = merge::conflict_style_named(style_name);
  if (!style) {
    PyErr_SetString(PyExc_ValueError, "unknown conflict style");
    return {};
  }
  options.style = *style;
  long marker_size = PyLong_AsLong(a[5]);
  if (marker_size == -1 && PyErr_Occurred()) return {};
  if (marker_size < 0 || marker_size > 1'000'000) {
    PyErr_SetString(PyExc_ValueError, "marker_size out of range");
    return {};
  }
  options.marker_size = static_cast<int>(marker_size);
  std::string merged;
  switch (merge::merge_text(texts[0], texts[1], texts[2], options, merged)) {
    case merge::TextMerge::declined:
      return Ref::borrow(Py_None);
    case merge::TextMerge::clean:
      return Ref::steal(
          Py_BuildValue("(y#O)", merged.data(), static_cast<Py_ssize_t>(merged.size()), Py_True));
    case merge::TextMerge::conflicts:
      return Ref::steal(
          Py_BuildValue("(y#O)", merged.data(), static_cast<Py_ssize_t>(merged.size()), Py_False));
  }
  return Ref::borrow(Py_None);
}

Ref version_impl(const CallArgs&) {
  std::string version = merge::libgit2_version();
  return Ref::steal(
      PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size())));
}

constexpr zuv::Param kMergeParams[] = {
    {"base", "bytes"},     {"current", "bytes"},
    {"incoming", "bytes"}, {"labels", "Tuple[bytes, bytes, bytes]"},
    {"style", "bytes"},    {"marker_size", "int"}};
constexpr zuv::FunctionSpec kMerge{
    "merge",
    "The in-process three-way merge of `git merge-file -p --marker-size=MARKER_SIZE -L current "
    "-L base -L incoming current base incoming` under merge.conflictStyle STYLE: (merged bytes, "
    "clean), or None where it leaves the merge to git.",
    kMergeParams, "Optional[Tuple[bytes, bool]]", merge_impl};
constexpr zuv::FunctionSpec kVersion{
    "libgit2_version", "The linked libgit2's version.", {}, "str", version_impl};

bool fill_module(PyObject* module) {
  return zuv::add_function(module, kMerge) && zuv::add_function(module, kVersion);
}

}  // namespace

PyMODINIT_FUNC PyInit__text_merge() {
  return zuv::init_module<fill_module>("_text_merge", "The in-process text merge, for tests.");
}
