#include "py/error.hpp"

#include <exception>
#include <new>

namespace zuv {

void raise_from_cxx_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "C++ exception in native code: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception in native code");
  }
}

}  // namespace zuv
