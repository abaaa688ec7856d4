#include "zuv/notebook/notebook_file.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "py/error.hpp"
#include "py/imports.hpp"
#include "py/names.hpp"
#include "zuv/notebook/json_reader.hpp"
#include "zuv/notebook/json_writer.hpp"

namespace zuv::cli {

namespace {

Ref json_function(const char* name) {
  Ref json = Ref::steal(PyImport_ImportModule("json"));
  return json ? getattr(json.get(), name) : Ref{};
}

// The live scope's scanner slot; null outside a command.
Ref* kept_scanner = nullptr;

// The C scanner json.loads runs, made with json.loads' default settings:
// strict strings, no hooks, float and int themselves (the scanner's fast
// paths test them by identity) and json's values for NaN, Infinity and
// -Infinity.  Importing the json package costs more than a small notebook's
// whole parse (its decoder compiles regular expressions); _json is built in.
Ref make_scanner() {
  Ref module = Ref::steal(PyImport_Import(names()._json));
  Ref make = module ? getattr(module.get(), names().make_scanner) : Ref{};
  Ref constants = make ? Ref::steal(PyDict_New()) : Ref{};
  if (!constants) return {};
  for (const char* name : {"NaN", "Infinity", "-Infinity"}) {
    // float("nan"), float("inf"), float("-inf"), as json.decoder makes them.
    Ref text = str(name);
    Ref value = text ? Ref::steal(PyFloat_FromString(text.get())) : Ref{};
    if (!value || PyDict_SetItem(constants.get(), text.get(), value.get()) != 0) return {};
  }
  Ref lookup = getattr(constants.get(), names().dunder_getitem);
  Ref context = lookup ? Ref::steal(PyModule_New("json_scanner_settings")) : Ref{};
  if (!context) return {};
  const std::pair<PyObject*, PyObject*> settings[] = {
      {names().strict, Py_True},
      {names().object_hook, Py_None},
      {names().object_pairs_hook, Py_None},
      {names().parse_float, reinterpret_cast<PyObject*>(&PyFloat_Type)},
      {names().parse_int, reinterpret_cast<PyObject*>(&PyLong_Type)},
      {names().parse_constant, lookup.get()},
  };
  for (const auto& [name, value] : settings)
    if (PyObject_SetAttr(context.get(), name, value) != 0) return {};
  return call(make.get(), context.get());
}

bool is_json_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// json.loads(text) by the scanner alone, for the texts it reads without
// doubt: no byte order mark, one value between optional whitespace.
// `document` stays empty for anything else (the scanner's own errors too),
// which json.loads then reports in its words; false only on an unexpected
// failure (MemoryError, KeyboardInterrupt), left set.
bool scan_document(PyObject* text, Ref& document) {
  Ref made;
  if (!kept_scanner || !*kept_scanner) {
    made = make_scanner();
    if (!made) return false;
    if (kept_scanner) *kept_scanner = Ref::borrow(made.get());
  }
  PyObject* scanner = made ? made.get() : kept_scanner->get();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t start = 0;
  if (length > 0 && PyUnicode_READ(kind, data, 0) == 0xFEFF) return true;
  while (start < length && is_json_space(PyUnicode_READ(kind, data, start))) ++start;
  Ref index = Ref::steal(PyLong_FromSsize_t(start));
  Ref scanned = index ? call(scanner, text, index.get()) : Ref{};
  // Nothing at `start` (StopIteration), no JSON (ValueError), nesting too
  // deep; a scanner of 3.11 reports its errors through json.decoder only
  // when that is loaded already, and a SystemError without it.
  if (!scanned)
    return clear_expected(
        {PyExc_StopIteration, PyExc_ValueError, PyExc_RecursionError, PyExc_SystemError});
  if (!PyTuple_Check(scanned.get()) || PyTuple_GET_SIZE(scanned.get()) != 2) return true;
  Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(scanned.get(), 1));
  if (end == -1 && PyErr_Occurred()) return clear_expected({PyExc_TypeError, PyExc_OverflowError});
  while (end < length && is_json_space(PyUnicode_READ(kind, data, end))) ++end;
  if (end == length) document = Ref::borrow(PyTuple_GET_ITEM(scanned.get(), 0));
  return true;
}

// Whether every object in the document lists its keys in sorted order, with
// at least one object holding two or more keys to show it.
struct KeyOrder {
  bool sorted = true;
  bool evidence = false;
};

void check_key_order(PyObject* value, KeyOrder& order, int depth) {
  if (!order.sorted || depth > 64) return;
  if (PyDict_Check(value)) {
    PyObject *key, *item, *previous = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(value, &position, &key, &item)) {
      if (previous) {
        // Keys read from JSON are exact str, compared without running Python
        // code; a document with other keys is not read as sorted.
        bool less = PyUnicode_CheckExact(previous) && PyUnicode_CheckExact(key) &&
                    PyUnicode_Compare(previous, key) < 0;
        if (!less) {
          order.sorted = false;
          return;
        }
        order.evidence = true;
      }
      previous = key;
      check_key_order(item, order, depth + 1);
    }
  } else if (PyList_Check(value)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value) && order.sorted; ++i)
      check_key_order(PyList_GET_ITEM(value, i), order, depth + 1);
  }
}

// The separator that follows the first `mark` outside strings.
std::optional<std::string> first_separator(std::string_view text, char mark) {
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == mark) {
      bool space = i + 1 < text.size() && text[i + 1] == ' ';
      return space ? std::string(1, mark) + " " : std::string(1, mark);
    }
  }
  return std::nullopt;
}

bool is_hex(char c) { return std::strchr("0123456789abcdefABCDEF", c) && c != '\0'; }

// A \uXXXX escape of a character beyond ASCII: the writer escaped it.
bool has_escaped_non_ascii(std::string_view text) {
  for (size_t i = text.find('\\'); i != std::string_view::npos && i + 5 < text.size();
       i = text.find('\\', i + 2)) {
    // The character after a backslash is escaped, so "\\\\u" is not read as an escape.
    if (text[i + 1] != 'u' || !is_hex(text[i + 2]) || !is_hex(text[i + 3]) ||
        !is_hex(text[i + 4]) || !is_hex(text[i + 5]))
      continue;
    unsigned value = 0;
    std::from_chars(text.data() + i + 2, text.data() + i + 6, value, 16);
    if (value >= 0x80) return true;
  }
  return false;
}

// Whether any byte is beyond ASCII, eight at a time.
bool has_non_ascii(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (word & kHighBits) return true;
  }
  for (; i < text.size(); ++i)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
  return false;
}

}  // namespace

bool read_bytes(const std::string& path, std::string& out, std::string& error) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rbe"), std::fclose);
  if (!file) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  char chunk[65536];
  size_t got;
  out.clear();
  // A regular file's size up front: a notebook of many megabytes is read
  // straight into its buffer, without the copies of a growing one.
  if (struct stat status{}; fstat(fileno(file.get()), &status) == 0 && S_ISREG(status.st_mode)) {
    const auto size = static_cast<size_t>(status.st_size);
    out.resize(size);
    out.resize(std::fread(out.data(), 1, size, file.get()));
  }
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) out.append(chunk, got);
  if (std::ferror(file.get())) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

JsonScannerScope::JsonScannerScope() : outer_(kept_scanner) { kept_scanner = &scanner_; }

JsonScannerScope::~JsonScannerScope() { kept_scanner = outer_; }

Ref parse_json(std::string_view text, ReadBase* base) {
  Ref document;
  switch (read_json(text, document, base)) {
    case NativeRead::read:
      return document;
    case NativeRead::failed:
      return {};
    case NativeRead::declined:
      break;
  }
  Ref decoded =
      Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  if (!decoded || !scan_document(decoded.get(), document)) return {};
  if (document) return document;
  // What the scanner refused, json.loads refuses in its own words.
  Ref loads = json_function("loads");
  return loads ? call(loads.get(), decoded.get()) : Ref{};
}

bool parse_json_if_any(std::string_view text, Ref& document, ReadBase* base) {
  document = parse_json(text, base);
  return document || clear_expected({PyExc_ValueError, PyExc_RecursionError});
}

JsonLayout detect_layout(std::string_view text, PyObject* document) {
  JsonLayout layout;
  size_t end = text.find_last_not_of(" \t\r\n");
  std::string_view body =
      end == std::string_view::npos ? text.substr(0, 0) : text.substr(0, end + 1);
  layout.final_newline =
      body.size() < text.size() && text.find('\n', body.size()) != std::string_view::npos;
  if (size_t line_end = text.find('\n');
      line_end != std::string_view::npos && line_end > 0 && text[line_end - 1] == '\r')
    layout.newline = "\r\n";
  size_t first_newline = body.find('\n');
  if (first_newline != std::string_view::npos) {
    size_t line = first_newline + 1;
    size_t width = body.find_first_not_of(" \t", line);
    layout.indent = std::string(
        body.substr(line, (width == std::string_view::npos ? body.size() : width) - line));
    layout.item_separator.assign(1, ',');
  } else if (auto item = first_separator(body, ',')) {
    layout.item_separator = *item;
  }
  if (auto key = first_separator(body, ':')) layout.key_separator = *key;

  if (has_non_ascii(body))
    layout.ensure_ascii = false;
  else if (has_escaped_non_ascii(body))
    layout.ensure_ascii = true;
  else  // no evidence: notebook tools that indent keep text as it is
    layout.ensure_ascii = !layout.indent.has_value();

  KeyOrder order;
  if (document) check_key_order(document, order, 0);
  layout.sort_keys = order.sorted && order.evidence;
  return layout;
}

bool dump_json(PyObject* document, const JsonLayout& layout, std::string& out) {
  out.clear();
  switch (write_json(document, layout, out)) {
    case NativeJson::written:
      if (layout.final_newline) out += layout.newline;
      return true;
    case NativeJson::failed:
      return false;
    case NativeJson::declined:
      break;
  }
  Ref dumps = json_function("dumps");
  if (!dumps) return false;
  Ref indent = layout.indent
                   ? Ref::steal(PyUnicode_FromStringAndSize(
                         layout.indent->data(), static_cast<Py_ssize_t>(layout.indent->size())))
                   : Ref::none();
  Ref separators = Ref::steal(
      Py_BuildValue("(ss)", layout.item_separator.c_str(), layout.key_separator.c_str()));
  Ref kwargs = Ref::steal(Py_BuildValue("{sOsOsOsO}", "indent", indent.get(), "ensure_ascii",
                                        layout.ensure_ascii ? Py_True : Py_False, "sort_keys",
                                        layout.sort_keys ? Py_True : Py_False, "separators",
                                        separators.get()));
  if (!indent || !separators || !kwargs) return false;
  Ref args = Ref::steal(PyTuple_Pack(1, document));
  if (!args) return false;
  Ref text = Ref::steal(PyObject_Call(dumps.get(), args.get(), kwargs.get()));
  if (!text) return false;
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!data) return false;
  // json.dumps escapes every line feed inside a string: each one in its
  // text ends a line of the layout.
  std::string_view dumped(data, static_cast<size_t>(size));
  out.clear();
  for (size_t start = 0;;) {
    size_t end = dumped.find('\n', start);
    out.append(dumped.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    out += layout.newline;
    start = end + 1;
  }
  if (layout.final_newline) out += layout.newline;
  return true;
}

}  // namespace zuv::cli
