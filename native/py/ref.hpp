// Owned references and the handful of object helpers every module uses.
//
// Convention: a function that can fail returns a `Ref` (empty: a Python
// exception is set) or a `bool` (false: likewise); see py/error.hpp.
// Borrowed references are plain `PyObject*` and are never stored beyond the
// call that received them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zuv {

// One assignment operator taking its argument by value serves both copy and
// move assignment.
class Ref {  // NOLINT(cppcoreguidelines-special-member-functions)
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (possibly null after a failed C API call).
  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Adds a reference of its own to a borrowed pointer.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  static Ref none() noexcept { return borrow(Py_None); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  PyObject* p_ = nullptr;
};

inline Ref str(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

inline Ref getattr(PyObject* obj, const char* name) {
  return Ref::steal(PyObject_GetAttrString(obj, name));
}
inline Ref getattr(PyObject* obj, PyObject* name) {
  return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj[key] with the interpreter's own KeyError/TypeError.
inline Ref getitem(PyObject* obj, PyObject* key) { return Ref::steal(PyObject_GetItem(obj, key)); }

// Calls `callable(*args)`; every argument is borrowed.
template <typename... A>
Ref call(PyObject* callable, A... args) {
  PyObject* argv[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(callable, argv + 1,
                                        sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `obj.name(*args)`.
template <typename... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* argv[] = {obj, args...};
  return Ref::steal(PyObject_VectorcallMethod(
      name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Looks `name` up in a module's globals the way Python code does at run
// time, so that a caller may substitute a module-level binding.
Ref global(PyObject* globals, PyObject* name);

// False when the interpreter runs with assertions disabled (`python -O`), as
// read when the module was set up.
bool assertions_enabled();

// Raises the bare AssertionError of a failed `assert`.
void raise_assertion();

// Raises "Expected %s, got %.200s" unless `obj` is exactly `type` or None.
bool check_result(PyObject* obj, PyTypeObject* type, const char* type_label);

}  // namespace zuv
