#include "py/compat.hpp"

#include <frameobject.h>

#include "py/error.hpp"

namespace zuv::compat {

void add_traceback_entry(const char* funcname, const char* filename) {
  // Making the code object and the frame may run Python code (the file-system
  // codec), which must not see the exception being raised.
  CaughtError raised;
  Ref globals = Ref::steal(PyDict_New());
  Ref code = globals
                 ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, 0)))
                 : Ref{};
  Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                         PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                         globals.get(), nullptr)))
                   : Ref{};
  if (!frame) {
    // The original exception wins over a failure to decorate it.
    PyErr_Clear();
    raised.restore();
    return;
  }
  raised.restore();
  // On failure the interpreter keeps the exception being raised.
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

bool read_optimize_level(long& level) {
  Ref flags = Ref::borrow(PySys_GetObject("flags"));
  if (!flags) {
    PyErr_SetString(PyExc_RuntimeError, "lost sys.flags");
    return false;
  }
  Ref optimize = getattr(flags.get(), "optimize");
  if (!optimize) return false;
  level = PyLong_AsLong(optimize.get());
  return !(level == -1 && PyErr_Occurred());
}

}  // namespace zuv::compat
