#include "py/signal_exit.hpp"

#include "py/error.hpp"
#include "py/imports.hpp"
#include "py/names.hpp"

namespace zuv {

namespace {

// Set and read with the interpreter's lock held: the handler runs in the
// main thread's eval loop, not in the C signal handler.
int last_signal_status = 0;

PyObject* exit_on_signal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  long signal_number = nargs > 0 ? PyLong_AsLong(args[0]) : -1;
  if (signal_number == -1 && PyErr_Occurred()) return nullptr;
  if (signal_number > 0 && signal_number < 128)
    last_signal_status = 128 + static_cast<int>(signal_number);
  Ref status = Ref::steal(PyLong_FromLong(128 + signal_number));
  if (status) PyErr_SetObject(PyExc_SystemExit, status.get());
  return nullptr;
}

PyMethodDef exit_on_signal_def = {
    "_exit_on_signal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit_on_signal)),
    METH_FASTCALL, nullptr};

}  // namespace

bool exit_cleanly_on_signals() {
  // The built-in module under `signal`: the same functions and numbers
  // without `signal`'s enum wrappers, whose import (enum) cost more than
  // the rest of a small command's start.
  Ref signal_module = Ref::steal(PyImport_ImportModule("_signal"));
  if (!signal_module) return false;
  Ref default_action = getattr(signal_module.get(), "SIG_DFL");
  Ref get_signal = getattr(signal_module.get(), "getsignal");
  Ref set_signal = getattr(signal_module.get(), "signal");
  Ref handler = Ref::steal(PyCFunction_New(&exit_on_signal_def, nullptr));
  if (!default_action || !get_signal || !set_signal || !handler) return false;
  for (const char* name : {"SIGTERM", "SIGHUP"}) {
    Ref number = getattr(signal_module.get(), name);
    Ref current = number ? call(get_signal.get(), number.get()) : Ref{};
    if (!current) return false;
    int is_default = PyObject_RichCompareBool(current.get(), default_action.get(), Py_EQ);
    if (is_default < 0) return false;
    if (is_default && !call(set_signal.get(), number.get(), handler.get())) {
      // Only the main thread may set handlers; elsewhere the defaults stay.
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
      PyErr_Clear();
      return true;
    }
  }
  return true;
}

int signal_exit_status() { return last_signal_status; }

bool pending_exit_status(int& status) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_SystemExit)) return false;
  CaughtError error;
  Ref code = error.value() ? getattr(error.value(), names().code) : Ref{};
  bool known = false;
  if (code && PyLong_Check(code.get())) {
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(code.get(), &overflow);
    known = !overflow && number >= 0 && number <= 255;
    if (known) status = static_cast<int>(number);
  }
  PyErr_Clear();  // a failed look-up of the code: the SystemExit is what counts
  error.restore();
  return known;
}

}  // namespace zuv
