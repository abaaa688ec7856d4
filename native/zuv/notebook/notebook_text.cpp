#include "zuv/notebook/notebook_text.hpp"

#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "py/error.hpp"
#include "py/imports.hpp"
#include "zuv/notebook/json_writer.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

std::string text_member(PyObject* mapping, PyObject* key) {
  PyObject* value = member(mapping, key);
  return value && PyUnicode_Check(value) ? utf8(value) : std::string();
}

std::vector<std::string_view> split_views(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> split_lines(const std::string& text) {
  const std::vector<std::string_view> views = split_views(text);
  return std::vector<std::string>(views.begin(), views.end());
}

namespace {

// A str's UTF-8: ASCII text is its own UTF-8, read in place; other text
// goes through utf8(), which cannot fail (lone surrogates escaped), so no
// interpreter call here can raise and nothing needs clearing.
void append_utf8(std::string& out, PyObject* text) {
  if (PyUnicode_IS_READY(text) && PyUnicode_IS_ASCII(text)) {
    out.append(static_cast<const char*>(PyUnicode_DATA(text)),
               static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    return;
  }
  out += utf8(text);
}

}  // namespace

SourceText::SourceText(PyObject* source) {
  if (source && PyUnicode_Check(source)) {
    append_utf8(text, source);
  } else if (source && PyList_Check(source)) {
    size_t size = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
      PyObject* line = PyList_GET_ITEM(source, i);
      if (PyUnicode_Check(line)) size += static_cast<size_t>(PyUnicode_GET_LENGTH(line));
    }
    text.reserve(size);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
      PyObject* line = PyList_GET_ITEM(source, i);
      if (PyUnicode_Check(line)) append_utf8(text, line);
    }
  }
  lines = split_views(text);
}

std::vector<std::string> source_lines(PyObject* source) {
  const SourceText source_text(source);
  return std::vector<std::string>(source_text.lines.begin(), source_text.lines.end());
}

std::string cell_label(PyObject* cell, Py_ssize_t position) {
  PyObject* canvas = canvas_of(cell);
  std::string name = text_member(canvas, names().name);
  if (name.empty()) name = text_member(canvas, names().id);
  if (name.empty()) name = "cell " + std::to_string(position + 1);
  return escape_line(name);
}

CellNames cell_names(PyObject* document) {
  CellNames out;
  PyObject* cells = member(document, names().cells);
  if (!cells || !PyList_Check(cells)) return out;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
    PyObject* canvas = canvas_of(PyList_GET_ITEM(cells, i));
    std::string id = text_member(canvas, names().id);
    std::string name = text_member(canvas, names().name);
    if (!id.empty() && !name.empty()) out.emplace(std::move(id), std::move(name));
  }
  return out;
}

std::string parent_label(PyObject* reference, const CellNames& names_by_id) {
  std::string id = text_member(reference, names().id);
  if (auto found = names_by_id.find(id); found != names_by_id.end())
    return escape_line(found->second);
  if (!id.empty()) return escape_line(id);
  std::string name = text_member(reference, names().name);
  return name.empty() ? "?" : escape_line(name);
}

namespace {

// The ids of a list of parent references, each once, in order; a reference
// without an id counts by its label.
std::vector<std::pair<std::string, PyObject*>> references(PyObject* parents) {
  std::vector<std::pair<std::string, PyObject*>> out;
  std::unordered_set<std::string> seen;
  if (!parents || !PyList_Check(parents)) return out;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parents); ++i) {
    PyObject* parent = PyList_GET_ITEM(parents, i);
    std::string id = text_member(parent, names().id);
    if (id.empty()) id = "\n" + text_member(parent, names().name);  // no id: never equal to one
    if (seen.insert(id).second) out.emplace_back(std::move(id), parent);
  }
  return out;
}

std::string joined_labels(const std::vector<std::pair<std::string, PyObject*>>& refs,
                          const CellNames& names_by_id) {
  std::string out;
  for (const auto& [id, parent] : refs) {
    if (!out.empty()) out += ", ";
    out += parent_label(parent, names_by_id);
  }
  return out;
}

}  // namespace

std::string parent_names(PyObject* parents, const CellNames& names_by_id) {
  return joined_labels(references(parents), names_by_id);
}

void parent_changes(PyObject* added, PyObject* removed, const CellNames& before,
                    const CellNames& after, std::string& gained, std::string& lost) {
  auto plus = references(added), minus = references(removed);
  std::unordered_set<std::string> plus_ids, minus_ids;
  for (const auto& ref : plus) plus_ids.insert(ref.first);
  for (const auto& ref : minus) minus_ids.insert(ref.first);
  decltype(plus) only_plus, only_minus;
  for (const auto& ref : plus)
    if (!minus_ids.contains(ref.first)) only_plus.push_back(ref);
  for (const auto& ref : minus)
    if (!plus_ids.contains(ref.first)) only_minus.push_back(ref);
  gained = joined_labels(only_plus, after);
  lost = joined_labels(only_minus, before);
}

std::vector<std::string> output_summaries(PyObject* outputs) {
  std::vector<std::string> lines;
  if (!outputs || !PyList_Check(outputs)) return lines;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(outputs); ++i) {
    PyObject* output = PyList_GET_ITEM(outputs, i);
    std::string type = text_member(output, names().output_type);
    std::string line = "output: " + (type.empty() ? std::string("?") : escape_line(type));
    if (type == "stream") {
      line += " " + escape_line(text_member(output, names().name));
      size_t count = source_lines(member(output, names().text)).size();
      line += ", " + std::to_string(count) + (count == 1 ? " line" : " lines");
    } else if (type == "error") {
      line += " " + escape_line(text_member(output, names().ename));
      std::string value = text_member(output, names().evalue);
      if (!value.empty()) line += ": " + escape_line(value);
    } else if (PyObject* data = member(output, names().data); data && PyDict_Check(data)) {
      PyObject *key, *value;
      Py_ssize_t position = 0;
      const char* separator = " ";
      while (PyDict_Next(data, &position, &key, &value)) {
        line += separator + escape_line(utf8(key));
        separator = ", ";
      }
    }
    lines.push_back(line);
  }
  return lines;
}

bool json_text(PyObject* value, std::string& out) {
  out = "?";
  if (!value) return true;
  // json.dumps(value, ensure_ascii=False), natively where the writer can.
  JsonLayout layout;
  layout.ensure_ascii = false;
  // (The writer declines lone surrogates unescaped, so its text is UTF-8.)
  if (std::string text; write_json(value, layout, text) == NativeJson::written) {
    out = escape_line(text);
    return true;
  }
  Ref json = Ref::steal(PyImport_ImportModule("json"));
  Ref dumps = json ? getattr(json.get(), "dumps") : Ref{};
  Ref args = Ref::steal(PyTuple_Pack(1, value));
  Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "ensure_ascii", Py_False));
  if (!dumps || !args || !kwargs) return false;
  Ref text = Ref::steal(PyObject_Call(dumps.get(), args.get(), kwargs.get()));
  // A value json cannot write (nested too deep, not JSON at all) shows as "?".
  if (!text) return clear_expected({PyExc_RecursionError, PyExc_ValueError, PyExc_TypeError});
  out = escape_line(utf8(text.get()));
  return true;
}

bool comment_text(PyObject* comment, std::string& out) {
  if (!comment || !PyUnicode_Check(comment)) return json_text(comment, out);
  out = escape_line(utf8(comment));
  return true;
}

namespace {

bool comment_texts(PyObject* comments, std::vector<std::string>& out) {
  Ref list = Ref::borrow(comments);
  if (!list || !PyList_Check(list.get())) return true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    Ref comment = Ref::borrow(PyList_GET_ITEM(list.get(), i));
    if (!comment_text(comment.get(), out.emplace_back())) return false;
  }
  return true;
}

}  // namespace

bool colour_text(PyObject* colour, std::string& out) {
  if (colour && !PyUnicode_Check(colour)) return json_text(colour, out);
  out = colour ? escape_line(utf8(colour)) : "(none)";
  return true;
}

bool canvas_changes(PyObject* old_canvas, PyObject* new_canvas, std::vector<std::string>& lines) {
  Ref before = Ref::borrow(old_canvas), after = Ref::borrow(new_canvas);
  std::vector<std::string> old_comments, new_comments;
  if (!comment_texts(member(before.get(), names().comments), old_comments) ||
      !comment_texts(member(after.get(), names().comments), new_comments))
    return false;
  // Each text's count on the old side less its count on the new side.
  std::unordered_map<std::string, long> balance;
  for (const std::string& c : old_comments) ++balance[c];
  for (const std::string& c : new_comments) --balance[c];
  for (const std::string& c : new_comments)
    if (long& b = balance[c]; b < 0) lines.push_back("comment added: " + c), ++b;
  for (const std::string& c : old_comments)
    if (long& b = balance[c]; b > 0) lines.push_back("comment removed: " + c), --b;
  if (lines.empty() && old_comments != new_comments) lines.push_back("comments reordered");
  std::string old_colour, new_colour;
  if (!colour_text(member(before.get(), names().headerColor), old_colour) ||
      !colour_text(member(after.get(), names().headerColor), new_colour))
    return false;
  if (old_colour != new_colour)
    lines.push_back("header colour: " + old_colour + " -> " + new_colour);
  return true;
}

}  // namespace zuv::cli
