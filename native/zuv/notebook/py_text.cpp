#include "zuv/notebook/py_text.hpp"

#include "py/error.hpp"

namespace zuv::cli {

namespace {

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

void append_u_escape(std::string& out, Py_UCS4 unit) {
  const char escape[] = {'\\',
                         'u',
                         kHex[(unit >> 12) & 0xf],
                         kHex[(unit >> 8) & 0xf],
                         kHex[(unit >> 4) & 0xf],
                         kHex[unit & 0xf]};
  out.append(escape, sizeof escape);
}

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
  }
  out += static_cast<char>(0x80 | (c & 0x3f));
}

std::string utf8(PyObject* text) {
  std::string out;
  if (!text || !PyUnicode_Check(text)) return out;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (PyUnicode_IS_ASCII(text)) {
    out.assign(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(length));
    return out;
  }
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  out.reserve(static_cast<size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c >= 0xd800 && c <= 0xdfff) {
      append_u_escape(out, c);
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}

std::string take_python_error() {
  if (!PyErr_Occurred()) return "unknown error";
  CaughtError error;
  std::string type = reinterpret_cast<PyTypeObject*>(error.type())->tp_name;
  std::string message;
  if (error.value()) {
    Ref text = Ref::steal(PyObject_Str(error.value()));
    // The exception becomes this message; a message that cannot be made
    // (no memory, a raising __str__) gives way to the one being reported.
    if (text) {
      message = utf8(text.get());
    } else {
      PyErr_Clear();
      message = "<unprintable>";
    }
  }
  error.discard();
  return message.empty() ? type : type + ": " + message;
}

}  // namespace zuv::cli
