#include "py/error.hpp"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

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

bool clear_expected(std::initializer_list<PyObject*> expected) noexcept {
  if (!PyErr_Occurred()) return true;
  for (PyObject* type : expected) {
    if (PyErr_ExceptionMatches(type)) {
      PyErr_Clear();
      return true;
    }
  }
  return false;
}

namespace {

struct InjectedFault {
  std::string kind;
  std::string place;
  bool setup_done = false;
};

InjectedFault& injected_fault() {
  static InjectedFault fault = [] {
    InjectedFault parsed;
    const char* text = std::getenv("ZUV_INJECT_CXX_EXCEPTION");
    const char* at = text ? std::strchr(text, '@') : nullptr;
    if (at) {
      parsed.kind.assign(text, at);
      parsed.place = at + 1;
    }
    return parsed;
  }();
  return fault;
}

}  // namespace

void inject_cxx_exception(const char* place) {
  InjectedFault& fault = injected_fault();
  if (fault.place.empty() || fault.place != place) return;
  if (fault.place.starts_with("setup:")) {
    if (fault.setup_done) return;
    fault.setup_done = true;
  }
  if (fault.kind == "bad_alloc") throw std::bad_alloc();
  throw std::runtime_error("injected fault at " + fault.place);
}

}  // namespace zuv
