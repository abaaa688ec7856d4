#include "merge/native_source_merge.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "merge/source_merge.hpp"
#include "py/error.hpp"
#include "py/names.hpp"

namespace merge {
namespace {

// A str's UTF-8 bytes, valid while the str lives, in `bytes`; `usable`
// false for text that UTF-8 cannot encode (lone surrogates).  False only on
// another failure.
bool utf8_of(PyObject* text, std::string_view& bytes, bool& usable) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  usable = data != nullptr;
  if (!data) return zuv::clear_expected({PyExc_UnicodeEncodeError});
  bytes = std::string_view(data, static_cast<size_t>(size));
  return true;
}

// "".join(lines), the text the process route writes to its working file, in
// `text`; left empty where the join would fail on a line that is no str,
// which the process route then reports itself.  False only on another
// failure.
bool joined_text(PyObject* lines, Ref& text) {
  if (!PyList_CheckExact(lines)) return true;
  text = Ref::steal(PyUnicode_Join(zuv::names().empty, lines));
  return text || zuv::clear_expected({PyExc_TypeError});
}

// A label git writes after a marker as it is: a non-empty str on one line.
bool usable_label(PyObject* label, std::string_view& bytes, bool& usable) {
  usable = PyUnicode_CheckExact(label) && PyUnicode_GET_LENGTH(label) > 0;
  if (usable && !utf8_of(label, bytes, usable)) return false;
  usable = usable && bytes.find_first_of("\r\n") == std::string_view::npos;
  return true;
}

}  // namespace

InProcess merge_source_in_process(PyObject* current, PyObject* base, PyObject* incoming,
                                  PyObject* current_label, PyObject* incoming_label,
                                  ConflictStyle style, int marker_size, Ref& lines,
                                  Py_ssize_t& opened) {
  PyObject* const sources[3] = {current, base, incoming};
  Ref texts[3];
  std::string_view bytes[3];
  for (int i = 0; i < 3; ++i) {
    bool usable = false;
    if (!joined_text(sources[i], texts[i])) return InProcess::failed;
    if (!texts[i]) return InProcess::declined;
    if (!utf8_of(texts[i].get(), bytes[i], usable)) return InProcess::failed;
    if (!usable) return InProcess::declined;
  }

  if (!PyUnicode_CheckExact(current_label)) return InProcess::declined;
  Ref base_name = base_label(current_label);
  if (!base_name) return InProcess::failed;
  TextMergeOptions options;
  options.style = style;
  options.marker_size = marker_size;
  PyObject* const labels[3] = {current_label, base_name.get(), incoming_label};
  std::string_view* const label_bytes[3] = {&options.current_label, &options.base_label,
                                            &options.incoming_label};
  for (int i = 0; i < 3; ++i) {
    bool usable = false;
    if (!usable_label(labels[i], *label_bytes[i], usable)) return InProcess::failed;
    if (!usable) return InProcess::declined;
  }

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
