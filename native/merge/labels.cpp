#include "merge/labels.hpp"

namespace merge {

namespace {

bool is_control(char32_t c) { return c < 0x20 || c == 0x7f; }

}  // namespace

std::u32string escape_control_characters(std::u32string_view text) {
  constexpr char32_t kHex[] = U"0123456789abcdef";
  std::u32string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (!is_control(c)) {
      out.push_back(c);
      continue;
    }
    out.push_back(U'\\');
    switch (c) {
      case U'\n':
        out.push_back(U'n');
        break;
      case U'\r':
        out.push_back(U'r');
        break;
      case U'\t':
        out.push_back(U't');
        break;
      default:
        out.push_back(U'x');
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xf]);
    }
  }
  return out;
}

zuv::Ref conflict_label(PyObject* file_path, PyObject* suffix) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(file_path);
  int kind = PyUnicode_KIND(file_path);
  const void* data = PyUnicode_DATA(file_path);
  bool clean = true;
  for (Py_ssize_t i = 0; i < length && clean; ++i)
    clean = !is_control(PyUnicode_READ(kind, data, i));
  if (clean) return zuv::Ref::steal(PyUnicode_Concat(file_path, suffix));

  std::u32string text(static_cast<size_t>(length), U'\0');
  for (Py_ssize_t i = 0; i < length; ++i)
    text[static_cast<size_t>(i)] = PyUnicode_READ(kind, data, i);
  std::u32string escaped = escape_control_characters(text);
  zuv::Ref prefix = zuv::Ref::steal(PyUnicode_FromKindAndData(
      PyUnicode_4BYTE_KIND, escaped.data(), static_cast<Py_ssize_t>(escaped.size())));
  return prefix ? zuv::Ref::steal(PyUnicode_Concat(prefix.get(), suffix)) : zuv::Ref{};
}

Py_ssize_t block_openings(PyObject* source, PyObject* opening) {
  if (!source || !PyList_Check(source)) return 0;
  Py_ssize_t count = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
    PyObject* line = PyList_GET_ITEM(source, i);
    if (!PyUnicode_Check(line)) continue;
    Py_ssize_t length = PyUnicode_GET_LENGTH(line);
    if (length > 0 && PyUnicode_READ_CHAR(line, length - 1) == '\n') --length;
    if (length != PyUnicode_GET_LENGTH(opening)) continue;
    count += PyUnicode_Tailmatch(line, opening, 0, length, -1) == 1;
  }
  return count;
}

}  // namespace merge
