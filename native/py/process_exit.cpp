#include "py/process_exit.hpp"

#include <unistd.h>

#include <cstdio>

#include "py/ref.hpp"

namespace zuv {

void end_process(int status) noexcept {
  for (const char* name : {"stdout", "stderr"}) {
    // A stream that cannot be flushed (a closed pipe) changes nothing now.
    PyObject* stream = PySys_GetObject(name);  // borrowed
    if (stream && stream != Py_None) Ref::steal(PyObject_CallMethod(stream, "flush", nullptr));
    PyErr_Clear();
  }
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

}  // namespace zuv
