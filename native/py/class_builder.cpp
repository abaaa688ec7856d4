#include "py/class_builder.hpp"

namespace zuv {

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* doc)
    : module_(module), name_(name), namespace_(Ref::steal(PyDict_New())) {
  if (!namespace_) return;
  Ref module_name = getattr(module, "__name__");
  Ref qualname = str(name);
  Ref text = doc ? str(doc) : Ref::none();
  failed_ = !module_name || !qualname || !text ||
            PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()) < 0 ||
            PyDict_SetItemString(namespace_.get(), "__qualname__", qualname.get()) < 0 ||
            PyDict_SetItemString(namespace_.get(), "__doc__", text.get()) < 0;
}

bool ClassBuilder::put(const char* name, const Ref& value) {
  if (!value || PyDict_SetItemString(namespace_.get(), name, value.get()) < 0) failed_ = true;
  return !failed_;
}

ClassBuilder& ClassBuilder::constant(const char* name, const char* value) {
  if (ok()) put(name, str(value));
  return *this;
}

ClassBuilder& ClassBuilder::method(const FunctionSpec& spec) {
  if (!ok()) return *this;
  Ref fn = make_function(spec, module_, name_);
  if (fn) functions_.push_back(fn);
  put(spec.name, fn);
  return *this;
}

ClassBuilder& ClassBuilder::property(const FunctionSpec& getter, const FunctionSpec* setter) {
  if (!ok()) return *this;
  Ref fget = make_function(getter, module_, name_);
  Ref fset = setter ? make_function(*setter, module_, name_) : Ref::none();
  if (!fget || !fset) {
    failed_ = true;
    return *this;
  }
  functions_.push_back(fget);
  if (setter) functions_.push_back(fset);
  put(getter.name, call(reinterpret_cast<PyObject*>(&PyProperty_Type), fget.get(), fset.get()));
  return *this;
}

Ref ClassBuilder::build(PyObject* base) {
  if (!ok()) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "class assembly failed");
    return {};
  }
  Ref name = str(name_);
  Ref bases = Ref::steal(PyTuple_Pack(1, base));
  if (!name || !bases) return {};
  PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base));
  Ref cls = call(metaclass, name.get(), bases.get(), namespace_.get());
  if (!cls) return {};
  for (const Ref& fn : functions_) set_owner(fn.get(), cls.get());
  if (PyModule_AddObjectRef(module_, name_, cls.get()) < 0) return {};
  return cls;
}

}  // namespace zuv
