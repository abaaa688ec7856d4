// Errors across the binding layer.
//
// Convention: a function that can fail returns a `Ref` (empty on failure) or
// a `bool` (false on failure), and on failure the interpreter's error
// indicator holds the exception.  Nothing else is used to report failure: no
// -1/0/1 integers, no null borrowed pointers.  A question with three answers
// (true, false, failed) returns `bool` for success and gives its answer
// through an out parameter.
//
// C++ exceptions never reach the interpreter: the native function entry point
// and module setup catch them and call `raise_from_cxx_exception`.
#pragma once

#include "py/ref.hpp"

namespace zuv {

// Sets the Python exception for the C++ exception being handled: MemoryError
// for std::bad_alloc, SystemError with its message for any other.  Call it
// only inside a catch block.
void raise_from_cxx_exception() noexcept;

// Test hook for the boundary above.  With the environment variable
// ZUV_INJECT_CXX_EXCEPTION set to "<kind>@<place>" (kind: bad_alloc or
// runtime_error), throws that exception when native code enters `place`: a
// native function's name (every call), or "setup:<module>" for a module's
// setup (its first attempt in the process only, so that a retry can be
// seen).  Unset, it costs one comparison.
void inject_cxx_exception(const char* place);

// An exception taken out of the interpreter's error indicator, normalised.
class CaughtError {
 public:
  CaughtError() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
  }
  PyObject* type() const { return type_.get(); }
  PyObject* value() const { return value_.get(); }
  PyObject* traceback() const { return traceback_ ? traceback_.get() : Py_None; }
  // Puts the exception back as the current one.
  void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
  // The exception now raised happened while this one was being handled.
  void become_context_of_current() const {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && value_ && value != value_.get())
      PyException_SetContext(value, Py_NewRef(value_.get()));
    PyErr_Restore(type, value, traceback);
  }

 private:
  Ref type_, value_, traceback_;
};

}  // namespace zuv
