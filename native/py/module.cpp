#include "py/module.hpp"

#include <string>

#include "py/compat.hpp"
#include "py/error.hpp"
#include "py/names.hpp"

namespace zuv {
namespace {

// The interpreter's `-O` flag is fixed at start-up: read it once per module
// setup instead of on every call that checks an assertion.
bool assertions_on = true;

bool prepare_binding_layer() {
  long level = 0;
  if (!compat::read_optimize_level(level)) return false;
  assertions_on = level == 0;
  return create_names();
}

}  // namespace

bool assertions_enabled() { return assertions_on; }

namespace detail {

int execute_module(PyObject* module, bool (*run)(PyObject* module)) noexcept {
  try {
    if (!prepare_binding_layer()) return -1;
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) return -1;
    inject_cxx_exception(("setup:" + std::string(def->m_name)).c_str());
    return run(module) ? 0 : -1;
  } catch (...) {
    raise_from_cxx_exception();
    return -1;
  }
}

}  // namespace detail
}  // namespace zuv
