#include "py/compat.hpp"

#include <frameobject.h>

#include <utility>

#include "py/error.hpp"

namespace zuv::compat {

#if PY_VERSION_HEX >= 0x030C0000

// From 3.12 on the error indicator holds one normalised exception instance.
RaisedException take_raised_exception() {
  Ref value = Ref::steal(PyErr_GetRaisedException());
  if (!value) return {};
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  Ref traceback = Ref::steal(PyException_GetTraceback(value.get()));
  return {std::move(type), std::move(value), std::move(traceback)};
}

void raise_again(RaisedException raised) { PyErr_SetRaisedException(raised.value.release()); }

#else

RaisedException take_raised_exception() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

void raise_again(RaisedException raised) {
  PyErr_Restore(raised.type.release(), raised.value.release(), raised.traceback.release());
}

#endif

Ref current_builtins() {
#if PY_VERSION_HEX >= 0x030D0000
  return Ref::steal(PyEval_GetFrameBuiltins());
#else
  return Ref::borrow(PyEval_GetBuiltins());
#endif
}

Ref new_trace_code(const char* funcname, const char* filename) {
  return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, 0)));
}

void add_traceback_entry(PyObject* code) {
  // Making the frame may run Python code (a collection), which must not see
  // the exception being raised.
  CaughtError raised;
  Ref globals = Ref::steal(PyDict_New());
  Ref frame = globals ? Ref::steal(reinterpret_cast<PyObject*>(
                            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
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
