#include "zuv/notebook/py_text.hpp"

#include "py/error.hpp"

namespace zuv::cli {

std::string utf8(PyObject* object) {
  Ref text = PyUnicode_Check(object) ? Ref::borrow(object) : Ref::steal(PyObject_Str(object));
  Ref bytes =
      text ? Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace")) : Ref{};
  if (!bytes) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string take_python_error() {
  if (!PyErr_Occurred()) return "unknown error";
  CaughtError error;
  std::string type = reinterpret_cast<PyTypeObject*>(error.type())->tp_name;
  std::string message = error.value() ? utf8(error.value()) : std::string();
  error.discard();
  return message.empty() ? type : type + ": " + message;
}

}  // namespace zuv::cli
