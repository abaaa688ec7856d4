#include "zuv/notebook/json_writer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "py/error.hpp"
#include "zuv/notebook/byte_words.hpp"
#include "zuv/notebook/py_text.hpp"

namespace zuv::cli {

namespace {

// Deeper than the interpreter's recursion allows json.dumps to go; a cycle
// reaches it too, and json.dumps then reports it as it always did.
constexpr size_t kDepthBound = 100000;

// How json's encoder writes an ASCII character: 0 as itself, 'u' as \u00XX,
// anything else as a backslash and that character.  DEL is written as
// itself here; with ensure_ascii it is escaped too.
constexpr std::array<char, 128> kAsciiEscapes = [] {
  std::array<char, 128> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  return table;
}();

class Writer {
 public:
  Writer(const JsonLayout& layout, std::string& out) : layout_(layout), out_(out) {}

  // After `document` answered false: whether the interpreter failed (its
  // exception set), rather than the writer declining.
  bool failed() const { return failed_; }

  bool document(PyObject* root) {
    if (!value(root)) return false;
    while (!frames_.empty()) {
      PyObject *key = nullptr, *item = nullptr;
      if (!next(frames_.back(), key, item)) {
        close();
        continue;
      }
      if (frames_.back().written++ > 0) {
        out_ += layout_.item_separator;
        line_break(frames_.size());
      }
      if (key) {
        if (!string(key)) return false;
        out_ += layout_.key_separator;
      }
      if (!value(item)) return false;
    }
    return true;
  }

 private:
  // An open list or dict: the position of its next item (a list index, or
  // PyDict_Next's position), or for sort_keys its entries in entries_.
  struct Frame {
    PyObject* container;
    bool dict;
    Py_ssize_t position = 0;
    size_t entries_start = 0, next_entry = 0, entries_end = 0;
    size_t written = 0;
  };

  // The next item of the innermost container (key null for a list).
  bool next(Frame& frame, PyObject*& key, PyObject*& item) {
    if (!frame.dict) {
      if (frame.position >= PyList_GET_SIZE(frame.container)) return false;
      item = PyList_GET_ITEM(frame.container, frame.position++);
      return true;
    }
    if (layout_.sort_keys) {
      if (frame.next_entry == frame.entries_end) return false;
      const auto& [entry_key, entry_item] = entries_[frame.next_entry++];
      key = entry_key;
      item = entry_item;
      return true;
    }
    return PyDict_Next(frame.container, &frame.position, &key, &item) != 0;
  }

  // A line end and the indent of `level`, made once per level.
  void line_break(size_t level) {
    if (!layout_.indent) return;
    while (breaks_.size() <= level)
      breaks_.push_back(breaks_.empty() ? layout_.newline : breaks_.back() + *layout_.indent);
    out_ += breaks_[level];
  }

  void close() {
    const Frame& frame = frames_.back();
    const char closing = frame.dict ? '}' : ']';
    if (frame.dict && layout_.sort_keys) entries_.resize(frame.entries_start);
    frames_.pop_back();
    line_break(frames_.size());
    out_ += closing;
  }

  // Opens a non-empty list or dict; with sort_keys, its entries sorted as
  // sorted(d.items()) sorts them (keys are unique, so by key alone).
  bool open(PyObject* container, bool dict) {
    if (frames_.size() >= kDepthBound) return false;
    Frame frame{container, dict};
    if (dict && layout_.sort_keys) {
      frame.entries_start = frame.next_entry = entries_.size();
      PyObject *key, *item;
      Py_ssize_t position = 0;
      while (PyDict_Next(container, &position, &key, &item)) {
        if (!PyUnicode_CheckExact(key)) return false;
        entries_.emplace_back(key, item);
      }
      frame.entries_end = entries_.size();
      std::sort(
          entries_.begin() + static_cast<std::ptrdiff_t>(frame.entries_start), entries_.end(),
          [](const auto& a, const auto& b) { return PyUnicode_Compare(a.first, b.first) < 0; });
    }
    out_ += dict ? '{' : '[';
    frames_.push_back(frame);
    line_break(frames_.size());
    return true;
  }

  bool value(PyObject* item) {
    if (PyUnicode_CheckExact(item)) return string(item);
    if (item == Py_None) {
      out_ += "null";
    } else if (item == Py_True) {
      out_ += "true";
    } else if (item == Py_False) {
      out_ += "false";
    } else if (PyLong_CheckExact(item)) {
      return integer(item);
    } else if (PyFloat_CheckExact(item)) {
      return real(item);
    } else if (PyList_CheckExact(item)) {
      if (PyList_GET_SIZE(item) == 0)
        out_ += "[]";
      else
        return open(item, false);
    } else if (PyDict_CheckExact(item)) {
      if (PyDict_GET_SIZE(item) == 0)
        out_ += "{}";
      else
        return open(item, true);
    } else {
      return false;
    }
    return true;
  }

  bool integer(PyObject* number) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (small == -1 && PyErr_Occurred()) return fail();  // not for an exact int
    if (!overflow) {
      out_ += std::to_string(small);
      return true;
    }
    Ref text = Ref::steal(PyObject_Repr(number));  // int.__repr__: no Python code
    Py_ssize_t size = 0;
    const char* digits = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (!digits) {
      // Over the interpreter's digit limit (ValueError): json.dumps says so.
      if (!clear_expected({PyExc_ValueError})) return fail();
      return false;
    }
    out_.append(digits, static_cast<size_t>(size));
    return true;
  }

  // float.__repr__, and json's words for the values JSON has no number for.
  bool real(PyObject* number) {
    const double value = PyFloat_AS_DOUBLE(number);
    if (std::isnan(value)) {
      out_ += "NaN";
    } else if (std::isinf(value)) {
      out_ += value > 0 ? "Infinity" : "-Infinity";
    } else {
      char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
      if (!text) return fail();  // no memory
      out_ += text;
      PyMem_Free(text);
    }
    return true;
  }

  bool string(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    out_ += '"';
    if (PyUnicode_IS_ASCII(text)) {
      ascii(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(length));
    } else {
      const int kind = PyUnicode_KIND(text);
      const void* data = PyUnicode_DATA(text);
      for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
          const char ch = static_cast<char>(c);
          ascii(&ch, 1);
        } else if (layout_.ensure_ascii) {
          if (c >= 0x10000) {
            append_u_escape(out_, 0xd800 | ((c - 0x10000) >> 10));
            append_u_escape(out_, 0xdc00 | ((c - 0x10000) & 0x3ff));
          } else {
            append_u_escape(out_, c);
          }
        } else if (c >= 0xd800 && c <= 0xdfff) {
          return false;  // a lone surrogate: not UTF-8, json.dumps' text fails to encode
        } else {
          append_utf8(out_, c);
        }
      }
    }
    out_ += '"';
    return true;
  }

  // ASCII text escaped; runs that need no escape are copied whole, found
  // eight bytes at a time.
  void ascii(const char* text, size_t size) {
    const bool escape_delete = layout_.ensure_ascii;
    size_t run = 0, i = 0;
    for (;;) {
      while (size - i >= 8) {
        const uint64_t word = words::load(text + i);
        const uint64_t escaped = words::bytes_below(word, 0x20) | words::bytes_equal(word, '"') |
                                 words::bytes_equal(word, '\\') |
                                 (escape_delete ? words::bytes_equal(word, 0x7f) : 0);
        if (escaped) {
          i += words::bytes_before(escaped);
          break;
        }
        i += 8;
      }
      if (i == size) break;
      const auto c = static_cast<unsigned char>(text[i]);
      const char escape = c == 0x7f ? (escape_delete ? 'u' : '\0') : kAsciiEscapes[c];
      ++i;
      if (!escape) continue;
      out_.append(text + run, i - 1 - run);
      run = i;
      if (escape == 'u') {
        append_u_escape(out_, c);
      } else {
        out_ += '\\';
        out_ += escape;
      }
    }
    out_.append(text + run, size - run);
  }

  bool fail() {
    failed_ = true;
    return false;
  }

  const JsonLayout& layout_;
  std::string& out_;
  bool failed_ = false;
  std::vector<Frame> frames_;
  std::vector<std::string> breaks_;
  std::vector<std::pair<PyObject*, PyObject*>> entries_;
};

}  // namespace

NativeJson write_json(PyObject* document, const JsonLayout& layout, std::string& out) {
  Writer writer(layout, out);
  if (writer.document(document)) return NativeJson::written;
  return writer.failed() ? NativeJson::failed : NativeJson::declined;
}

}  // namespace zuv::cli
