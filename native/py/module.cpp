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

PyModuleDef module_definition(const char* name, const char* doc) noexcept {
  return {PyModuleDef_HEAD_INIT, name, doc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}

PyModuleDef program_module_definition(const char* name, PyModuleDef_Slot* slots) noexcept {
  return {PyModuleDef_HEAD_INIT, name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
}

PyObject* create_module(PyModuleDef& def, bool (*fill)(PyObject* module)) noexcept {
  try {
    if (!prepare_binding_layer()) return nullptr;
    inject_cxx_exception(("setup:" + std::string(def.m_name)).c_str());
    Ref module = Ref::steal(PyModule_Create(&def));
    if (!module || !fill(module.get())) return nullptr;
    return module.release();
  } catch (...) {
    raise_from_cxx_exception();
    return nullptr;
  }
}

int execute_module(PyObject* module, bool (*run)(PyObject* module)) noexcept {
  try {
    return prepare_binding_layer() && run(module) ? 0 : -1;
  } catch (...) {
    raise_from_cxx_exception();
    return -1;
  }
}

}  // namespace zuv
