#include "merge/native_source_merge.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "merge/source_merge.hpp"
#include "py/names.hpp"

namespace merge {
namespace {

// A str's UTF-8 bytes, valid while the str lives; false (no exception) for
// text that UTF-8 cannot encode (lone surrogates).
bool utf8_of(PyObject* text, std::string_view& bytes) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (!data) {
    PyErr_Clear();
    return false;
  }
  bytes = std::string_view(data, static_cast<size_t>(size));
  return true;
}

// "".join(lines), the text the process route writes to its working file;
// empty (no exception) where the join or the encoding would fail, which
// the process route then reports itself.
Ref joined_text(PyObject* lines) {
  if (!PyList_CheckExact(lines)) return {};
  Ref text = Ref::steal(PyUnicode_Join(zuv::names().empty, lines));
  if (!text) PyErr_Clear();
  return text;
}

// A label git writes after a marker as it is: a non-empty str on one line.
bool usable_label(PyObject* label, std::string_view& bytes) {
  return PyUnicode_CheckExact(label) && PyUnicode_GET_LENGTH(label) > 0 && utf8_of(label, bytes) &&
         bytes.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

InProcess merge_source_in_process(PyObject* current, PyObject* base, PyObject* incoming,
                                  PyObject* current_label, PyObject* incoming_label,
                                  ConflictStyle style, int marker_size, Ref& lines,
                                  Py_ssize_t& opened) {
  Ref texts[3] = {joined_text(current), joined_text(base), joined_text(incoming)};
  std::string_view bytes[3];
  for (int i = 0; i < 3; ++i)
    if (!texts[i] || !utf8_of(texts[i].get(), bytes[i])) return InProcess::declined;

  Ref base_name = PyUnicode_CheckExact(current_label) ? base_label(current_label) : Ref{};
  if (!base_name) {
    PyErr_Clear();
    return InProcess::declined;
  }
  TextMergeOptions options;
  options.style = style;
  options.marker_size = marker_size;
  if (!usable_label(current_label, options.current_label) ||
      !usable_label(base_name.get(), options.base_label) ||
      !usable_label(incoming_label, options.incoming_label))
    return InProcess::declined;

  std::string merged;
  TextMerge outcome = merge_text(bytes[1], bytes[0], bytes[2], options, merged);
  if (outcome == TextMerge::declined) return InProcess::declined;
  lines = merged_lines(merged, {});
  if (!lines) return InProcess::failed;
  opened = 0;
  if (outcome == TextMerge::conflicts) {
    // libgit2 does not count its blocks; marker-like lines the inputs
    // already held may blur the count, never the verdict.
    size_t after = count_block_openings(merged, options.current_label, marker_size);
    size_t before = count_block_openings(bytes[0], options.current_label, marker_size);
    opened = after > before ? static_cast<Py_ssize_t>(after - before) : 1;
  }
  return InProcess::merged;
}

}  // namespace merge
